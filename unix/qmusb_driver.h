/* USB driver layer for Quillomat devices. A driver record opens one device
 * either through libusb (bulk transfers on the device's vendor-specific
 * interface) or, when the kernel driver is installed, through its device
 * node "/dev/quillomat.%08X". */
#ifndef QUILLOMAT_QMUSB_DRIVER_H
#define QUILLOMAT_QMUSB_DRIVER_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;
struct libusb_device_descriptor;
struct libusb_config_descriptor;

#ifdef __cplusplus
extern "C" {
#endif

/* Identification of Quillomat devices. */
#define QMUSB_VENDOR_ID 0x24FF
#define QMUSB_PRODUCT_ID_RESERVED 0x8000 /* product ids with this bit are not ours */
#define QMUSB_INTERFACE_CLASS 0xFF
#define QMUSB_INTERFACE_SUBCLASS 0x88
#define QMUSB_INTERFACE_PROTOCOL 0x10

/* Device node of the kernel driver, by serial number. */
#define QMUSB_NODE_FORMAT "/dev/quillomat.%08X"

#define QMUSB_SERIAL_SIZE 256
#define QMUSB_READ_BUFFER_SIZE 1024

/* Bulk transfer time-outs (ms). */
#define QMUSB_WRITE_TIMEOUT_MS 50
#define QMUSB_READ_TIMEOUT_MS 1000
/* Failed transfers one block write tolerates before it gives up. */
#define QMUSB_WRITE_MAX_FAILURES 10
/* Consecutive I/O errors hidden before the driver gives up (kUsbFailed). */
#define QMUSB_MAX_HIDDEN_ERRORS 4
/* Write calls one block may take on the device node. */
#define QMUSB_NODE_MAX_WRITES 1000
/* Longest time a node read waits for input before it reports aErrNotReady. */
#define QMUSB_NODE_READ_WAIT_MS 10

/* Driver modes. */
enum { kUsbModeKernel = 0, kUsbModeLibusb = 1 };

/* Driver states. */
typedef enum {
  kUsbCreated = 1, /* record made, not open */
  kUsbClosed = 2,  /* closed, or opening failed after the device was found */
  kUsbOpened = 3,  /* device opened, interface not yet claimed */
  kUsbReady = 4,   /* interface claimed, transfers allowed */
  kUsbFailed = 5   /* given up after repeated I/O errors */
} qmusb_state;

/* One open device. The input side (reads) and the output side (writes) may
 * run on two threads at once; only reads touch the read buffer. */
typedef struct qmusb_device {
  uint32_t mode;                       /* kUsbModeLibusb or kUsbModeKernel */
  char serial[QMUSB_SERIAL_SIZE];      /* serial text the device was opened with */
  int32_t descriptor;                  /* device node (kernel mode), -1 when closed */
  struct libusb_device_handle* handle; /* libusb mode, null when closed */
  uint32_t state;                      /* qmusb_state */
  uint8_t interface;                   /* claimed interface number */
  uint8_t outEndpoint;
  uint8_t inEndpoint;
  uint8_t readBuffer[QMUSB_READ_BUFFER_SIZE]; /* the last bulk IN transfer */
  size_t available;                    /* unread bytes in readBuffer */
  uint8_t* readPosition;               /* next unread byte */
  uint8_t errorCount;                  /* consecutive I/O errors */
  uint16_t inPacketSize;               /* 0 until the endpoints are found */
  uint16_t outPacketSize;
  struct libusb_context* context;      /* context the handle was opened in */
} qmusb_device;

/* The libusb calls made on an open device handle. Tests replace them to
 * script transfer results; qmusb_set_transfer_ops(NULL) restores libusb's
 * own. Set the table while no device is in use. */
typedef struct qmusb_transfer_ops {
  int (*bulk_transfer)(struct libusb_device_handle* handle, unsigned char endpoint,
                       unsigned char* data, int length, int* transferred, unsigned int timeout);
  int (*clear_halt)(struct libusb_device_handle* handle, unsigned char endpoint);
  int (*release_interface)(struct libusb_device_handle* handle, int interface_number);
  void (*close)(struct libusb_device_handle* handle);
} qmusb_transfer_ops;

void qmusb_set_transfer_ops(const qmusb_transfer_ops* ops);

/* Identification: vendor 0x24FF and bit 15 of the product id clear. */
bool qmusb_is_quillomat_descriptor(const struct libusb_device_descriptor* descriptor);
/* The same for a device whose descriptor can be read. */
bool is_quillomat_device(struct libusb_device* device);

/* Finds the vendor interface and its bulk (or interrupt) IN and OUT
 * endpoints with their packet sizes in a configuration; true when both
 * endpoints were seen. */
bool qmusb_find_endpoints_in_config(const struct libusb_config_descriptor* config,
                                    qmusb_device* record);
/* The same on configuration 0 of a device. */
bool find_usb_endpoints(struct libusb_device* device, qmusb_device* record);

/* True when the kernel driver's node for the serial number exists. */
bool qmusb_is_kernel_driver_installed(uint32_t serial);

/* A new record in the given mode (state kUsbCreated); null when memory runs
 * out or, in libusb mode, when libusb cannot be initialised. */
qmusb_device* qmusb_create_usb(uint32_t mode);

/* Opens the device whose USB serial string (or node name) is `serial`.
 * libusb mode: aErrNotFound when no device matches, aErrConfiguration
 * without the endpoints, aErrBusy, aErrPermission or aErrUnknown when the
 * interface cannot be claimed. Kernel mode: aErrBusy or aErrIO. */
aErr qmusb_open_quillomat_device(qmusb_device* record, const char* serial);

/* Writes one block. */
aErr qmusb_write_to_device(qmusb_device* record, const uint8_t* data, size_t length);

/* Reads one byte; aErrNotReady when none arrived. */
aErr qmusb_get_from_device(qmusb_device* record, uint8_t* byte);

/* Closes the device (state kUsbClosed). */
aErr qmusb_close_quillomat_device(qmusb_device* record);

/* Closes what is still open, frees the record and nulls *record. */
aErr qmusb_destroy(qmusb_device** record);

#ifdef __cplusplus
}
#endif

#endif
