/* USB driver for Quillomat devices: libusb bulk transfers on the vendor
 * interface, or plain reads and writes on the kernel driver's node.
 *
 * The input thread reads and the output thread writes one device at the
 * same time; the state and the error count are shared by both and are
 * therefore accessed atomically. */
#include "qmusb_driver.h"

#include <errno.h>
#include <fcntl.h>
#include <libusb.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "Quillomat-C.h"
#include "aDefs.h"
#include "unix_file.h"

namespace {

constexpr int kSerialDescriptorSize = 256;
constexpr uint16_t kFullSpeedChunk = 512;  // sent as 511 bytes, see sWriteLibusb

const qmusb_transfer_ops kLibusbOps = {libusb_bulk_transfer, libusb_clear_halt,
                                       libusb_release_interface, libusb_close};
const qmusb_transfer_ops* sOps = &kLibusbOps;

uint32_t sState(const qmusb_device* record) {
  return __atomic_load_n(&record->state, __ATOMIC_ACQUIRE);
}

void sSetState(qmusb_device* record, uint32_t state) {
  __atomic_store_n(&record->state, state, __ATOMIC_RELEASE);
}

// Hides the first few consecutive I/O errors: a device sometimes fails a
// transfer or two and recovers. The fifth in a row gives up on the device.
// A hidden read error delivers no byte and says so (aErrNotReady).
aErr sTolerate(qmusb_device* record, aErr err, bool reading) {
  if (err != aErrIO) {
    __atomic_store_n(&record->errorCount, 0, __ATOMIC_RELAXED);
    return err;
  }
  uint8_t count = __atomic_load_n(&record->errorCount, __ATOMIC_RELAXED);
  if (count < UINT8_MAX) count++;
  __atomic_store_n(&record->errorCount, count, __ATOMIC_RELAXED);
  if (count <= QMUSB_MAX_HIDDEN_ERRORS) return reading ? aErrNotReady : aErrNone;
  sSetState(record, kUsbFailed);
  return aErrIO;
}

// The result of a transfer attempted in a state other than kUsbReady.
aErr sStateError(uint32_t state) {
  switch (state) {
    case kUsbClosed:
      return aErrConnection;
    case kUsbCreated:
    case kUsbOpened:
      return aErrNotReady;
    default:
      return aErrIO;
  }
}

aErr sClaimError(int rc) {
  switch (rc) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE:
      return aErrBusy;
    case LIBUSB_ERROR_ACCESS:
      return aErrPermission;
    default:
      return aErrUnknown;
  }
}

void sCloseHandle(qmusb_device* record) {
  if (record->handle != nullptr) sOps->close(record->handle);
  record->handle = nullptr;
}

// Opens a Quillomat device and reads its serial string; true when it is
// `serial`, with the handle left open.
bool sMatches(libusb_device* device, const char* serial, libusb_device_handle** handle) {
  if (libusb_open(device, handle) != LIBUSB_SUCCESS) return false;
  struct libusb_device_descriptor descriptor;
  unsigned char text[kSerialDescriptorSize + 1] = {0};
  bool same = false;
  if (libusb_get_device_descriptor(device, &descriptor) == LIBUSB_SUCCESS &&
      descriptor.iSerialNumber != 0) {
    int got = libusb_get_string_descriptor_ascii(*handle, descriptor.iSerialNumber, text,
                                                 kSerialDescriptorSize);
    same = got >= 0 && strcmp(reinterpret_cast<const char*>(text), serial) == 0;
  }
  if (!same) {
    libusb_close(*handle);
    *handle = nullptr;
  }
  return same;
}

aErr sOpenLibusb(qmusb_device* record, const char* serial) {
  if (record->mode != kUsbModeLibusb) return aErrMode;
  if (sState(record) == 0) return aErrResource;
  if (record->handle != nullptr) return aErrBusy;
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(record->context, &list);
  aErr err = aErrNotFound;
  for (ssize_t i = 0; i < count; i++) {
    libusb_device* device = list[i];
    if (!is_quillomat_device(device)) continue;
    libusb_device_handle* handle = nullptr;
    if (!sMatches(device, serial, &handle)) continue;
    snprintf(record->serial, sizeof(record->serial), "%s", serial);
    record->handle = handle;
    sSetState(record, kUsbOpened);
    if (!find_usb_endpoints(device, record)) {
      err = aErrConfiguration;
    } else {
      int rc = libusb_claim_interface(handle, record->interface);
      if (rc == LIBUSB_SUCCESS) {
        __atomic_store_n(&record->errorCount, 0, __ATOMIC_RELAXED);
        sSetState(record, kUsbReady);
        err = aErrNone;
      } else {
        err = sClaimError(rc);
      }
    }
    if (err != aErrNone) {
      sSetState(record, kUsbClosed);
      sCloseHandle(record);
    }
    break;
  }
  if (list != nullptr) libusb_free_device_list(list, 1);
  return err;
}

aErr sOpenNode(qmusb_device* record, const char* serial) {
  if (record->mode != kUsbModeKernel) return aErrMode;
  if (record->descriptor >= 0) return aErrBusy;
  snprintf(record->serial, sizeof(record->serial), "%s", serial);
  char path[sizeof(record->serial) + 32];
  snprintf(path, sizeof(path), "/dev/quillomat.%s", record->serial);
  int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
  record->descriptor = fd;
  sSetState(record, kUsbReady);
  return aErrNone;
}

aErr sWriteLibusb(qmusb_device* record, const uint8_t* data, size_t length) {
  uint32_t state = sState(record);
  if (state == kUsbFailed) return aErrIO;
  if (state != kUsbReady) return sTolerate(record, sStateError(state), false);
  size_t done = 0;
  int failures = 0;
  aErr err = aErrNone;
  while (done < length && failures < QMUSB_WRITE_MAX_FAILURES) {
    size_t chunk = length - done;
    if (record->outPacketSize != 0 && chunk > record->outPacketSize) chunk = record->outPacketSize;
    // A transfer of exactly 512 bytes would need a zero-length packet to
    // end it; sending 511 and then the rest avoids that.
    if (chunk == kFullSpeedChunk) chunk = kFullSpeedChunk - 1;
    if (chunk > INT_MAX) chunk = INT_MAX;
    int transferred = 0;
    int rc = sOps->bulk_transfer(record->handle, record->outEndpoint,
                                 const_cast<unsigned char*>(data + done), (int)chunk,
                                 &transferred, QMUSB_WRITE_TIMEOUT_MS);
    // Bytes the device took stay taken, also when the transfer failed
    // part-way; sending them again would duplicate them.
    if (transferred > 0) done += (size_t)transferred < chunk ? (size_t)transferred : chunk;
    if (rc == LIBUSB_SUCCESS) {
      if (transferred <= 0) failures++;  // no progress: do not loop for ever
      continue;
    }
    failures++;
    aDefs_DebugPrintf(aDEBUG_USBDRIVER, "qmusb: bulk OUT failed: %s\n", libusb_error_name(rc));
    if (rc == LIBUSB_ERROR_PIPE && sOps->clear_halt(record->handle, record->outEndpoint) != 0) {
      err = aErrIO;
      break;
    }
  }
  if (err == aErrNone && done < length) err = aErrWrite;
  return sTolerate(record, err, false);
}

aErr sReadLibusb(qmusb_device* record, uint8_t* byte) {
  if (record->available > 0) {
    *byte = *record->readPosition++;
    record->available--;
    return sTolerate(record, aErrNone, true);
  }
  uint32_t state = sState(record);
  if (state == kUsbFailed) return aErrIO;
  if (state != kUsbReady) return sTolerate(record, sStateError(state), true);
  int transferred = 0;
  int rc = sOps->bulk_transfer(record->handle, record->inEndpoint, record->readBuffer,
                               QMUSB_READ_BUFFER_SIZE, &transferred, QMUSB_READ_TIMEOUT_MS);
  aErr err = aErrNone;
  if (rc == LIBUSB_ERROR_PIPE) {
    err = sOps->clear_halt(record->handle, record->inEndpoint) == 0 ? aErrNotReady : aErrIO;
  } else if (rc != LIBUSB_SUCCESS && rc != LIBUSB_ERROR_TIMEOUT) {
    aDefs_DebugPrintf(aDEBUG_USBDRIVER, "qmusb: bulk IN failed: %s\n", libusb_error_name(rc));
    err = aErrIO;
  } else if (transferred <= 0) {
    err = aErrNotReady;  // a time-out, or an empty packet
  } else {
    if (transferred > QMUSB_READ_BUFFER_SIZE) transferred = QMUSB_READ_BUFFER_SIZE;
    record->available = (size_t)transferred - 1;
    record->readPosition = record->readBuffer + 1;
    *byte = record->readBuffer[0];
  }
  return sTolerate(record, err, true);
}

aErr sWriteNode(qmusb_device* record, const uint8_t* data, size_t length) {
  size_t done = 0;
  for (int calls = 0; done < length && calls < QMUSB_NODE_MAX_WRITES; calls++) {
    ssize_t n = write(record->descriptor, data + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return aErrIO;
    }
    done += (size_t)n;
  }
  return done < length ? aErrIO : aErrNone;
}

aErr sReadNode(qmusb_device* record, uint8_t* byte) {
  // Wait a moment for input so that a caller polling an idle device does
  // not spin, and so that a node that blocks on read cannot stall it.
  struct pollfd wait = {record->descriptor, POLLIN, 0};
  if (poll(&wait, 1, QMUSB_NODE_READ_WAIT_MS) == 0) return aErrNotReady;
  ssize_t n = read(record->descriptor, byte, 1);
  if (n == 1) return aErrNone;
  if (n == 0 && (wait.revents & POLLHUP)) {
    // The node hung up: it will never deliver again. Pause as an idle wait
    // would, since a hung-up node is always readable.
    poll(nullptr, 0, QMUSB_NODE_READ_WAIT_MS);
    return aErrIO;
  }
  if (n == 0) return aErrNotReady;
  if (errno == EFAULT || errno == EAGAIN || errno == EINTR) return aErrNotReady;
  return aErrIO;
}

}  // namespace

extern "C" {

void qmusb_set_transfer_ops(const qmusb_transfer_ops* ops) {
  sOps = ops != nullptr ? ops : &kLibusbOps;
}

bool qmusb_is_quillomat_descriptor(const struct libusb_device_descriptor* descriptor) {
  return descriptor != nullptr && descriptor->idVendor == QMUSB_VENDOR_ID &&
         (descriptor->idProduct & QMUSB_PRODUCT_ID_RESERVED) == 0;
}

bool is_quillomat_device(libusb_device* device) {
  if (device == nullptr) return false;
  struct libusb_device_descriptor descriptor;
  if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return false;
  return qmusb_is_quillomat_descriptor(&descriptor);
}

bool qmusb_find_endpoints_in_config(const struct libusb_config_descriptor* config,
                                    qmusb_device* record) {
  if (config == nullptr || record == nullptr) return false;
  bool in = false;
  bool out = false;
  for (int i = 0; i < config->bNumInterfaces; i++) {
    const struct libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting; a++) {
      const struct libusb_interface_descriptor& setting = interface.altsetting[a];
      if (setting.bInterfaceClass != QMUSB_INTERFACE_CLASS ||
          setting.bInterfaceSubClass != QMUSB_INTERFACE_SUBCLASS ||
          setting.bInterfaceProtocol != QMUSB_INTERFACE_PROTOCOL)
        continue;
      record->interface = setting.bInterfaceNumber;
      for (int e = 0; e < setting.bNumEndpoints; e++) {
        const struct libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        if ((endpoint.bmAttributes & 0x02) == 0) continue;  // control or isochronous
        if (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
          record->inEndpoint = endpoint.bEndpointAddress;
          record->inPacketSize = endpoint.wMaxPacketSize;
          in = true;
        } else {
          record->outEndpoint = endpoint.bEndpointAddress;
          record->outPacketSize = endpoint.wMaxPacketSize;
          out = true;
        }
      }
    }
  }
  if (in && out)
    aDefs_DebugPrintf(aDEBUG_USBDRIVER, "qmusb: IN endpoint 0x%02X size %u, OUT 0x%02X size %u\n",
                      record->inEndpoint, record->inPacketSize, record->outEndpoint,
                      record->outPacketSize);
  return in && out;
}

bool find_usb_endpoints(libusb_device* device, qmusb_device* record) {
  if (device == nullptr || record == nullptr) return false;
  struct libusb_config_descriptor* config = nullptr;
  if (libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) return false;
  bool found = qmusb_find_endpoints_in_config(config, record);
  libusb_free_config_descriptor(config);
  return found;
}

bool qmusb_is_kernel_driver_installed(uint32_t serial) {
  char path[64];
  snprintf(path, sizeof(path), QMUSB_NODE_FORMAT, serial);
  return aFile_Exists(path);
}

qmusb_device* qmusb_create_usb(uint32_t mode) {
  if (mode != kUsbModeLibusb && mode != kUsbModeKernel) return nullptr;
  qmusb_device* record = static_cast<qmusb_device*>(calloc(1, sizeof(qmusb_device)));
  if (record == nullptr) return nullptr;
  record->mode = mode;
  record->descriptor = -1;
  record->state = kUsbCreated;
  record->readPosition = record->readBuffer;
  if (mode == kUsbModeLibusb) {
    record->context = Quillomat_libusb_acquire();
    if (record->context == nullptr) {
      free(record);
      return nullptr;
    }
  }
  return record;
}

aErr qmusb_open_quillomat_device(qmusb_device* record, const char* serial) {
  if (record == nullptr || serial == nullptr) return aErrParam;
  return record->mode == kUsbModeLibusb ? sOpenLibusb(record, serial) : sOpenNode(record, serial);
}

aErr qmusb_write_to_device(qmusb_device* record, const uint8_t* data, size_t length) {
  if (record == nullptr || (data == nullptr && length > 0)) return aErrParam;
  if (record->mode == kUsbModeLibusb) return sWriteLibusb(record, data, length);
  if (record->descriptor < 0) return aErrMode;
  return sWriteNode(record, data, length);
}

aErr qmusb_get_from_device(qmusb_device* record, uint8_t* byte) {
  if (record == nullptr || byte == nullptr) return aErrParam;
  if (record->mode == kUsbModeLibusb) return sReadLibusb(record, byte);
  if (record->descriptor < 0) return aErrMode;
  return sReadNode(record, byte);
}

aErr qmusb_close_quillomat_device(qmusb_device* record) {
  if (record == nullptr) return aErrParam;
  if (record->mode == kUsbModeLibusb) {
    if (record->handle == nullptr) return aErrMode;
    sOps->release_interface(record->handle, record->interface);
    sCloseHandle(record);
    record->interface = 0;
    record->inEndpoint = 0;
    record->outEndpoint = 0;
    sSetState(record, kUsbClosed);
    return aErrNone;
  }
  if (record->descriptor < 0) return aErrNone;
  int rc = close(record->descriptor);
  record->descriptor = -1;  // after a failed close the descriptor is gone as well
  sSetState(record, kUsbClosed);
  return rc != 0 ? aErrCancel : aErrNone;
}

aErr qmusb_destroy(qmusb_device** record) {
  if (record == nullptr || *record == nullptr) return aErrParam;
  qmusb_device* device = *record;
  if (device->handle != nullptr || device->descriptor >= 0) qmusb_close_quillomat_device(device);
  Quillomat_libusb_release(device->context);
  free(device);
  *record = nullptr;
  return aErrNone;
}

}  // extern "C"
