// The packet assembler over arbitrary bytes, the way the link engine (reset
// after every complete packet or error) and the serial framing writer (skip
// refused bytes, never reset) drive it. Completed packets must have a valid
// byte form that assembles back into the same packet.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "aPacket.h"
#include "aUEI.h"

namespace {

void sCheck(bool condition) {
  if (!condition) abort();
}

void sCheckComplete(const aPacket* packet) {
  sCheck(packet->dataSize <= aPACKET_MAX_DATA);
  const size_t total = static_cast<size_t>(packet->dataSize) + 2;
  // Exact-size heap buffer: any overrun is seen by AddressSanitizer.
  std::vector<uint8_t> bytes(total);
  size_t written = 0;
  sCheck(aPacket_GetBytes(packet, bytes.data(), total - 1, &written) == aErrOverrun);
  sCheck(aPacket_GetBytes(packet, bytes.data(), total, &written) == aErrNone);
  sCheck(written == total && written <= aPACKET_MAX_BYTES);
  sCheck(bytes[0] == packet->address && bytes[1] == packet->dataSize);

  aPacket* again = aPacket_Create();
  sCheck(again != nullptr);
  for (size_t i = 0; i < total; ++i) sCheck(aPacket_AddByte(again, bytes[i]) == aErrNone);
  sCheck(aPacket_IsComplete(again));
  sCheck(again->address == packet->address && again->dataSize == packet->dataSize);
  sCheck(memcmp(again->data, packet->data, packet->dataSize) == 0);
  aPacket_Destroy(&again);

  aPacket* copy = aPacket_Copy(packet);
  sCheck(copy != nullptr && aPacket_IsComplete(copy));
  uint8_t field = 0;
  sCheck((aPacket_GetCmd(copy, &field) == aErrNone) == (copy->dataSize >= 1));
  sCheck((aPacket_GetOption(copy, &field) == aErrNone) == (copy->dataSize >= 2));
  sCheck(field <= 0x3F || copy->dataSize < 2);
  sCheck((aPacket_GetIndex(copy, &field) == aErrNone) == (copy->dataSize >= 3));
  sCheck(aUEI_getBytesSequence(copy) <= 0x7F);
  (void)aUEI_getBytesContinue(copy);
  (void)aUEI_isStreamPacket(copy);
  sCheck(aUEI_isUEIPayload(copy) != aUEI_isNotUEIPayload(copy));
  aPacket_Destroy(&copy);
}

void sFeed(const uint8_t* data, size_t size, bool resetOnError) {
  aPacket* packet = aPacket_Create();
  sCheck(packet != nullptr);
  for (size_t i = 0; i < size; ++i) {
    const aErr result = aPacket_AddByte(packet, data[i]);
    sCheck(result == aErrNone || result == aErrPacket || result == aErrOverrun);
    if (result == aErrNone) sCheck(packet->dataSize <= aPACKET_MAX_DATA);
    if (aPacket_IsComplete(packet)) {
      sCheckComplete(packet);
      sCheck(aPacket_Reset(packet) == aErrNone);
    } else if (result != aErrNone) {
      if (resetOnError) {
        sCheck(aPacket_Reset(packet) == aErrNone);
      } else {
        // Without a reset the assembler must keep refusing safely.
        uint8_t buffer[aPACKET_MAX_BYTES];
        size_t written = 0;
        const aErr got = aPacket_GetBytes(packet, buffer, sizeof buffer, &written);
        sCheck(got != aErrNone || written <= aPACKET_MAX_BYTES);
      }
    }
    sCheck(packet->check == aPACKET_CHECK);
  }
  aPacket_Destroy(&packet);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sFeed(data, size, true);
  sFeed(data, size, false);
  return 0;
}
