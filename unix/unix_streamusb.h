/* Byte stream to a Quillomat device attached by USB, through libusb or the
 * kernel driver's device node when that exists. */
#ifndef QUILLOMAT_UNIX_STREAMUSB_H
#define QUILLOMAT_UNIX_STREAMUSB_H

#include <stdint.h>

#include "aError.h"
#include "aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aUSBSTREAMCHECK 0xDEAD

/* Opens the device with that serial number. aErrParam for a null `stream`
 * or serial number 0, aErrMemory or aErrResource when records cannot be
 * made, otherwise the open's code (aErrNotFound when no device has the
 * serial number). *stream is null on failure. */
aErr aStream_CreateUSB(uint32_t serial, aStreamRef* stream);

#ifdef __cplusplus
}
#endif

#endif
