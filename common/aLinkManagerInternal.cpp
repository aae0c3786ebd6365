/* The link table: a list of entries, newest first, with the number counter
 * and every use count under one process-wide mutex. The mutex is held only
 * inside these functions and never while a link's own locks are taken. */
#include "aLinkManagerInternal.h"

#include <chrono>
#include <mutex>
#include <new>

#include "aDefs.h"
#include "unix_time.h"

aLinkTable _links = {nullptr, 1, nullptr};
uint32_t _clientCount = 0;

namespace {

std::once_flag sTableOnce;

/* Locks the table for the lifetime of the object, creating the mutex on
 * first use. */
class sTableLock {
 public:
  sTableLock() {
    std::call_once(sTableOnce, [] { _links.mutex = aMutex_Create("aLink_Managed"); });
    aMutex_Lock(_links.mutex);
  }
  ~sTableLock() { aMutex_Unlock(_links.mutex); }
  sTableLock(const sTableLock&) = delete;
  sTableLock& operator=(const sTableLock&) = delete;
};

/* Caller holds the table lock. */
aLinkEntry* sFind(aLinkRef link) {
  if (link == 0) return nullptr;
  for (aLinkEntry* entry = _links.head; entry; entry = entry->next) {
    if (entry->linkNumber == link) return entry;
  }
  return nullptr;
}

/* Caller holds the table lock. */
aLinkEntry* sUnlink(aLinkRef link) {
  for (aLinkEntry** at = &_links.head; *at; at = &(*at)->next) {
    if ((*at)->linkNumber == link) {
      aLinkEntry* entry = *at;
      *at = entry->next;
      entry->next = nullptr;
      return entry;
    }
  }
  return nullptr;
}

bool sSameDevice(const aLinkEntry* entry, uint32_t kind, uint32_t id0, uint32_t id1,
                 uint32_t id2) {
  if (entry->kind != kind) return false;
  switch (kind) {
    case kLinkKindUSB:
      return entry->identifier0 == id0;
    case kLinkKindTCPIP:
      /* Serial number 0 is "not known": such links are told apart by where
       * they connect. */
      if (id0 == 0) return entry->identifier0 == 0 && entry->identifier1 == id1 &&
                           entry->identifier2 == id2;
      return entry->identifier0 == id0;
    case kLinkKindSerial:
      /* The port is not part of the identity, so an unknown serial number
       * could name any device. */
      return id0 != 0 && entry->identifier0 == id0;
    case kLinkKindStream:
      return false;
    default:
      return entry->identifier0 == id0 && entry->identifier1 == id1 &&
             entry->identifier2 == id2;
  }
}

}  // namespace

extern "C" {

aLinkEntry* _aLinkTable_Add(uint32_t kind, uint32_t id0, uint32_t id1, uint32_t id2) {
  aLinkEntry* entry = new (std::nothrow) aLinkEntry();
  if (!entry) return nullptr;
  entry->record = new (std::nothrow) aLinkRecord();
  if (!entry->record) {
    delete entry;
    return nullptr;
  }
  entry->kind = kind;
  entry->identifier0 = id0;
  entry->identifier1 = id1;
  entry->identifier2 = id2;
  sTableLock lock;
  entry->linkNumber = _links.nextNumber++;
  if (_links.nextNumber == 0) _links.nextNumber = 1;
  entry->next = _links.head;
  _links.head = entry;
  return entry;
}

aLinkRef _aLinkTable_Share(uint32_t kind, uint32_t id0, uint32_t id1, uint32_t id2,
                           bool refuseServed, bool* refused) {
  if (refused) *refused = false;
  sTableLock lock;
  for (aLinkEntry* entry = _links.head; entry; entry = entry->next) {
    if (entry->useCount <= 0 || !sSameDevice(entry, kind, id0, id1, id2)) continue;
    if (refuseServed && entry->server) {
      if (refused) *refused = true;
      return 0;
    }
    entry->useCount++;
    aDefs_DebugPrintf(aDEBUG_LINK, " sChangeUseCount(%d, %+d) ==> %d\n",
                      (int)entry->linkNumber, 1, (int)entry->useCount);
    return entry->linkNumber;
  }
  return 0;
}

aLinkRecord* _aLinkTable_FindRecord(aLinkRef link) {
  sTableLock lock;
  aLinkEntry* entry = sFind(link);
  return entry ? entry->record : nullptr;
}

bool _aLinkTable_GetEntry(aLinkRef link, aLinkEntry* copy) {
  sTableLock lock;
  aLinkEntry* entry = sFind(link);
  if (!entry) return false;
  if (copy) {
    *copy = *entry;
    copy->next = nullptr;
  }
  return true;
}

bool _aLinkTable_ChangeUseCount(aLinkRef link, int delta, int16_t* count) {
  sTableLock lock;
  aLinkEntry* entry = sFind(link);
  if (!entry) return false;
  entry->useCount = (int16_t)(entry->useCount + delta);
  aDefs_DebugPrintf(aDEBUG_LINK, " sChangeUseCount(%d, %+d) ==> %d\n", (int)link, delta,
                    (int)entry->useCount);
  if (count) *count = entry->useCount;
  return true;
}

aLinkEntry* _aLinkTable_Release(aLinkRef link, bool* found) {
  sTableLock lock;
  aLinkEntry* entry = sFind(link);
  if (found) *found = entry != nullptr;
  if (!entry) return nullptr;
  entry->useCount--;
  aDefs_DebugPrintf(aDEBUG_LINK, " sChangeUseCount(%d, %+d) ==> %d\n", (int)link, -1,
                    (int)entry->useCount);
  aDefs_DebugPrintf(aDEBUG_LINK, "aLink_Destroy use_count: %d\n", (int)entry->useCount);
  if (entry->useCount > 0) return nullptr;
  return sUnlink(link);
}

aLinkEntry* _aLinkTable_Remove(aLinkRef link) {
  sTableLock lock;
  return sUnlink(link);
}

bool _aLinkTable_Snapshot(aLinkRef link, aLinkSnapshot* snapshot) {
  sTableLock lock;
  aLinkEntry* entry = sFind(link);
  if (!entry || !entry->record) return false;
  const aLinkRecord* record = entry->record;
  snapshot->running = record->running;
  snapshot->status = record->status;
  snapshot->inputFifo = record->inputFifo;
  snapshot->outputFifo = record->outputFifo;
  return true;
}

void _aLinkRecord_Release(aLinkRecord* record) {
  if (!record) return;
  aPacketFifoId fifo = record->inputFifo.exchange(0);
  if (fifo) aPacketFifo_Destroy(&fifo);
  fifo = record->outputFifo.exchange(0);
  if (fifo) aPacketFifo_Destroy(&fifo);
  if (record->packet) aPacket_Destroy(&record->packet);
  if (record->logMutex) aMutex_Destroy(&record->logMutex);
  if (record->filterMutex) aMutex_Destroy(&record->filterMutex);
  if (record->stream) aStream_Destroy(&record->stream);
  record->packetLog = nullptr;
  record->packetLogSize = 0;
  record->userFilter = nullptr;
  record->userFilterReference = nullptr;
  record->check = 0;
}

}  /* extern "C" */

/* --- The threads of a running link ---
 *
 * Callers and the threads meet only in the FIFOs, in the user filter (under
 * the filter mutex) and in the atomic flags of the record. */

namespace {

using sClock = std::chrono::steady_clock;

/* While syncing, an idle stream repeats the burst of requests; a stream that
 * answers at once when it has nothing is asked again only after this long
 * without a byte or a burst, so that the bytes of an answer (which a framed
 * stream hands out between idle results) are not cut off by a new burst. */
constexpr auto kSyncRetry = std::chrono::milliseconds(100);
/* A read that reports "nothing yet" faster than this did not wait; after
 * kFastIdleLimit of those in a row the thread naps 1 ms per read, so that a
 * link over a stream without a read time-out does not spin. */
constexpr auto kFastIdle = std::chrono::microseconds(200);
constexpr int kFastIdleLimit = 32;
/* The output thread waits for packets in slices of this length, so that it
 * notices a stop promptly. */
constexpr uint32_t kOutputSlice = 100;

struct sInput {
  aLinkRecord* record;
  sClock::time_point lastSyncActivity;  /* last burst or byte while syncing */
  sClock::time_point lastBurst;
  bool burstQueued;
  int fastIdle;
};

const char* sSyncStateName(uint32_t state) {
  switch (state) {
    case kSyncStateStart: return "kSyncStateStart";
    case kSyncStateByte1: return "kSyncStateByte1";
    case kSyncStateByte2: return "kSyncStateByte2";
    case kSyncStateByte3: return "kSyncStateByte3";
    case kSyncStateByte4: return "kSyncStateByte4";
    default: return "kSyncStateNone";
  }
}

void sDebugPacket(const char* where, aLinkRef link, const aPacket* packet) {
  if (!aDefs_DebugEnabled(aDEBUG_PACKET)) return;
  aDefs_DebugPrintf(aDEBUG_PACKET, " %s(%d) ADDR:%02X, LEN:%02X, [%02X %02X %02X ...]\n", where,
                    (int)link, packet->address, packet->dataSize, packet->data[0],
                    packet->data[1], packet->data[2]);
}

/* Restarts the handshake and queues a burst of synchronisation requests.
 * Bursts are at least kSyncRetry apart: bytes that do not fit while the
 * answers to the last burst are still coming restart the state machine only,
 * so a device that sends garbage does not get six requests per byte. */
void sStartSync(sInput* in) {
  aLinkRecord* record = in->record;
  record->status = kLinkSyncing;
  record->syncState = kSyncStateStart;
  aPacket_Reset(record->packet);
  const auto now = sClock::now();
  in->lastSyncActivity = now;
  if (in->burstQueued && now - in->lastBurst < kSyncRetry) {
    record->syncState = kSyncStateByte1;
    return;
  }
  aDefs_DebugPrintf(aDEBUG_LINK, "syncStart\n");
  bool queued = true;
  aPacket* request = aPacket_CreateWithData(aLINK_SYNC_ADDRESS, 0, (const uint8_t*)"");
  for (int i = 0; i < aLINK_SYNC_BURST && request && queued; i++) {
    queued = aPacketFifo_Put(record->outputFifo, request) == aErrNone;
  }
  if (request && queued) {
    record->syncState = kSyncStateByte1;
    in->burstQueued = true;
    in->lastBurst = now;
  }
  if (request) aPacket_Destroy(&request);
}

/* The handshake: the device answers each request with its address and a 0,
 * so the engine is in step after address, 0, address, 0. */
void sSyncByte(sInput* in, uint8_t byte) {
  aLinkRecord* record = in->record;
  uint32_t state = record->syncState;
  in->lastSyncActivity = sClock::now();
  aDefs_DebugPrintf(aDEBUG_LINK, "sByte %d\n%s\n", byte, sSyncStateName(state));
  switch (state) {
    case kSyncStateStart:
      sStartSync(in);
      break;
    case kSyncStateByte1:
      if (byte != 0 && (byte & 1) == 0) {
        record->syncAddress = byte;
        record->syncState = kSyncStateByte2;
        aDefs_DebugPrintf(aDEBUG_LINK, "sync2\n");
      } else {
        sStartSync(in);
      }
      break;
    case kSyncStateByte2:
      if (byte == 0) {
        record->syncState = kSyncStateByte3;
        aDefs_DebugPrintf(aDEBUG_LINK, "sync3\n");
      } else {
        record->syncState = kSyncStateStart;
      }
      break;
    case kSyncStateByte3:
      if (byte == record->syncAddress) {
        record->syncState = kSyncStateByte4;
        aDefs_DebugPrintf(aDEBUG_LINK, "sync4\n");
      } else {
        record->syncState = kSyncStateStart;
      }
      break;
    case kSyncStateByte4:
      if (byte == 0) {
        record->syncState = kSyncStateNone;
        record->status = kLinkRunning;
        aDefs_DebugPrintf(aDEBUG_LINK, "synced\n");
      } else {
        record->syncState = kSyncStateStart;
      }
      break;
    default:
      aDefs_DebugPrintf(aDEBUG_LINK, "sync default\n");
      sStartSync(in);
      break;
  }
}

/* Nothing to read right now. */
void sIdle(sInput* in, sClock::duration waited) {
  aLinkRecord* record = in->record;
  uint32_t status = record->status;
  if (status == kLinkInputError ||
      (status == kLinkSyncing && (record->syncState == kSyncStateNone ||
                                  sClock::now() - in->lastSyncActivity >= kSyncRetry))) {
    sStartSync(in);
  }
  if (waited >= kFastIdle) {
    in->fastIdle = 0;
  } else if (++in->fastIdle > kFastIdleLimit) {
    aTime_MSSleep(1);
  }
}

/* The device's heartbeat (command 0, two data bytes) is answered here, with
 * the value + 2, and not queued for callers. */
bool sHandleHeartbeat(aLinkRecord* record, const aPacket* packet) {
  if (packet->dataSize != 2 || packet->data[0] != 0) return false;
  aDefs_DebugPrintf(aDEBUG_PACKET,
                    " sHandleHBBackChannel(%d) ==> received HB packet [data size = %d][%d,%d]\n",
                    (int)record->linkNumber, packet->dataSize, packet->data[0], packet->data[1]);
  if (record->heartbeatState > 1) return false;
  if (packet->data[1] == 0) {
    record->heartbeatState = kHBSendingUp;
    aDefs_DebugPrintf(aDEBUG_PACKET, " sHandleHBBackChannel(%d) %s\n", (int)record->linkNumber,
                      "sending HB UP");
  } else if (packet->data[1] == 1) {
    record->heartbeatState = kHBSendingDown;
    aDefs_DebugPrintf(aDEBUG_PACKET, " sHandleHBBackChannel(%d) %s\n", (int)record->linkNumber,
                      "sending HB DOWN");
  }
  const uint8_t answer[2] = {0, (uint8_t)(packet->data[1] + 2)};
  aPacket* reply = aPacket_CreateWithData(packet->address, 2, answer);
  if (reply) {
    aPacketFifo_Put(record->outputFifo, reply);
    aPacket_Destroy(&reply);
  }
  record->heartbeatState = kHBIdle;
  return true;
}

/* A complete packet: the user filter, the heartbeat, or the input FIFO.
 * False when the FIFO refused it. */
bool sHandlePacket(aLinkRecord* record) {
  const aPacket* packet = record->packet;
  sDebugPacket("sHandlePacket", record->linkNumber, packet);
  bool consumed = false;
  aMutex_Lock(record->filterMutex);
  if (record->userFilter) consumed = record->userFilter(packet, record->userFilterReference);
  aMutex_Unlock(record->filterMutex);
  if (consumed || sHandleHeartbeat(record, packet)) return true;
  return aPacketFifo_Put(record->inputFifo, packet) == aErrNone;
}

void sPacketByte(sInput* in, uint8_t byte) {
  aLinkRecord* record = in->record;
  aErr err = aPacket_AddByte(record->packet, byte);
  /* Module addresses are even: an odd address byte means the engine has lost
   * its place in the byte stream, as does a byte the assembler refuses. */
  if (err != aErrNone || (record->packet->fillCount == 1 && (byte & 1))) {
    aDefs_DebugPrintf(aDEBUG_LINK, "Out of sync\n");
    sStartSync(in);
    return;
  }
  if (!aPacket_IsComplete(record->packet)) return;
  if (!sHandlePacket(record)) record->status = kLinkPacketError;
  aPacket_Reset(record->packet);
}

aErr sWritePacket(aStreamRef stream, const aPacket* packet) {
  uint8_t bytes[aPACKET_MAX_BYTES];
  size_t length = 0;
  aErr err = aPacket_GetBytes(packet, bytes, sizeof bytes, &length);
  if (err == aErrNone) err = aStream_Write(stream, bytes, length);
  return err;
}

/* The route request a stop queues (after setting kLinkStopping): once it is
 * written, the output thread winds down at once instead of waiting out its
 * slice. */
bool sIsStopRoute(const aLinkRecord* record, const aPacket* packet) {
  return packet->address == aLINK_ROUTE_ADDRESS && packet->dataSize == 1 &&
         packet->data[0] == 0 && record->status == kLinkStopping;
}

/* Combines the awaited packet with whatever else is queued, up to one buffer,
 * and writes them with one call; packets are never split across writes. */
aErr sWritePooled(aLinkRecord* record, const aPacket* first, bool* stopRoute) {
  uint8_t pool[aLINK_POOL_SIZE];
  size_t used = 0;
  aErr err = aPacket_GetBytes(first, pool, sizeof pool, &used);
  if (err != aErrNone) return err;
  while (used <= aLINK_POOL_FILL) {
    aPacket* next = aPacketFifo_Get(record->outputFifo);
    if (!next) break;
    size_t length = 0;
    if (aPacket_GetBytes(next, pool + used, sizeof pool - used, &length) == aErrNone) {
      used += length;
    }
    if (sIsStopRoute(record, next)) *stopRoute = true;
    aPacket_Destroy(&next);
  }
  return aStream_Write(record->stream, pool, used);
}

}  // namespace

extern "C" {

void* _aLink_InputThread(void* argument) {
  sInput in{static_cast<aLinkRecord*>(argument), sClock::now(), sClock::now(), false, 0};
  aLinkRecord* record = in.record;
  record->heartbeatState = kHBIdle;
  record->syncAddress = 1;
  record->inputStarted = true;
  record->status = kLinkRunning;
  record->syncState = kSyncStateNone;
  aDefs_DebugPrintf(aDEBUG_LINK, " sInPipeProcess(%d) -- syncing\n", (int)record->linkNumber);
  while (record->running) {
    uint8_t byte = 0;
    const auto before = sClock::now();
    aErr err = aStream_Read(record->stream, &byte, 1);
    if (!record->running) break;
    if (err == aErrNotReady) {
      sIdle(&in, sClock::now() - before);
      continue;
    }
    in.fastIdle = 0;
    if (err != aErrNone) {
      record->status = kLinkInputError;
      aDefs_DebugPrintf(aDEBUG_LINK, " sInPipeProcess(%d) IO_ERROR [aStream_Read()==>%d]\n",
                        (int)record->linkNumber, (int)err);
      aTime_MSSleep(100);
    } else if (record->status == kLinkSyncing) {
      sSyncByte(&in, byte);
    } else {
      sPacketByte(&in, byte);
    }
  }
  aDefs_DebugPrintf(aDEBUG_LINK, " sInPipeProcess(%d) terminating\n", (int)record->linkNumber);
  return nullptr;
}

void* _aLink_OutputThread(void* argument) {
  aLinkRecord* record = static_cast<aLinkRecord*>(argument);
  record->outputStarted = true;
  while (record->running) {
    aPacket* packet = aPacketFifo_Await(record->outputFifo, kOutputSlice);
    if (!packet) continue;
    sDebugPacket("sOutPipeProcess", record->linkNumber, packet);
    bool stopRoute = sIsStopRoute(record, packet);
    if (record->pooled) {
      aErr err = sWritePooled(record, packet, &stopRoute);
      if (err != aErrNone) {
        aDefs_DebugPrintf(aDEBUG_LINK, "sOutPipeProcess error writing pooled: %d\n", (int)err);
      }
    } else {
      aErr err = sWritePacket(record->stream, packet);
      if (err != aErrNone) {
        aDefs_DebugPrintf(aDEBUG_LINK, "sOutPipeProcess error writing: %d\n", (int)err);
      }
    }
    aPacket_Destroy(&packet);
    if (stopRoute) break;
  }
  /* Winding down: what is still queued (the route request of the stop among
   * it) leaves one packet per write. After a failed write the rest is
   * dropped, so that a stream that no longer takes bytes cannot hold up the
   * stop for every queued packet. */
  bool writing = true;
  while (aPacket* packet = aPacketFifo_Get(record->outputFifo)) {
    if (writing && sWritePacket(record->stream, packet) != aErrNone) writing = false;
    aPacket_Destroy(&packet);
  }
  aDefs_DebugPrintf(aDEBUG_LINK, " sOutPipeProcess(%d) terminating\n", (int)record->linkNumber);
  return nullptr;
}

}  /* extern "C" */
