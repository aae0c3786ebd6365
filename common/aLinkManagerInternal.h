/* The link engine's records: the link table and its entries, the link record
 * with its two threads, and the table operations. Used by the engine itself
 * and by modules that attach to a link (packet log, broker server); callers
 * use the numbered functions of aLink.h. C++ only: the fields that the
 * threads and callers share without a lock are atomics. */
#ifndef QUILLOMAT_ALINKMANAGERINTERNAL_H
#define QUILLOMAT_ALINKMANAGERINTERNAL_H

#ifndef __cplusplus
#error "aLinkManagerInternal.h is a C++ header"
#endif

#include <atomic>
#include <cstdint>

#include "aLink.h"
#include "unix_mutex.h"
#include "unix_thread.h"

/* Check word of a live link record. */
#define aLINK_CHECK 0xCEED

/* Special packets. */
#define aLINK_SYNC_ADDRESS 0xAD   /* synchronisation request / module-address query, no data */
#define aLINK_ROUTE_ADDRESS 0xAF  /* route request, one data byte: 1 on start, 0 on stop */
#define aLINK_SYNC_BURST 6        /* requests queued per synchronisation attempt */

/* Output pooling: one write holds at most this many bytes, and another packet
 * is appended only while the buffer holds at most aLINK_POOL_FILL bytes (room
 * for one more packet of 30 bytes). */
#define aLINK_POOL_SIZE 4096
#define aLINK_POOL_FILL (aLINK_POOL_SIZE - aPACKET_MAX_BYTES)

/* Synchronisation state machine (input thread). */
enum {
  kSyncStateNone = 0,
  kSyncStateStart = 1,
  kSyncStateByte1 = 2,  /* waiting for the device's address */
  kSyncStateByte2 = 3,  /* waiting for its 0 length byte */
  kSyncStateByte3 = 4,  /* waiting for the address again */
  kSyncStateByte4 = 5   /* waiting for the second 0 */
};

/* Heartbeat back-channel state. */
enum { kHBIdle = 0, kHBSendingUp = 2, kHBSendingDown = 3 };

/* Link kinds of the table; the values are the linkType values. */
enum {
  kLinkKindStream = 0,  /* caller's stream */
  kLinkKindUSB = 1,
  kLinkKindTCPIP = 2,
  kLinkKindSerial = 3,
  kLinkKindClient = 4   /* broker client (4 to 7) */
};

struct aPacketLog;  /* packet debug log: a byte ring of recorded packets */

struct aLinkRecord {
  uint16_t check;             /* aLINK_CHECK while initialised */
  aLinkRef linkNumber;
  std::atomic<bool> running;  /* both threads loop while set */
  std::atomic<uint32_t> status;
  std::atomic<aPacketFifoId> inputFifo;   /* packets from the device */
  aPacket* packet;                        /* being assembled by the input thread */
  std::atomic<aPacketFifoId> outputFifo;  /* packets for the device */
  aThreadRef inputThread;
  aThreadRef outputThread;
  aThreadProc inputProc;
  aThreadProc outputProc;
  std::atomic<bool> inputStarted;
  std::atomic<bool> outputStarted;
  aStreamRef stream;  /* owned */
  std::atomic<uint32_t> heartbeatState;
  std::atomic<uint32_t> syncState;
  uint8_t syncAddress;
  aPacketLog* packetLog;  /* null until enabled */
  uint32_t packetLogSize; /* requested capacity in bytes, 0 = default */
  aMutexRef logMutex;     /* "LOG_SEMA_%p", made with the log */
  aLinkPacketFilter userFilter;
  void* userFilterReference;
  aMutexRef filterMutex;  /* "aLink(%p)->userFilterSema" */
  std::atomic<bool> pooled;
};

struct aLinkEntry {
  aLinkRef linkNumber;
  aLinkRef servedLink; /* broker client made for a direct link: that link; else 0 */
  void* server;        /* broker server attached to this direct link, or null */
  uint32_t identifier0;
  uint32_t identifier1;
  uint32_t identifier2;
  uint32_t kind;       /* kLinkKind... */
  int16_t useCount;
  aLinkRecord* record;
  aLinkEntry* next;    /* newest first */
};

struct aLinkTable {
  aLinkEntry* head;
  aLinkRef nextNumber; /* starts at 1 */
  aMutexRef mutex;     /* "aLink_Managed", made on first use */
};

extern aLinkTable _links;
extern uint32_t _clientCount;

/* What callers need of a link, read under the table mutex so that a link
 * destroyed meanwhile is simply not found. */
struct aLinkSnapshot {
  bool running;
  uint32_t status;
  aPacketFifoId inputFifo;
  aPacketFifoId outputFifo;
};

extern "C" {

/* --- Table operations; each takes the table mutex for its own duration. --- */

/* A new entry with the next link number, use count 0 and a zeroed record,
 * put at the head of the table; null when memory runs out. */
aLinkEntry* _aLinkTable_Add(uint32_t kind, uint32_t id0, uint32_t id1, uint32_t id2);

/* Finds a link in use (use count above 0) for the device and adds a use.
 * USB, TCP/IP and serial links match on kind and serial number (id0); a
 * serial number of 0 matches on TCP/IP only with the same address and port,
 * and never on serial links. Broker clients match on all three identifiers;
 * links over a caller's stream never match. With `refuseServed`, a link with
 * a broker server attached is not shared and `*refused` is set. The shared
 * number, or 0. */
aLinkRef _aLinkTable_Share(uint32_t kind, uint32_t id0, uint32_t id1, uint32_t id2,
                           bool refuseServed, bool* refused);

/* The entry's record, or null for an unknown number. */
aLinkRecord* _aLinkTable_FindRecord(aLinkRef link);

/* A copy of the entry (next cleared); false for an unknown number. */
bool _aLinkTable_GetEntry(aLinkRef link, aLinkEntry* copy);

/* Adds `delta` to the use count; the new count in `*count`. False for an
 * unknown number. */
bool _aLinkTable_ChangeUseCount(aLinkRef link, int delta, int16_t* count);

/* Releases one use. When none is left the entry is taken out of the table
 * and returned for tear-down; otherwise null. `*found` tells whether the
 * number was known. */
aLinkEntry* _aLinkTable_Release(aLinkRef link, bool* found);

/* Takes the entry out of the table regardless of its use count. */
aLinkEntry* _aLinkTable_Remove(aLinkRef link);

/* Reads the shared flags of a link; false for an unknown number or a link
 * without record. */
bool _aLinkTable_Snapshot(aLinkRef link, aLinkSnapshot* snapshot);

/* The two thread bodies of a running link; the argument is its record. */
void* _aLink_InputThread(void* record);
void* _aLink_OutputThread(void* record);

/* Frees what an initialised record holds (FIFOs, assembly packet, mutexes,
 * stream); the record itself stays, zeroed. Its threads must have ended. */
void _aLinkRecord_Release(aLinkRecord* record);

/* Stops the link's threads (the route request with flag 0 still leaves).
 * aErrParam for a null record; aErrUnknown when a thread cannot be joined. */
aErr aLink_Stop(aLinkRecord* record);

/* Stop, new stream of the entry's kind, new FIFOs, init, start. */
aErr aLink_ResetLink(aLinkEntry* entry);

/* Module-address query over a running link: queues AD 00 and awaits the
 * oldest packet for 1000 ms. aErrIO for an answer that is not an empty packet
 * from a non-zero address, aErrTimeout for none. */
aErr _aLink_GetModuleAddress(aLinkRef link, uint8_t* address);

/* Asks the module at `address` for its model (data 3, 0x48, 0x20) and awaits
 * the oldest packet for 1000 ms: it must come from that address with 4 data
 * bytes, byte 0 = 3; the model is byte 3. aErrIO otherwise, aErrTimeout for
 * none. */
aErr _aLink_GetModel(aLinkRef link, uint8_t address, uint8_t* model);

}  /* extern "C" */

#endif
