// The shared libusb context.
#include "Quillomat-C.h"

#include <gtest/gtest.h>
#include <libusb.h>

namespace {

TEST(SharedUsbContext, MadeOnceAndRemadeAfterExit) {
  libusb_context* first = Quillomat_libusb_context();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Quillomat_libusb_context(), first);
  EXPECT_EQ(Quillomat_libusb_init(), first);
  Quillomat_libusb_exit();
  libusb_context* second = Quillomat_libusb_context();
  ASSERT_NE(second, nullptr);
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(second, &list);
  EXPECT_GE(count, 0);
  libusb_free_device_list(list, 1);
  Quillomat_libusb_exit();
  Quillomat_libusb_exit();  // nothing left to end
}

TEST(SharedUsbContext, ContextInUseOutlivesExit) {
  libusb_context* held = Quillomat_libusb_acquire();
  ASSERT_NE(held, nullptr);
  Quillomat_libusb_exit();
  // A new context for new users, while the old one still works for its own.
  libusb_context* fresh = Quillomat_libusb_context();
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh, held);
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(held, &list);
  EXPECT_GE(count, 0);
  libusb_free_device_list(list, 1);
  Quillomat_libusb_release(held);  // ends the old context
  Quillomat_libusb_release(nullptr);
  EXPECT_EQ(Quillomat_libusb_context(), fresh);
  Quillomat_libusb_exit();
}

}  // namespace
