#include "aUEI.h"

#include <string.h>

extern "C" void aUEI_StoreShort(uint8_t* buffer, uint16_t value) {
  if (!buffer) return;
  buffer[0] = static_cast<uint8_t>(value >> 8);
  buffer[1] = static_cast<uint8_t>(value);
}

extern "C" void aUEI_StoreInt(uint8_t* buffer, uint32_t value) {
  if (!buffer) return;
  buffer[0] = static_cast<uint8_t>(value >> 24);
  buffer[1] = static_cast<uint8_t>(value >> 16);
  buffer[2] = static_cast<uint8_t>(value >> 8);
  buffer[3] = static_cast<uint8_t>(value);
}

extern "C" int16_t aUEI_RetrieveShort(const uint8_t* buffer) {
  if (!buffer) return 0;
  return static_cast<int16_t>(static_cast<uint16_t>((buffer[0] << 8) | buffer[1]));
}

extern "C" int32_t aUEI_RetrieveInt(const uint8_t* buffer) {
  if (!buffer) return 0;
  const uint32_t value = (static_cast<uint32_t>(buffer[0]) << 24) |
                         (static_cast<uint32_t>(buffer[1]) << 16) |
                         (static_cast<uint32_t>(buffer[2]) << 8) | buffer[3];
  return static_cast<int32_t>(value);
}

extern "C" void aUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
  if (!words) return;
  for (size_t i = 0; i < count; ++i) {
    uint8_t bytes[4];
    memcpy(bytes, &words[i], sizeof bytes);
    words[i] = static_cast<uint32_t>(aUEI_RetrieveInt(bytes));
  }
}

namespace {

// The trailing byte of a byte-block packet; a packet without data (or with a
// refused length) has none.
bool sTrailingByte(const aPacket* packet, uint8_t* byte) {
  if (!packet || packet->dataSize == 0 || packet->dataSize > aPACKET_MAX_DATA) return false;
  *byte = packet->data[packet->dataSize - 1];
  return true;
}

bool sIsNotUEICommand(uint8_t command) {
  switch (command) {
    case 0: case 1: case 2: case 4: case 8: case 9: case 23: case 24:
    case 73: case 94: case 95: case 173: case 175:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" uint8_t aUEI_getBytesSequence(const aPacket* packet) {
  uint8_t byte = 0;
  return sTrailingByte(packet, &byte) ? static_cast<uint8_t>(byte & aUEI_BLOCK_SEQUENCE) : 0;
}

extern "C" bool aUEI_getBytesContinue(const aPacket* packet) {
  uint8_t byte = 0;
  return sTrailingByte(packet, &byte) && (byte & aUEI_BLOCK_CONTINUE) != 0;
}

extern "C" bool aUEI_getBytesFullPacket(const aPacket* packet) {
  return packet && (packet->dataSize == 27 || packet->dataSize == 28);
}

extern "C" bool aUEI_isNotUEIPayload(const aPacket* packet) {
  if (!packet) return false;
  return packet->dataSize == 0 || sIsNotUEICommand(packet->data[0]);
}

extern "C" bool aUEI_isUEIPayload(const aPacket* packet) {
  return !aUEI_isNotUEIPayload(packet);
}

extern "C" bool aUEI_isStreamPacket(const aPacket* packet) {
  return packet && packet->dataSize > 4 && aUEI_isUEIPayload(packet) &&
         (packet->data[1] & 0xC0) == 0 && (packet->data[2] & aUEI_INDEX_STREAM) != 0;
}
