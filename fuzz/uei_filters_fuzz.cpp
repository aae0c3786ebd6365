// The object layer's reply filters over arbitrary packets: the plain UEI
// reply filter and the byte-block filter, which copies payloads into the
// caller's buffer and must never write past its capacity.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Entity.h"
#include "Link.h"

using namespace Ostrevan::Quillomat;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  // The first bytes choose the key the filters look for and the capacity.
  uei key;
  key.module = data[0] & 0xFE;
  key.command = data[1];
  key.option = data[2];
  key.specifier = data[3] & 0x1F;
  size_t capacity = size > 4 ? data[4] : 0;
  data += 5 < size ? 5 : size;
  size = size > 5 ? size - 5 : 0;

  uint8_t buffer[256];
  std::memset(buffer, 0xA5, sizeof buffer);
  size_t count = 0;
  uei block = key;
  block.type = ueiTypeBytes;
  block.bytes.data = buffer;
  block.bytes.length = capacity;
  block.bytes.count = &count;

  // The rest is a sequence of packets: a length byte, then that many data
  // bytes (cut to what is left), sent from the key's module.
  while (size > 0) {
    uint8_t length = data[0] % (aPACKET_MAX_DATA + 1);
    ++data;
    --size;
    if (length > size) length = static_cast<uint8_t>(size);
    aPacket* packet = aPacket_CreateWithData(key.module ? key.module : 2, length, data);
    data += length;
    size -= length;
    if (!packet) continue;
    uei reply = key;
    sUEIFilter(packet, &reply);
    if (sUEIBytesFilter(packet, &block)) {
      if (count > capacity) __builtin_trap();
      if (!block.bytes.continued) block.bytes.sequence = 0;
      else block.bytes.sequence = static_cast<uint8_t>((block.bytes.sequence + 1) & 0x7F);
      block.specifier = key.specifier;
    }
    aPacket_Destroy(&packet);
  }
  for (size_t i = capacity; i < sizeof buffer; ++i)
    if (buffer[i] != 0xA5) __builtin_trap();
  return 0;
}
