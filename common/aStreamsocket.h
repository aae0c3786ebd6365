/* TCP client socket stream to a device's IPv4 address and port. The socket
 * is non-blocking with Nagle's algorithm off; a lost connection is
 * re-established by the next read or write that sees the loss. */
#ifndef QUILLOMAT_ASTREAMSOCKET_H
#define QUILLOMAT_ASTREAMSOCKET_H

#include <stdint.h>

#include "aError.h"
#include "aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aSOCKETSTREAMCHECK 0xDEAD

/* Send attempts per write, and the pause between two attempts. */
#define aSOCKET_MAX_SEND_RETRY ((uint8_t)10)
#define aSOCKET_RETRY_DELAY_MS ((uint8_t)60)

/* Longest time a connection attempt waits for the peer. */
#define aSOCKET_CONNECT_TIMEOUT_MS 5000

/* Longest time a get waits for input before it reports aErrNotReady. */
#define aSOCKET_READ_WAIT_MS 10

/* Connects to `address` (IPv4, network byte order, as in sin_addr) and
 * `port` (host order). aErrNone with the stream in *stream; aErrResource on
 * any failure (*stream stays null). */
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream);

#ifdef __cplusplus
}
#endif

#endif
