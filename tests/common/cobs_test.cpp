// COBS encoding and decoding.
#include "cobs.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode(const Bytes& in) {
  Bytes out(COBS_ENCODED_MAX(in.size()));
  out.resize(cobs_encode(in.data(), in.size(), out.data()));
  return out;
}

Bytes encodeInPlace(const Bytes& in) {
  Bytes buffer = in;
  buffer.resize(COBS_ENCODED_MAX(in.size()));
  buffer.resize(cobs_encode_inplace(buffer.data(), in.size()));
  return buffer;
}

Bytes decode(const Bytes& in) {
  Bytes out(in.size() + 1);
  out.resize(cobs_decode(in.data(), in.size(), out.data()));
  return out;
}

// `length` non-zero bytes.
Bytes run(size_t length) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; i++) bytes[i] = (uint8_t)(1 + i % 255);
  return bytes;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Case {
  const char* name;
  Bytes plain;
  Bytes encoded;
};

TEST(Cobs, EncodeDecodeTable) {
  const Bytes run254 = run(254);
  const std::vector<Case> cases = {
      {"zero between", {0x11, 0x00, 0x22}, {0x02, 0x11, 0x02, 0x22}},
      {"single zero", {0x00}, {0x01, 0x01}},
      {"two zeros", {0x00, 0x00}, {0x01, 0x01, 0x01}},
      {"no zero", {0x11, 0x22, 0x33}, {0x04, 0x11, 0x22, 0x33}},
      {"trailing zero", {0x11, 0x00}, {0x02, 0x11, 0x01}},
      {"packet with CRC", {0x06, 0x02, 0x03, 0x0A, 0x6D}, {0x06, 0x06, 0x02, 0x03, 0x0A, 0x6D}},
      {"empty packet with CRC", {0x06, 0x00, 0xAA}, {0x02, 0x06, 0x02, 0xAA}},
      {"run of 254", run254, concat(concat({0xFF}, run254), {0x01})},
      {"run of 254 then zero", concat(run254, {0x00}), concat(concat({0xFF}, run254), {0x01, 0x01})},
      {"run of 255", concat(run254, {0x42}), concat(concat({0xFF}, run254), {0x02, 0x42})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(encode(c.plain), c.encoded);
    EXPECT_EQ(encodeInPlace(c.plain), c.encoded);
    EXPECT_EQ(decode(c.encoded), c.plain);
    EXPECT_LE(c.encoded.size(), COBS_ENCODED_MAX(c.plain.size()));
    for (uint8_t b : c.encoded) EXPECT_NE(b, 0);
  }
}

TEST(Cobs, RoundTripsLongMixedInputInPlace) {
  Bytes plain;
  // Runs of 520 non-zero bytes (longer than one block) between stretches
  // with many zeros.
  for (int i = 0; i < 2000; i++)
    plain.push_back(i % 600 < 520 ? (uint8_t)(1 + i % 250) : (uint8_t)(i % 3 ? 0 : 9));
  Bytes encoded = encodeInPlace(plain);
  EXPECT_EQ(encoded, encode(plain));
  Bytes buffer = encoded;
  buffer.resize(cobs_decode_inplace(buffer.data(), buffer.size()));
  EXPECT_EQ(buffer, plain);
}

TEST(Cobs, MalformedInputDecodesToNothing) {
  const std::vector<Bytes> malformed = {
      {},                  // nothing at all
      {0x05, 0x11, 0x22},  // code points past the end
      {0x02, 0x11, 0x00},  // zero code inside the input
      {0x00},
      {0xFF, 0x01},
  };
  for (const Bytes& in : malformed) {
    Bytes out(in.size() + 1, 0xEE);
    EXPECT_EQ(cobs_decode(in.data(), in.size(), out.data()), 0u);
  }
  EXPECT_EQ(cobs_decode(nullptr, 3, nullptr), 0u);
  EXPECT_EQ(cobs_encode(nullptr, 3, nullptr), 0u);
}

}  // namespace
