#include "aPacket.h"

#include <stdlib.h>
#include <string.h>

extern "C" const aPacket PACK = {aPACKET_CHECK, 0, 0, 0, {0}};

namespace {

aPacket* sAllocate() {
  aPacket* packet = static_cast<aPacket*>(malloc(sizeof(aPacket)));
  if (packet) *packet = PACK;
  return packet;
}

// A stored length above the limit can only come from a refused length byte;
// such a packet has no valid byte form.
bool sLengthValid(const aPacket* packet) {
  return packet->dataSize <= aPACKET_MAX_DATA;
}

}  // namespace

extern "C" aPacket* aPacket_Create(void) {
  return sAllocate();
}

extern "C" aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length,
                                           const uint8_t* data) {
  if (!data || length > aPACKET_MAX_DATA) return NULL;
  aPacket* packet = sAllocate();
  if (!packet) return NULL;
  packet->address = address;
  packet->dataSize = length;
  packet->fillCount = static_cast<uint8_t>(length + 2);
  memcpy(packet->data, data, length);
  return packet;
}

extern "C" aPacket* aPacket_Copy(const aPacket* packet) {
  if (!aVALIDPACKET(packet)) return NULL;
  aPacket* copy = sAllocate();
  if (copy) *copy = *packet;
  return copy;
}

extern "C" aErr aPacket_Reset(aPacket* packet) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  *packet = PACK;
  return aErrNone;
}

extern "C" aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
  if (!aVALIDPACKET(packet)) return aErrParam;

  // The count saturates instead of wrapping, so a stream that never lets the
  // packet be reset keeps getting overruns rather than writes at positions
  // computed from a wrapped count.
  if (packet->fillCount < UINT8_MAX) packet->fillCount++;
  if (packet->fillCount > aPACKET_MAX_BYTES) return aErrOverrun;

  if (packet->address == 0) {
    if (byte == 0) return aErrPacket;
    // The address is the first byte of the byte form, whatever was refused
    // before it; counting from here keeps refused bytes from standing in for
    // the length byte and completing a packet that never got one.
    packet->address = byte;
    packet->fillCount = 1;
    return aErrNone;
  }

  if (packet->dataSize != 0) {
    // A refused length byte stays stored; nothing after it is a data byte.
    if (!sLengthValid(packet)) return aErrPacket;
    if (packet->fillCount > packet->dataSize + 2 || packet->fillCount < 3)
      return aErrPacket;
    packet->data[packet->fillCount - 3] = byte;
    return aErrNone;
  }

  // A length of 0 is also what a complete empty packet holds: only the byte
  // right after the address is its length byte.
  if (packet->fillCount != 2) return aErrPacket;
  packet->dataSize = byte;
  return byte <= aPACKET_MAX_DATA ? aErrNone : aErrPacket;
}

// Refused bytes count too, so the fill count alone can reach length + 2
// without an address or a length byte having been taken.
extern "C" bool aPacket_IsComplete(const aPacket* packet) {
  return aVALIDPACKET(packet) && packet->address != 0 && sLengthValid(packet) &&
         packet->fillCount == packet->dataSize + 2;
}

extern "C" aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size,
                                 size_t* written) {
  if (!aVALIDPACKET(packet) || !buffer) return aErrParam;
  if (!sLengthValid(packet)) return aErrPacket;
  const size_t total = static_cast<size_t>(packet->dataSize) + 2;
  if (written) *written = total;
  if (size < total) return aErrOverrun;
  buffer[0] = packet->address;
  buffer[1] = packet->dataSize;
  memcpy(buffer + 2, packet->data, packet->dataSize);
  return aErrNone;
}

namespace {

aErr sGetField(const aPacket* packet, uint8_t position, uint8_t mask, uint8_t* out) {
  if (!out) return aErrParam;
  if (!aVALIDPACKET(packet) || packet->dataSize <= position) return aErrPacket;
  *out = packet->data[position] & mask;
  return aErrNone;
}

}  // namespace

extern "C" aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command) {
  return sGetField(packet, 0, 0xFF, command);
}

extern "C" aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
  return sGetField(packet, 1, 0x3F, option);
}

extern "C" aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
  return sGetField(packet, 2, 0x1F, index);
}

extern "C" aErr aPacket_Destroy(aPacket** packet) {
  if (!packet || !aVALIDPACKET(*packet)) return aErrParam;
  (*packet)->check = 0;
  free(*packet);
  *packet = NULL;
  return aErrNone;
}
