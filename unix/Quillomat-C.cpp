/* The shared libusb context. Open devices count their uses of the context
 * they were opened in, so that ending the context while a device is still
 * open defers libusb_exit until that device is released. */
#include "Quillomat-C.h"

#include <libusb.h>

#include <mutex>
#include <vector>

namespace {

struct Retired {
  libusb_context* context;
  int uses;
};

std::mutex sContextMutex;
libusb_context* sContext = nullptr;
int sContextUses = 0;
std::vector<Retired> sRetired;  // ended contexts still used by open devices

libusb_context* sMakeContext() {
  if (sContext == nullptr) {
    libusb_context* made = nullptr;
    if (libusb_init(&made) == LIBUSB_SUCCESS) {
      sContext = made;
      sContextUses = 0;
    }
  }
  return sContext;
}

}  // namespace

extern "C" {

libusb_context* Quillomat_libusb_context(void) {
  std::lock_guard<std::mutex> hold(sContextMutex);
  return sMakeContext();
}

libusb_context* Quillomat_libusb_init(void) { return Quillomat_libusb_context(); }

void Quillomat_libusb_exit(void) {
  std::lock_guard<std::mutex> hold(sContextMutex);
  if (sContext == nullptr) return;
  if (sContextUses > 0)
    sRetired.push_back({sContext, sContextUses});
  else
    libusb_exit(sContext);
  sContext = nullptr;
  sContextUses = 0;
}

libusb_context* Quillomat_libusb_acquire(void) {
  std::lock_guard<std::mutex> hold(sContextMutex);
  libusb_context* context = sMakeContext();
  if (context != nullptr) sContextUses++;
  return context;
}

void Quillomat_libusb_release(libusb_context* context) {
  if (context == nullptr) return;
  std::lock_guard<std::mutex> hold(sContextMutex);
  if (context == sContext) {
    if (sContextUses > 0) sContextUses--;
    return;
  }
  for (auto it = sRetired.begin(); it != sRetired.end(); ++it) {
    if (it->context != context) continue;
    if (--it->uses <= 0) {
      libusb_exit(it->context);
      sRetired.erase(it);
    }
    return;
  }
}

}  // extern "C"
