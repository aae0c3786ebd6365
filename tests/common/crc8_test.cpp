// CRC-8 of serial frames.
#include "crc8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct CrcCase {
  std::vector<uint8_t> bytes;
  uint8_t crc;
};

TEST(Crc8, KnownValues) {
  const std::string digits = "123456789";
  const std::vector<CrcCase> cases = {
      {std::vector<uint8_t>(digits.begin(), digits.end()), 0xA1},
      {{0x06, 0x02, 0x03, 0x0A}, 0x6D},
      {{0x06, 0x00}, 0xAA},
      {{}, 0x00},
      {{0x00}, 0x00},
  };
  for (const CrcCase& c : cases) {
    EXPECT_EQ(crc8_create(c.bytes.data(), c.bytes.size()), c.crc);
    EXPECT_TRUE(crc8_check(c.bytes.data(), c.bytes.size(), c.crc));
    EXPECT_FALSE(crc8_check(c.bytes.data(), c.bytes.size(), (uint8_t)(c.crc ^ 0x01)));
  }
}

TEST(Crc8, TableMatchesBitwiseReflectedPolynomial) {
  for (uint32_t i = 0; i < 256; i++) {
    uint8_t crc = (uint8_t)i;
    for (int bit = 0; bit < 8; bit++) crc = (crc & 1) ? (uint8_t)((crc >> 1) ^ 0x8C) : (uint8_t)(crc >> 1);
    ASSERT_EQ(_crc8LUT[i], crc) << "entry " << i;
    EXPECT_EQ(crc8_update(0, (uint8_t)i), crc);
  }
}

TEST(Crc8, NullDataIsZero) { EXPECT_EQ(crc8_create(nullptr, 5), 0); }

}  // namespace
