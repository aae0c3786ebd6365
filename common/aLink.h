/* The link engine: packet links to devices over byte streams.
 *
 * A link is a numbered object that owns one stream (USB, TCP socket, framed
 * serial port or a stream the caller made), an input and an output packet
 * FIFO and two threads. The input thread reads the stream byte by byte,
 * keeps in step with the device (synchronisation handshake: requests AD 00,
 * the device answers with its address and 00), answers the device's
 * heartbeats and queues every other complete packet for callers. The output
 * thread writes the packets queued for the device.
 *
 * Links are named by number (from 1; 0 means no link). A process-wide table
 * finds them by number and by device identity, so that two users of one
 * device share one link, each holding a use; aLink_Destroy releases a use
 * and tears the link down with the last one.
 *
 * Unknown numbers give aErrParam where a code is returned, NULL where a
 * packet is returned, 0 for counts and kLinkNoStream for aLink_GetStatus.
 * Packets handed in are copied; packets handed out belong to the caller
 * (aPacket_Destroy). Time-outs are milliseconds. */
#ifndef QUILLOMAT_ALINK_H
#define QUILLOMAT_ALINK_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"
#include "aPacket.h"
#include "aStream.h"
#include "packetfifo.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Link number: 1, 2, ... in order of creation, never reused; 0 = none. */
typedef uint32_t aLinkRef;

/* Link status (aLink_GetStatus). */
typedef enum {
  kLinkStopped = 0,
  kLinkStarting = 1,
  kLinkRunning = 2,     /* threads running and in step with the device */
  kLinkStopping = 3,
  kLinkSyncing = 4,
  kLinkNoStream = 5,    /* no stream; also the status of an unknown number */
  kLinkInputError = 6,  /* the last stream read failed */
  kLinkReserved = 7,    /* never set */
  kLinkPacketError = 8  /* a complete packet could not be queued */
} aLinkStatus;

/* User packet filter: sees every complete incoming packet before the
 * heartbeat check and the input FIFO; returns true when it consumed the
 * packet. It runs on the input thread with the link's filter mutex held. */
typedef bool (*aLinkPacketFilter)(const aPacket* packet, void* reference);

/* --- Creation: the new or shared link number, 0 on any failure (nothing is
 * left behind then). --- */

/* USB link to the device with this serial number; an existing USB link to it
 * is shared. Synchronises before returning: a device that does not answer
 * within 2 s fails the creation. */
aLinkRef aLink_CreateUSB(uint32_t serialNumber);

/* TCP link to address:port (IPv4 in network byte order); an existing TCP/IP
 * link to the same serial number is shared. */
aLinkRef aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port);

/* COBS-framed serial link on the named port. The baud rate must be one of
 * 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400. */
aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);

/* With a non-zero `reference`: one more use of that link, which is returned.
 * With 0: a new link to the network broker at address:port. */
aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef reference);

/* Puts a network broker in front of the direct link `link` and returns a
 * client link to it; `outPort` receives the broker's port, `interfaceAddress`
 * gives (and receives) its interface address. */
aLinkRef aLink_CreateServer(aLinkRef link, uint16_t* outPort, uint32_t* interfaceAddress,
                            bool localOnly);

/* A link over a stream the caller made; the link owns the stream from then on
 * (also when creation fails). Never shared. */
aLinkRef aLink_Create(aStreamRef stream);

/* --- Life cycle --- */

/* (Re)fills the link record: new FIFOs and assembly packet, status
 * kLinkStopped (kLinkNoStream without a stream), no filter, no packet log,
 * pooling off. Starts no threads. The number, or 0 when the link does not
 * exist or its record cannot be filled. */
aLinkRef aLink_Init(aLinkRef link, aStreamRef stream);

/* Starts both threads and waits (at most 2 s) until they run; then queues the
 * route request with flag 1. aErrNone when already running; aErrResource
 * when a thread cannot start; aErrIndexRange when they did not come up. */
aErr aLink_Start(aLinkRef link);

/* Forces a synchronisation and waits up to 2 s for it: aErrNone, or
 * aErrNotReady when the device did not answer. Either way, left-over
 * requests and answers are drained from both FIFOs. */
aErr aLink_Sync(aLinkRef link);

/* Stops the link, makes a new stream of the same kind (up to 20 tries, 100 ms
 * apart) and starts it again. Packets queued before are lost; the user
 * filter, packet log and pooling are cleared. Serial links and links over a
 * caller's stream cannot be reset (aErrParam; the link is left as it was). */
aErr aLink_Reset(aLinkRef link);

/* Releases one use; the last use stops and frees the link. `*link` is set to
 * 0 in every case. aErrParam for an unknown number or a NULL pointer. */
aErr aLink_Destroy(aLinkRef* link);

/* The link's aLinkStatus; kLinkNoStream for an unknown number. */
uint32_t aLink_GetStatus(aLinkRef link);

/* Queues the route request (address 0xAF, one data byte: the flag).
 * aErrNotFound for an unknown number, aErrMemory when the packet cannot be
 * made. */
aErr aLink_ForceRoute(aLinkRef link, bool flag);

/* --- Packets --- */

/* Queues a copy of `packet` for the device. */
aErr aLink_PutPacket(aLinkRef link, const aPacket* packet);

/* The oldest received packet, or NULL; never waits. */
aPacket* aLink_GetPacket(aLinkRef link);

/* The oldest received packet, waiting up to `timeoutMs`. */
aPacket* aLink_AwaitPacket(aLinkRef link, uint32_t timeoutMs);

/* The first received packet `proc` accepts (removed), or NULL; never waits. */
aPacket* aLink_GetFirst(aLinkRef link, aPacketFifoProc proc, void* reference);

/* The first received packet `proc` accepts, waiting up to `timeoutMs` while
 * the link runs in step with the device. A link that is not running at
 * kLinkRunning gives NULL at once. */
aPacket* aLink_AwaitFirst(aLinkRef link, aPacketFifoProc proc, void* reference,
                          uint32_t timeoutMs);

/* Removes every received packet `proc` accepts; returns how many. */
size_t aLink_DrainPackets(aLinkRef link, aPacketFifoProc proc, void* reference);

/* Installs the user filter (or removes it, with NULLs). */
aErr aLink_InstallUserPacketFilter(aLinkRef link, aLinkPacketFilter filter, void* reference);

/* Output pooling: queued packets leave combined, in writes of at most 4096
 * bytes that never split a packet. Off by default. */
aErr aLink_EnablePooledPackets(aLinkRef link, bool enable);

#ifdef __cplusplus
}
#endif

#endif
