#include "aUEI.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

namespace {

struct Packet {
  explicit Packet(std::vector<uint8_t> data, uint8_t address = 2)
      : packet(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()),
                                      data.empty() ? kNoData : data.data())) {}
  static constexpr uint8_t kNoData[1] = {0};
  ~Packet() { aPacket_Destroy(&packet); }
  aPacket* packet;
};

TEST(aUEI, StoreAndRetrieveBigEndian) {
  uint8_t buffer[4] = {};
  aUEI_StoreShort(buffer, 0x1234);
  EXPECT_EQ(buffer[0], 0x12);
  EXPECT_EQ(buffer[1], 0x34);
  EXPECT_EQ(aUEI_RetrieveShort(buffer), 0x1234);

  aUEI_StoreShort(buffer, static_cast<uint16_t>(-2));
  EXPECT_EQ(buffer[0], 0xFF);
  EXPECT_EQ(buffer[1], 0xFE);
  EXPECT_EQ(aUEI_RetrieveShort(buffer), -2);

  aUEI_StoreInt(buffer, 0x89ABCDEF);
  EXPECT_EQ((std::vector<uint8_t>(buffer, buffer + 4)),
            (std::vector<uint8_t>{0x89, 0xAB, 0xCD, 0xEF}));
  EXPECT_EQ(static_cast<uint32_t>(aUEI_RetrieveInt(buffer)), 0x89ABCDEFu);

  aUEI_StoreShort(nullptr, 1);
  aUEI_StoreInt(nullptr, 1);
  EXPECT_EQ(aUEI_RetrieveShort(nullptr), 0);
  EXPECT_EQ(aUEI_RetrieveInt(nullptr), 0);
}

TEST(aUEI, ModifyIntBufferConvertsEachWord) {
  const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0xF0, 0x00, 0x00, 0x0D, 0x55, 0x55, 0x55, 0x55};
  uint32_t words[3];
  std::memcpy(words, bytes, sizeof words);
  aUEI_ModifyIntBuffer(words, 2);
  EXPECT_EQ(words[0], 0x01020304u);
  EXPECT_EQ(words[1], 0xF000000Du);
  EXPECT_EQ(words[2], 0x55555555u);  // past `count`: untouched
  aUEI_ModifyIntBuffer(nullptr, 4);
}

TEST(aUEI, ByteBlockTrailer) {
  struct Case {
    std::vector<uint8_t> data;
    uint8_t sequence;
    bool more;
    bool full;
  };
  std::vector<uint8_t> filled(28, 0x11);
  filled.back() = 0x81;
  std::vector<uint8_t> almost(27, 0x11);
  almost.back() = 0x02;
  for (const Case& c : {Case{{0x10, 0x01, 0x20, 0xAA, 0x85}, 5, true, false},
                        Case{{0x10, 0x01, 0x20, 0x7F}, 127, false, false},
                        Case{{0x10, 0x01, 0x20, 0x00}, 0, false, false},
                        Case{filled, 1, true, true}, Case{almost, 2, false, true},
                        Case{std::vector<uint8_t>(26, 0x80), 0, true, false}}) {
    Packet p(c.data);
    EXPECT_EQ(aUEI_getBytesSequence(p.packet), c.sequence) << c.data.size();
    EXPECT_EQ(aUEI_getBytesContinue(p.packet), c.more) << c.data.size();
    EXPECT_EQ(aUEI_getBytesFullPacket(p.packet), c.full) << c.data.size();
  }
  Packet empty({});
  EXPECT_EQ(aUEI_getBytesSequence(empty.packet), 0);
  EXPECT_FALSE(aUEI_getBytesContinue(empty.packet));
  EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
  EXPECT_FALSE(aUEI_getBytesContinue(nullptr));
  EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}

TEST(aUEI, NonUEICommands) {
  const std::set<int> notUEI = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
  for (int command = 0; command < 256; ++command) {
    Packet p({static_cast<uint8_t>(command), 0x01, 0x00});
    const bool expected = notUEI.count(command) != 0;
    EXPECT_EQ(aUEI_isNotUEIPayload(p.packet), expected) << command;
    EXPECT_EQ(aUEI_isUEIPayload(p.packet), !expected) << command;
  }
  EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
  EXPECT_TRUE(aUEI_isUEIPayload(nullptr));
  Packet empty({});
  EXPECT_TRUE(aUEI_isNotUEIPayload(empty.packet));
}

TEST(aUEI, StreamPackets) {
  struct Case {
    const char* name;
    std::vector<uint8_t> data;
    bool stream;
  };
  for (const Case& c : {
           Case{"sample", {0x12, 0x05, 0x41, 0x00, 0x07}, true},
           Case{"sample32", {0x12, 0x05, 0x40, 0x00, 0x00, 0x00, 0x07}, true},
           Case{"replyFlagOption", {0x12, 0x45, 0x41, 0x00, 0x07}, false},
           Case{"requestFlagOption", {0x12, 0x85, 0x41, 0x00, 0x07}, false},
           Case{"noStreamBit", {0x12, 0x05, 0x01, 0x00, 0x07}, false},
           Case{"tooShort", {0x12, 0x05, 0x41, 0x07}, false},
           Case{"nonUEICommand", {0x04, 0x05, 0x41, 0x00, 0x07}, false},
       }) {
    Packet p(c.data);
    EXPECT_EQ(aUEI_isStreamPacket(p.packet), c.stream) << c.name;
  }
  EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

}  // namespace
