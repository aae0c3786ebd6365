// Base64 codec used to turn a BIRD file received as one text line back into
// bytes.
#include "base64.h"

#include <array>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr int8_t kInvalid = -1;
constexpr int8_t kPad = -2;

// Value of each character: 0..63 for the alphabet, kPad for "=",
// kInvalid for everything else. Indexed by unsigned char only.
constexpr std::array<int8_t, 256> sMakeTable() {
  std::array<int8_t, 256> table{};
  for (auto& entry : table) entry = kInvalid;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  table[static_cast<unsigned char>('=')] = kPad;
  return table;
}
constexpr std::array<int8_t, 256> kDecode = sMakeTable();

}  // namespace

char* base64_encode(const char* data, size_t length, size_t* out_length) {
  const size_t groups = (length + 2) / 3;
  const size_t encoded = groups * 4;
  char* out = static_cast<char*>(std::malloc(encoded + 1));
  if (out == nullptr) return nullptr;
  const auto* in = reinterpret_cast<const unsigned char*>(data);
  char* p = out;
  for (size_t i = 0; i < length; i += 3) {
    const size_t left = length - i;
    uint32_t word = static_cast<uint32_t>(in[i]) << 16;
    if (left > 1) word |= static_cast<uint32_t>(in[i + 1]) << 8;
    if (left > 2) word |= in[i + 2];
    *p++ = kAlphabet[(word >> 18) & 0x3F];
    *p++ = kAlphabet[(word >> 12) & 0x3F];
    *p++ = left > 1 ? kAlphabet[(word >> 6) & 0x3F] : '=';
    *p++ = left > 2 ? kAlphabet[word & 0x3F] : '=';
  }
  *p = '\0';
  if (out_length != nullptr) *out_length = encoded;
  return out;
}

char* base64_decode(const char* text, size_t length, size_t* out_length) {
  if (length % 4 != 0) return nullptr;
  if (length > 0 && text == nullptr) return nullptr;
  size_t decoded = length / 4 * 3;
  // Padding is counted in the last two characters only; a "=" elsewhere in
  // a group contributes zero bits.
  if (length >= 4) {
    if (text[length - 1] == '=') --decoded;
    if (text[length - 2] == '=') --decoded;
  }
  char* out = static_cast<char*>(std::malloc(length / 4 * 3 + 1));
  if (out == nullptr) return nullptr;
  auto* o = reinterpret_cast<unsigned char*>(out);
  for (size_t i = 0; i < length; i += 4) {
    uint32_t word = 0;
    for (size_t k = 0; k < 4; ++k) {
      const int8_t value = kDecode[static_cast<unsigned char>(text[i + k])];
      if (value == kInvalid) {
        std::free(out);
        return nullptr;
      }
      word = (word << 6) | static_cast<uint32_t>(value < 0 ? 0 : value);
    }
    *o++ = static_cast<unsigned char>(word >> 16);
    *o++ = static_cast<unsigned char>(word >> 8);
    *o++ = static_cast<unsigned char>(word);
  }
  out[decoded] = '\0';
  if (out_length != nullptr) *out_length = decoded;
  return out;
}
