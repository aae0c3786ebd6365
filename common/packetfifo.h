/* Numbered, thread-safe queues of packets: the link engine's input and
 * output queues.
 *
 * FIFOs are reached only through their numbers (non-zero, 64-bit, never
 * reused), so a stale or destroyed number is harmless: every operation on it
 * simply finds nothing. Packets put are copied; packets handed out are the
 * caller's, to be freed with aPacket_Destroy. Time-outs are milliseconds from
 * the call, on the monotonic clock.
 *
 * A FIFO that is made to hold more than 1000 packets empties itself
 * completely: a reader that falls that far behind loses everything queued. */
#ifndef QUILLOMAT_PACKETFIFO_H
#define QUILLOMAT_PACKETFIFO_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"
#include "aPacket.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aPACKETFIFO_CAPACITY 1000

typedef uint64_t aPacketFifoId;

/* Matching function: true to accept the queued packet. It runs with the
 * FIFO's lock held, so it must not call any aPacketFifo_ function; it may
 * write into the memory `ref` points to. A NULL proc accepts every packet. */
typedef bool (*aPacketFifoProc)(const aPacket* packet, void* ref);

/* A new empty FIFO's number, or 0 when it cannot be made. */
aPacketFifoId aPacketFifo_Create(void);

/* Removes the FIFO, frees its packets, wakes every waiter (they return NULL)
 * and sets *fifo to 0. aErrParam for a NULL pointer, aErrNotFound for an
 * unknown number, aErrUnknown when the removal fails. */
aErr aPacketFifo_Destroy(aPacketFifoId* fifo);

/* Appends a copy of the packet and wakes the waiters. aErrParam for an
 * unknown number or an invalid packet (or one that cannot be copied),
 * aErrResource when the queue cannot grow. */
aErr aPacketFifo_Put(aPacketFifoId fifo, const aPacket* packet);

/* Number of queued packets; 0 for an unknown number. */
size_t aPacketFifo_GetLength(aPacketFifoId fifo);

/* The oldest packet, removed; NULL when empty or unknown. Never waits. */
aPacket* aPacketFifo_Get(aPacketFifoId fifo);

/* The oldest packet, removed, waiting up to `timeoutMs` for one to arrive;
 * NULL on time-out, for an unknown number, or when the FIFO is destroyed
 * meanwhile. */
aPacket* aPacketFifo_Await(aPacketFifoId fifo, uint32_t timeoutMs);

/* The first packet (oldest first) that `proc` accepts, removed; NULL when
 * none does. Never waits. */
aPacket* aPacketFifo_GetFirst(aPacketFifoId fifo, aPacketFifoProc proc, void* ref);

/* As aPacketFifo_GetFirst, waiting up to `timeoutMs` for an acceptable
 * packet. Each queued packet is offered to `proc` at most once per call. */
aPacket* aPacketFifo_AwaitFirst(aPacketFifoId fifo, aPacketFifoProc proc, void* ref,
                                uint32_t timeoutMs);

/* Removes and frees every packet `proc` accepts (each asked once, oldest
 * first), keeping the order of the rest; returns how many were removed. */
size_t aPacketFifo_DrainPackets(aPacketFifoId fifo, aPacketFifoProc proc, void* ref);

#ifdef __cplusplus
}
#endif

#endif
