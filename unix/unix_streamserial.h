/* Serial port streams over a POSIX terminal device in raw mode: a plain
 * byte stream, and the same port wrapped in the packet framing stream. */
#ifndef QUILLOMAT_UNIX_STREAMSERIAL_H
#define QUILLOMAT_UNIX_STREAMSERIAL_H

#include <stdint.h>

#include "aError.h"
#include "aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aSERIALSTREAMCHECK 0xBEEF

/* Baud-rate indices: 0 2400, 1 4800, 2 9600, 3 19200, 4 38400, 5 57600,
 * 6 115200, 7 230400. Any other index selects the hang-up speed 0. */
enum {
  aSerialBaud2400 = 0,
  aSerialBaud4800 = 1,
  aSerialBaud9600 = 2,
  aSerialBaud19200 = 3,
  aSerialBaud38400 = 4,
  aSerialBaud57600 = 5,
  aSerialBaud115200 = 6,
  aSerialBaud230400 = 7
};

/* Longest time a get waits for input before it reports aErrNotReady. */
#define aSERIAL_READ_WAIT_MS 10

/* Opens `port` (e.g. "/dev/ttyUSB0") with the baud index, parity on when
 * `parity` is non-zero, 8 data bits (dataBits 0) or 7 (1), one stop bit
 * (stopBits 0) or two (1). aErrResource for a null port or stream or no
 * memory; aErrParam for a selector above 1; the open's code (aErrNotFound,
 * aErrPermission, aErrIO) when the port cannot be opened. */
aErr aStream_CreateSerial(const char* port, uint32_t baudIndex, uint8_t parity, uint8_t dataBits,
                          uint8_t stopBits, aStreamRef* stream);

/* The same port as a packet framing stream (COBS frames with CRC-8). */
aErr aStream_CreateSerial_Packetized(const char* port, uint32_t baudIndex, uint8_t parity,
                                     uint8_t dataBits, uint8_t stopBits, aStreamRef* stream);

#ifdef __cplusplus
}
#endif

#endif
