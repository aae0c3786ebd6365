/* Byte stream over the USB driver. */
#include "unix_streamusb.h"

#include <stdio.h>
#include <stdlib.h>

#include "qmusb_driver.h"

namespace {

struct UsbStream {
  uint32_t serial;
  qmusb_device* device;
  uint16_t check;
};

UsbStream* sRecord(void* reference) {
  UsbStream* record = static_cast<UsbStream*>(reference);
  if (record == nullptr || record->check != aUSBSTREAMCHECK) return nullptr;
  return record;
}

aErr sUsbGet(uint8_t* byte, void* reference) {
  UsbStream* record = sRecord(reference);
  if (record == nullptr) return aErrParam;
  return qmusb_get_from_device(record->device, byte);
}

aErr sUsbWrite(const uint8_t* data, size_t length, void* reference) {
  UsbStream* record = sRecord(reference);
  if (record == nullptr) return aErrParam;
  return qmusb_write_to_device(record->device, data, length);
}

aErr sUsbPut(const uint8_t* byte, void* reference) { return sUsbWrite(byte, 1, reference); }

// Closes the device and frees everything; a failed close is reported, but
// the records go all the same (the stream that owns them is going away).
aErr sUsbDelete(void* reference) {
  UsbStream* record = sRecord(reference);
  if (record == nullptr) return aErrParam;
  aErr err = qmusb_close_quillomat_device(record->device);
  qmusb_destroy(&record->device);
  record->check = 0;
  free(record);
  return err;
}

}  // namespace

extern "C" aErr aStream_CreateUSB(uint32_t serial, aStreamRef* stream) {
  if (stream == nullptr) return aErrParam;
  *stream = nullptr;
  if (serial == 0) return aErrParam;
  uint32_t mode = qmusb_is_kernel_driver_installed(serial) ? kUsbModeKernel : kUsbModeLibusb;
  UsbStream* record = static_cast<UsbStream*>(calloc(1, sizeof(UsbStream)));
  if (record == nullptr) return aErrMemory;
  record->serial = serial;
  record->device = qmusb_create_usb(mode);
  if (record->device == nullptr) {
    free(record);
    return aErrResource;
  }
  char text[16];
  snprintf(text, sizeof(text), "%08X", serial);
  aErr err = qmusb_open_quillomat_device(record->device, text);
  if (err != aErrNone) {
    qmusb_destroy(&record->device);
    free(record);
    return err;
  }
  record->check = aUSBSTREAMCHECK;
  aStreamRef made = aStream_Create(sUsbGet, sUsbPut, sUsbWrite, sUsbDelete, record);
  if (made == nullptr) {
    sUsbDelete(record);
    return aErrMemory;
  }
  *stream = made;
  return aErrNone;
}
