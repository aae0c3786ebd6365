// COBS decoder over arbitrary input: never writes past its output, never
// yields zero bytes from an encoding, and round-trips what it decodes.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "cobs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly sized buffers, so that ASan sees any write past the end.
  std::vector<uint8_t> decoded(size + 1);
  size_t length = cobs_decode(data, size, decoded.data());
  if (length > size) abort();

  // In place gives the same result.
  std::vector<uint8_t> inPlace(data, data + size);
  if (cobs_decode_inplace(inPlace.data(), inPlace.size()) != length) abort();
  if (memcmp(inPlace.data(), decoded.data(), length) != 0) abort();

  // Whatever decoded re-encodes without zeros and decodes to itself.
  std::vector<uint8_t> encoded(COBS_ENCODED_MAX(length));
  size_t encodedLength = cobs_encode(decoded.data(), length, encoded.data());
  if (encodedLength > encoded.size()) abort();
  for (size_t i = 0; i < encodedLength; i++)
    if (encoded[i] == 0) abort();
  std::vector<uint8_t> again(encodedLength + 1);
  if (cobs_decode(encoded.data(), encodedLength, again.data()) != length) abort();
  if (memcmp(again.data(), decoded.data(), length) != 0) abort();

  // The raw input itself encodes in place and round-trips.
  std::vector<uint8_t> buffer(COBS_ENCODED_MAX(size));
  memcpy(buffer.data(), data, size);
  size_t selfLength = cobs_encode_inplace(buffer.data(), size);
  std::vector<uint8_t> reference(COBS_ENCODED_MAX(size));
  if (cobs_encode(data, size, reference.data()) != selfLength) abort();
  if (memcmp(buffer.data(), reference.data(), selfLength) != 0) abort();
  std::vector<uint8_t> back(selfLength + 1);
  if (cobs_decode(buffer.data(), selfLength, back.data()) != size) abort();
  if (size > 0 && memcmp(back.data(), data, size) != 0) abort();
  return 0;
}
