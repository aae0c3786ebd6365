// base64_decode over arbitrary text; whatever decodes must encode back to
// an equivalent text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  size_t length = 0;
  char* decoded = base64_decode(text, size, &length);
  if (decoded == nullptr) return 0;
  if (size % 4 != 0 || length > size / 4 * 3 || decoded[length] != '\0') __builtin_trap();
  size_t encoded_length = 0;
  char* encoded = base64_encode(decoded, length, &encoded_length);
  if (encoded == nullptr) __builtin_trap();
  // Canonical input (padding only at the end, no stray bits) round-trips exactly.
  if (encoded_length > size) __builtin_trap();
  size_t again_length = 0;
  char* again = base64_decode(encoded, encoded_length, &again_length);
  if (again == nullptr || again_length != length || std::memcmp(again, decoded, length) != 0) __builtin_trap();
  std::free(again);
  std::free(encoded);
  std::free(decoded);
  return 0;
}
