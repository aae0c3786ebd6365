// The link engine's input thread over arbitrary device bytes: a link over a
// caller's stream that hands out the input, then reports "nothing yet". The
// first byte chooses options: bit 0 pooled output, bit 1 a user filter that
// consumes packets with an odd first data byte, bit 2 a read error after
// the input.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "aLink.h"

namespace {

struct Source {
  const uint8_t* data;
  size_t size;
  std::atomic<size_t> at{0};
  std::atomic<bool> released{false};  // the input flows once the link is up
  std::atomic<bool> drained{false};
  bool failAtEnd;
};

aErr sGet(uint8_t* byte, void* ref) {
  auto* s = static_cast<Source*>(ref);
  if (!s->released) return aErrNotReady;
  size_t at = s->at.load();
  if (at < s->size) {
    *byte = s->data[at];
    s->at = at + 1;
    return aErrNone;
  }
  bool first = !s->drained.exchange(true);
  return first && s->failAtEnd ? aErrIO : aErrNotReady;
}

aErr sWrite(const uint8_t*, size_t, void*) { return aErrNone; }
aErr sPut(const uint8_t*, void*) { return aErrNone; }

bool sOddFirstByte(const aPacket* packet, void*) {
  return packet->dataSize > 0 && (packet->data[0] & 1);
}

bool sAll(const aPacket*, void*) { return true; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t options = data[0];
  Source source;
  source.data = data + 1;
  source.size = size - 1;
  source.failAtEnd = options & 4;
  aStreamRef stream = aStream_Create(sGet, sPut, sWrite, nullptr, &source);
  if (!stream) return 0;
  aLinkRef link = aLink_Create(stream);
  if (!link) return 0;
  if (options & 1) aLink_EnablePooledPackets(link, true);
  if (options & 2) aLink_InstallUserPacketFilter(link, sOddFirstByte, nullptr);
  source.released = true;
  while (!source.drained) {
    if (aPacket* packet = aLink_GetPacket(link)) aPacket_Destroy(&packet);
    std::this_thread::yield();
  }
  aLink_DrainPackets(link, sAll, nullptr);
  aLink_Destroy(&link);
  return 0;
}
