/* The link engine: creation and sharing of links, their life cycle, and the
 * packet calls. The link table and the two threads of a running link are in
 * aLinkManagerInternal.cpp. */
#include "aLink.h"

#include <chrono>
#include <cstdio>

#include "aDefs.h"
#include "aLinkManagerInternal.h"
#include "aStreamsocket.h"
#include "unix_streamserial.h"
#include "unix_streamusb.h"
#include "unix_time.h"

namespace {

/* Polls of aLink_Start and aLink_Sync: every 10 ms, at most 200 times. */
constexpr int kPollInterval = 10;
constexpr int kPollCount = 200;
/* aLink_ResetLink: stream attempts, 100 ms apart. */
constexpr int kResetTries = 20;
constexpr int kResetDelay = 100;

const uint32_t kBaudRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

bool sAcceptAll(const aPacket*, void*) { return true; }

/* Takes out an entry whose creation failed, with whatever its record holds. */
void sDiscard(aLinkRef link) {
  aLinkEntry* entry = _aLinkTable_Remove(link);
  if (!entry) return;
  if (entry->record) {
    aLink_Stop(entry->record);
    _aLinkRecord_Release(entry->record);
    delete entry->record;
  }
  delete entry;
}

/* Init (the link owns `stream` from here), first use, start. False after a
 * failure, which has released the entry and the stream. */
bool sInitAndStart(aLinkRef link, aStreamRef stream) {
  if (aLink_Init(link, stream) != link) {
    aStream_Destroy(&stream);
    sDiscard(link);
    return false;
  }
  _aLinkTable_ChangeUseCount(link, 1, nullptr);
  if (aLink_Start(link) != aErrNone) {
    sDiscard(link);
    return false;
  }
  return true;
}

aErr sMakeStream(const aLinkEntry& entry, aStreamRef* stream) {
  *stream = nullptr;
  switch (entry.kind) {
    case kLinkKindUSB:
      return aStream_CreateUSB(entry.identifier0, stream);
    case kLinkKindTCPIP:
      return aStream_CreateSocket(entry.identifier1, (uint16_t)entry.identifier2, stream);
    default:
      return aErrParam;
  }
}

}  // namespace

extern "C" {

aLinkRef aLink_Init(aLinkRef link, aStreamRef stream) {
  aLinkRecord* record = _aLinkTable_FindRecord(link);
  if (!record || record->running) return 0;
  /* A record filled before (a reset) gives back what it held first. */
  if (record->check == aLINK_CHECK) {
    if (record->stream == stream) record->stream = nullptr;
    _aLinkRecord_Release(record);
  }
  char name[64];
  std::snprintf(name, sizeof name, "aLink(%p)->userFilterSema", (void*)record);
  record->linkNumber = link;
  record->running = false;
  record->status = stream ? kLinkStopped : kLinkNoStream;
  record->inputFifo = aPacketFifo_Create();
  record->outputFifo = aPacketFifo_Create();
  record->packet = aPacket_Create();
  record->inputThread = nullptr;
  record->outputThread = nullptr;
  record->inputProc = _aLink_InputThread;
  record->outputProc = _aLink_OutputThread;
  record->inputStarted = false;
  record->outputStarted = false;
  record->heartbeatState = kHBIdle;
  record->syncState = kSyncStateNone;
  record->syncAddress = 0;
  record->packetLog = nullptr;
  record->packetLogSize = 0;
  record->logMutex = nullptr;
  record->userFilter = nullptr;
  record->userFilterReference = nullptr;
  record->filterMutex = aMutex_Create(name);
  record->pooled = false;
  if (!record->inputFifo || !record->outputFifo || !record->packet || !record->filterMutex) {
    _aLinkRecord_Release(record);
    return 0;
  }
  record->stream = stream;
  record->check = aLINK_CHECK;
  return link;
}

aErr aLink_Start(aLinkRef link) {
  aLinkRecord* record = _aLinkTable_FindRecord(link);
  if (!record) return aErrParam;
  aDefs_DebugPrintf(aDEBUG_LINK, " aLink_Start(%d)\n", (int)link);
  if (record->running) return aErrNone;
  record->running = true;
  record->status = kLinkStarting;
  record->heartbeatState = kHBIdle;
  record->inputStarted = false;
  record->outputStarted = false;
  aErr err = aErrNone;
  record->inputThread = aThread_Create(record->inputProc, record);
  if (record->inputThread) record->outputThread = aThread_Create(record->outputProc, record);
  if (!record->inputThread || !record->outputThread) {
    /* Wind down the thread that did start, so nothing runs unseen. */
    record->running = false;
    if (record->inputThread) aThread_Destroy(&record->inputThread);
    record->inputStarted = false;
    record->status = kLinkStopped;
    err = aErrResource;
  } else {
    int polls = 0;
    while (!(record->inputStarted && record->outputStarted &&
             record->status == kLinkRunning) && polls++ < kPollCount) {
      aTime_MSSleep(kPollInterval);
    }
    err = polls > kPollCount ? aErrIndexRange : aLink_ForceRoute(link, true);
  }
  aDefs_DebugPrintf(aDEBUG_LINK, " leaving aLink_Start(%d)==> error: %d\n", (int)link, (int)err);
  return err;
}

aErr aLink_Stop(aLinkRecord* record) {
  if (!record) return aErrParam;
  aDefs_DebugPrintf(aDEBUG_LINK, " aLink_Stop(%d)\n", (int)record->linkNumber);
  uint32_t status = record->status;
  if (status == kLinkStopped || status == kLinkStopping) return aErrNone;
  if (!record->inputThread || !record->outputThread) return aErrNone;
  record->status = kLinkStopping;
  aErr err = aErrNone;
  uint8_t flag = 0;
  aPacket* route = aPacket_CreateWithData(aLINK_ROUTE_ADDRESS, 1, &flag);
  if (route) {
    aPacketFifo_Put(record->outputFifo, route);
    aPacket_Destroy(&route);
  }
  record->running = false;
  if (aThread_Destroy(&record->inputThread) != 0) err = aErrUnknown;
  if (aThread_Destroy(&record->outputThread) != 0) err = aErrUnknown;
  record->inputStarted = false;
  record->outputStarted = false;
  aPacket_Reset(record->packet);
  record->status = kLinkStopped;
  record->heartbeatState = kHBIdle;
  aDefs_DebugPrintf(aDEBUG_LINK, " leaving aLink_Stop(%d)==>%d\n", (int)record->linkNumber,
                    (int)err);
  return err;
}

aErr aLink_Sync(aLinkRef link) {
  aLinkRecord* record = _aLinkTable_FindRecord(link);
  if (!record) return aErrParam;
  aDefs_DebugPrintf(aDEBUG_LINK, " aLink_Sync(%d)\n", (int)link);
  record->status = kLinkSyncing;
  int polls = 0;
  while (record->status != kLinkRunning && polls++ < kPollCount) aTime_MSSleep(kPollInterval);
  aErr err = record->status == kLinkRunning ? aErrNone : aErrNotReady;
  /* Requests still queued and answers to the surplus requests are noise now. */
  aPacketFifo_DrainPackets(record->outputFifo, sAcceptAll, nullptr);
  aTime_MSSleep(100);
  aPacketFifo_DrainPackets(record->inputFifo, sAcceptAll, nullptr);
  return err;
}

aErr aLink_ResetLink(aLinkEntry* entry) {
  if (!entry || !entry->record) return aErrParam;
  /* Only USB and TCP/IP links know how to make their stream again. */
  if (entry->kind != kLinkKindUSB && entry->kind != kLinkKindTCPIP) return aErrParam;
  aLinkRecord* record = entry->record;
  aErr err = aLink_Stop(record);
  aPacketFifoId fifo = record->inputFifo.exchange(0);
  aPacketFifo_Destroy(&fifo);
  fifo = record->outputFifo.exchange(0);
  aPacketFifo_Destroy(&fifo);
  aStream_Destroy(&record->stream);
  aStreamRef stream = nullptr;
  for (int attempt = 0; attempt < kResetTries; attempt++) {
    err = sMakeStream(*entry, &stream);
    if (err == aErrNone) break;
    aTime_MSSleep(kResetDelay);
  }
  if (!stream) {
    /* The link stays, without stream and stopped, for the caller to destroy
     * or to reset again later. */
    aLink_Init(entry->linkNumber, nullptr);
    return err;
  }
  if (aLink_Init(entry->linkNumber, stream) != entry->linkNumber) {
    aStream_Destroy(&stream);
    return aErrResource;
  }
  return aLink_Start(entry->linkNumber);
}

aErr aLink_Reset(aLinkRef link) {
  aLinkEntry entry;
  if (!_aLinkTable_GetEntry(link, &entry) || !entry.record) return aErrParam;
  return aLink_ResetLink(&entry);
}

aErr aLink_Destroy(aLinkRef* link) {
  if (!link) return aErrParam;
  aLinkRef number = *link;
  *link = 0;
  aDefs_DebugPrintf(aDEBUG_LINK, "aLink_Destroy(%d)\n", (int)number);
  bool found = false;
  aLinkEntry* entry = _aLinkTable_Release(number, &found);
  if (!found) return aErrParam;
  if (!entry) return aErrNone;
  aDefs_DebugPrintf(aDEBUG_LINK, "aLink_Destroy(%d) destroy link item\n", (int)number);
  aLinkRecord* record = entry->record;
  if (!record) {
    delete entry;
    return aErrUnknown;
  }
  if (record->filterMutex) {
    aMutex_Lock(record->filterMutex);
    record->userFilter = nullptr;
    record->userFilterReference = nullptr;
    aMutex_Unlock(record->filterMutex);
  }
  aLink_Stop(record);
  if (entry->servedLink) {
    aLinkRef served = entry->servedLink;
    aLink_Destroy(&served);
  }
  aPacketFifoId fifo = record->inputFifo.exchange(0);
  if (fifo) aPacketFifo_Destroy(&fifo);
  fifo = record->outputFifo.exchange(0);
  aErr err = fifo ? aPacketFifo_Destroy(&fifo) : aErrNone;
  _aLinkRecord_Release(record);
  delete record;
  delete entry;
  return err;
}

uint32_t aLink_GetStatus(aLinkRef link) {
  aLinkSnapshot snapshot;
  return _aLinkTable_Snapshot(link, &snapshot) ? snapshot.status : (uint32_t)kLinkNoStream;
}

aErr aLink_ForceRoute(aLinkRef link, bool flag) {
  aLinkEntry entry;
  if (!_aLinkTable_GetEntry(link, &entry)) return aErrNotFound;
  aLinkSnapshot snapshot;
  if (!entry.record || !_aLinkTable_Snapshot(link, &snapshot)) return aErrParam;
  uint8_t data = flag ? 1 : 0;
  aPacket* route = aPacket_CreateWithData(aLINK_ROUTE_ADDRESS, 1, &data);
  if (!route) return aErrMemory;
  aErr err = aPacketFifo_Put(snapshot.outputFifo, route);
  aPacket_Destroy(&route);
  return err;
}

/* --- Creation --- */

aLinkRef aLink_CreateUSB(uint32_t serialNumber) {
  bool refused = false;
  aLinkRef shared = _aLinkTable_Share(kLinkKindUSB, serialNumber, 0, 0, true, &refused);
  if (refused) {
    aDefs_DebugPrintf(aDEBUG_LINK, "aLink_CreateUSB: link to %08X is served by a broker\n",
                      serialNumber);
    return 0;
  }
  if (shared) return shared;
  aLinkEntry* entry = _aLinkTable_Add(kLinkKindUSB, serialNumber, 0, 0);
  if (!entry) return 0;
  aLinkRef link = entry->linkNumber;
  aStreamRef stream = nullptr;
  if (aStream_CreateUSB(serialNumber, &stream) != aErrNone) {
    sDiscard(link);
    return 0;
  }
  if (!sInitAndStart(link, stream)) return 0;
  if (aLink_Sync(link) != aErrNone) {
    sDiscard(link);
    return 0;
  }
  return link;
}

aLinkRef aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port) {
  bool refused = false;
  aLinkRef shared =
      _aLinkTable_Share(kLinkKindTCPIP, serialNumber, address, port, true, &refused);
  if (refused) {
    aDefs_DebugPrintf(aDEBUG_LINK, "aLink_CreateTCPIP: link to %08X is served by a broker\n",
                      serialNumber);
    return 0;
  }
  if (shared) return shared;
  aLinkEntry* entry = _aLinkTable_Add(kLinkKindTCPIP, serialNumber, address, port);
  if (!entry) return 0;
  aLinkRef link = entry->linkNumber;
  aStreamRef stream = nullptr;
  if (aStream_CreateSocket(address, port, &stream) != aErrNone) {
    sDiscard(link);
    return 0;
  }
  return sInitAndStart(link, stream) ? link : 0;
}

aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate) {
  int index = -1;
  for (int i = 0; i < (int)(sizeof kBaudRates / sizeof kBaudRates[0]); i++) {
    if (kBaudRates[i] == baudRate) index = i;
  }
  if (index < 0 || !portName) return 0;
  aLinkRef shared = _aLinkTable_Share(kLinkKindSerial, serialNumber, 0, 0, false, nullptr);
  if (shared) return shared;
  aLinkEntry* entry = _aLinkTable_Add(kLinkKindSerial, serialNumber, 0, 0);
  if (!entry) return 0;
  aLinkRef link = entry->linkNumber;
  aStreamRef stream = nullptr;
  /* 8 data bits, no parity, one stop bit. */
  if (aStream_CreateSerial_Packetized(portName, (uint32_t)index, false, 0, 0, &stream) !=
      aErrNone) {
    sDiscard(link);
    return 0;
  }
  return sInitAndStart(link, stream) ? link : 0;
}

aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef reference) {
  (void)address;
  (void)port;
  if (reference) {
    if (!_aLinkTable_ChangeUseCount(reference, 1, nullptr)) {
      aDefs_DebugPrintf(aDEBUG_LINK, "The provided ref is invalid.\n");
      return 0;
    }
    return reference;
  }
  /* A new broker client needs the broker client stream, which this build of
   * the library does not include. */
  return 0;
}

aLinkRef aLink_CreateServer(aLinkRef link, uint16_t* outPort, uint32_t* interfaceAddress,
                            bool localOnly) {
  (void)localOnly;
  if (!outPort || !interfaceAddress || link == 0 || !_aLinkTable_GetEntry(link, nullptr)) {
    return 0;
  }
  /* The network broker is not part of this build of the library. */
  aDefs_DebugPrintf(aDEBUG_SERVER, "Failed to create server\n");
  return 0;
}

aLinkRef aLink_Create(aStreamRef stream) {
  aLinkEntry* entry = _aLinkTable_Add(kLinkKindStream, 0xFFFFFFFFu, 0, 0);
  if (!entry) {
    aStream_Destroy(&stream);
    return 0;
  }
  aLinkRef link = entry->linkNumber;
  return sInitAndStart(link, stream) ? link : 0;
}

/* --- Packets --- */

aErr aLink_PutPacket(aLinkRef link, const aPacket* packet) {
  aLinkSnapshot snapshot;
  if (!_aLinkTable_Snapshot(link, &snapshot)) return aErrParam;
  return aPacketFifo_Put(snapshot.outputFifo, packet);
}

aPacket* aLink_GetPacket(aLinkRef link) {
  aLinkSnapshot snapshot;
  if (!_aLinkTable_Snapshot(link, &snapshot)) return nullptr;
  return aPacketFifo_Get(snapshot.inputFifo);
}

aPacket* aLink_AwaitPacket(aLinkRef link, uint32_t timeoutMs) {
  aLinkSnapshot snapshot;
  if (!_aLinkTable_Snapshot(link, &snapshot)) return nullptr;
  return aPacketFifo_Await(snapshot.inputFifo, timeoutMs);
}

aPacket* aLink_GetFirst(aLinkRef link, aPacketFifoProc proc, void* reference) {
  aLinkSnapshot snapshot;
  if (!_aLinkTable_Snapshot(link, &snapshot)) return nullptr;
  return aPacketFifo_GetFirst(snapshot.inputFifo, proc, reference);
}

aPacket* aLink_AwaitFirst(aLinkRef link, aPacketFifoProc proc, void* reference,
                          uint32_t timeoutMs) {
  /* Measured on the monotonic clock, so a change of the system time does not
   * stretch or cut the wait. */
  const auto start = std::chrono::steady_clock::now();
  aPacket* found = nullptr;
  bool first = true;
  for (;;) {
    aLinkSnapshot snapshot;
    if (!_aLinkTable_Snapshot(link, &snapshot) || !snapshot.running ||
        snapshot.status != kLinkRunning) {
      break;
    }
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count();
    if (!first && elapsed >= (long long)timeoutMs) break;
    first = false;
    uint32_t left = elapsed >= (long long)timeoutMs ? 0 : timeoutMs - (uint32_t)elapsed;
    found = aPacketFifo_AwaitFirst(snapshot.inputFifo, proc, reference, left);
    if (found) break;
  }
  return found;
}

size_t aLink_DrainPackets(aLinkRef link, aPacketFifoProc proc, void* reference) {
  aLinkSnapshot snapshot;
  if (!_aLinkTable_Snapshot(link, &snapshot)) return 0;
  return aPacketFifo_DrainPackets(snapshot.inputFifo, proc, reference);
}

aErr aLink_InstallUserPacketFilter(aLinkRef link, aLinkPacketFilter filter, void* reference) {
  aLinkRecord* record = _aLinkTable_FindRecord(link);
  if (!record || !record->filterMutex) return aErrParam;
  aMutex_Lock(record->filterMutex);
  record->userFilter = filter;
  record->userFilterReference = filter ? reference : nullptr;
  aMutex_Unlock(record->filterMutex);
  return aErrNone;
}

aErr aLink_EnablePooledPackets(aLinkRef link, bool enable) {
  aLinkRecord* record = _aLinkTable_FindRecord(link);
  if (!record) return aErrParam;
  record->pooled = enable;
  return aErrNone;
}

/* --- Broker configuration queries --- */

aErr _aLink_GetModuleAddress(aLinkRef link, uint8_t* address) {
  if (!address) return aErrParam;
  aPacket* query = aPacket_CreateWithData(aLINK_SYNC_ADDRESS, 0, (const uint8_t*)"");
  if (!query) return aErrMemory;
  aErr err = aLink_PutPacket(link, query);
  aPacket_Destroy(&query);
  if (err != aErrNone) return err;
  aPacket* reply = aLink_AwaitPacket(link, 1000);
  if (!reply) return aErrTimeout;
  err = reply->dataSize == 0 && reply->address != 0 ? aErrNone : aErrIO;
  if (err == aErrNone) *address = reply->address;
  aPacket_Destroy(&reply);
  return err;
}

aErr _aLink_GetModel(aLinkRef link, uint8_t address, uint8_t* model) {
  if (!model) return aErrParam;
  const uint8_t request[] = {3, 0x48, 0x20};
  aPacket* query = aPacket_CreateWithData(address, sizeof request, request);
  if (!query) return aErrMemory;
  aErr err = aLink_PutPacket(link, query);
  aPacket_Destroy(&query);
  if (err != aErrNone) return err;
  aPacket* reply = aLink_AwaitPacket(link, 1000);
  if (!reply) return aErrTimeout;
  err = reply->dataSize == 4 && reply->address == address && reply->data[0] == 3 ? aErrNone
                                                                                 : aErrIO;
  if (err == aErrNone) *model = reply->data[3];
  aPacket_Destroy(&reply);
  return err;
}

}  /* extern "C" */
