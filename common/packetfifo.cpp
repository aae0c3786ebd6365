#include "packetfifo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>

namespace {

using Clock = std::chrono::steady_clock;

struct aPacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, aPacketDeleter>;

struct SerialPacket {
  int64_t sequence;
  PacketPtr packet;
};

struct packetFifo {
  std::deque<SerialPacket> queue;
  std::condition_variable changed;
  std::mutex mutex;
  std::atomic<bool> alive{true};
  // Sequence number of the front packet, or of the next packet when empty.
  std::atomic<int64_t> windowStart{0};
  std::atomic<int64_t> nextSequence{0};

  // Callers hold `mutex`.
  void syncWindow() {
    windowStart = queue.empty() ? nextSequence.load() : queue.front().sequence;
  }
  void clearAndSyncWindow() {
    queue.clear();
    syncWindow();
  }
};

using FifoRef = std::shared_ptr<packetFifo>;

// Process-wide state. Allocated once and never freed, so that FIFOs
// destroyed from static destructors of other modules still find it.
struct Registry {
  std::mutex mutex;
  std::map<aPacketFifoId, FifoRef> fifos;
};

std::atomic<aPacketFifoId> gpSequentialId{1};

Registry& sRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

// Finds a FIFO and takes a reference to it; the dictionary lock is released
// before the caller locks the FIFO.
FifoRef sLookup(aPacketFifoId fifo) {
  if (fifo == 0) return nullptr;
  Registry& registry = sRegistry();
  try {
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto found = registry.fifos.find(fifo);
    return found == registry.fifos.end() ? nullptr : found->second;
  } catch (...) {
    return nullptr;
  }
}

bool sAccepts(aPacketFifoProc proc, const aPacket* packet, void* ref) {
  return proc == nullptr || proc(packet, ref);
}

// Takes the packet at `position` out of the queue (caller holds the lock).
aPacket* sTake(packetFifo& queue, std::deque<SerialPacket>::iterator position) {
  aPacket* packet = position->packet.release();
  queue.queue.erase(position);
  queue.syncWindow();
  return packet;
}

// Offers the caller's proc every packet newer than `lastExamined`, oldest
// first; returns the first accepted one, or end().
std::deque<SerialPacket>::iterator sSearch(packetFifo& queue, int64_t& lastExamined,
                                           aPacketFifoProc proc, void* ref) {
  for (auto it = queue.queue.begin(); it != queue.queue.end(); ++it) {
    if (it->sequence <= lastExamined) continue;
    lastExamined = it->sequence;
    if (sAccepts(proc, it->packet.get(), ref)) return it;
  }
  return queue.queue.end();
}

Clock::time_point sDeadline(uint32_t timeoutMs) {
  return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

}  // namespace

extern "C" aPacketFifoId aPacketFifo_Create(void) {
  try {
    FifoRef queue = std::make_shared<packetFifo>();
    aPacketFifoId number = gpSequentialId.fetch_add(1);
    if (number == 0) number = gpSequentialId.fetch_add(1);
    Registry& registry = sRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.fifos.emplace(number, std::move(queue));
    return number;
  } catch (...) {
    return 0;
  }
}

extern "C" aErr aPacketFifo_Destroy(aPacketFifoId* fifo) {
  if (!fifo) return aErrParam;
  FifoRef queue;
  Registry& registry = sRegistry();
  try {
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto found = registry.fifos.find(*fifo);
    if (found == registry.fifos.end()) return aErrNotFound;
    queue = std::move(found->second);
    registry.fifos.erase(found);
  } catch (...) {
    return aErrUnknown;
  }
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->clearAndSyncWindow();
    queue->alive = false;
  }
  queue->changed.notify_all();
  *fifo = 0;
  return aErrNone;
}

extern "C" aErr aPacketFifo_Put(aPacketFifoId fifo, const aPacket* packet) {
  FifoRef queue = sLookup(fifo);
  if (!queue || !aVALIDPACKET(packet)) return aErrParam;
  PacketPtr copy(aPacket_Copy(packet));
  if (!copy) return aErrParam;
  bool overflowed = false;
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    if (!queue->alive) return aErrParam;
    try {
      queue->queue.push_back(SerialPacket{queue->nextSequence.load(), std::move(copy)});
    } catch (...) {
      return aErrResource;
    }
    queue->nextSequence++;
    queue->syncWindow();
    if (queue->queue.size() > aPACKETFIFO_CAPACITY) {
      queue->clearAndSyncWindow();
      overflowed = true;
    }
  }
  if (!overflowed) queue->changed.notify_all();
  return aErrNone;
}

extern "C" size_t aPacketFifo_GetLength(aPacketFifoId fifo) {
  FifoRef queue = sLookup(fifo);
  if (!queue) return 0;
  std::lock_guard<std::mutex> lock(queue->mutex);
  return queue->queue.size();
}

extern "C" aPacket* aPacketFifo_Get(aPacketFifoId fifo) {
  FifoRef queue = sLookup(fifo);
  if (!queue) return NULL;
  std::lock_guard<std::mutex> lock(queue->mutex);
  if (queue->queue.empty()) return NULL;
  return sTake(*queue, queue->queue.begin());
}

extern "C" aPacket* aPacketFifo_Await(aPacketFifoId fifo, uint32_t timeoutMs) {
  const Clock::time_point deadline = sDeadline(timeoutMs);
  FifoRef queue = sLookup(fifo);
  if (!queue) return NULL;
  std::unique_lock<std::mutex> lock(queue->mutex);
  queue->changed.wait_until(lock, deadline,
                            [&] { return !queue->queue.empty() || !queue->alive; });
  if (!queue->alive || queue->queue.empty()) return NULL;
  return sTake(*queue, queue->queue.begin());
}

extern "C" aPacket* aPacketFifo_GetFirst(aPacketFifoId fifo, aPacketFifoProc proc,
                                         void* ref) {
  FifoRef queue = sLookup(fifo);
  if (!queue) return NULL;
  std::lock_guard<std::mutex> lock(queue->mutex);
  int64_t lastExamined = queue->windowStart - 1;
  auto found = sSearch(*queue, lastExamined, proc, ref);
  return found == queue->queue.end() ? NULL : sTake(*queue, found);
}

extern "C" aPacket* aPacketFifo_AwaitFirst(aPacketFifoId fifo, aPacketFifoProc proc,
                                           void* ref, uint32_t timeoutMs) {
  const Clock::time_point deadline = sDeadline(timeoutMs);
  FifoRef queue = sLookup(fifo);
  if (!queue) return NULL;
  std::unique_lock<std::mutex> lock(queue->mutex);
  // Sequence numbers only grow, so everything at or below this number has
  // already been offered to the proc by this call.
  int64_t lastExamined = queue->windowStart - 1;
  for (;;) {
    if (!queue->alive) return NULL;
    auto found = sSearch(*queue, lastExamined, proc, ref);
    if (found != queue->queue.end()) return sTake(*queue, found);
    if (Clock::now() >= deadline) return NULL;
    // Wake for a packet newer than the last one examined, or for destruction.
    queue->changed.wait_until(lock, deadline, [&] {
      return !queue->alive || (!queue->queue.empty() && queue->queue.back().sequence > lastExamined);
    });
  }
}

extern "C" size_t aPacketFifo_DrainPackets(aPacketFifoId fifo, aPacketFifoProc proc,
                                           void* ref) {
  FifoRef queue = sLookup(fifo);
  if (!queue) return 0;
  std::lock_guard<std::mutex> lock(queue->mutex);
  std::deque<SerialPacket>& entries = queue->queue;
  const size_t before = entries.size();
  // Compact in place (moves only, no allocation): kept packets slide towards
  // the front in their order, accepted ones are freed.
  size_t kept = 0;
  for (size_t i = 0; i < before; ++i) {
    if (sAccepts(proc, entries[i].packet.get(), ref)) {
      entries[i].packet.reset();
    } else {
      if (kept != i) entries[kept] = std::move(entries[i]);
      ++kept;
    }
  }
  entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(kept), entries.end());
  queue->syncWindow();
  return before - queue->queue.size();
}
