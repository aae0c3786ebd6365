#include "aPacket.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

struct PacketHolder {
  aPacket* packet = aPacket_Create();
  ~PacketHolder() {
    if (packet) aPacket_Destroy(&packet);
  }
};

// A record that looks like a packet but whose check word is not intact.
aPacket sDeadPacket() {
  aPacket dead = PACK;
  dead.check = 0;
  dead.address = 2;
  dead.dataSize = 3;
  return dead;
}

struct AssemblyCase {
  const char* name;
  std::vector<uint8_t> bytes;
  std::vector<aErr> results;  // one per byte
  bool complete;
  uint8_t address;
  uint8_t dataSize;
};

void PrintTo(const AssemblyCase& c, std::ostream* os) { *os << c.name; }

class aPacketAssembly : public ::testing::TestWithParam<AssemblyCase> {};

TEST_P(aPacketAssembly, FeedsBytes) {
  const AssemblyCase& c = GetParam();
  PacketHolder p;
  ASSERT_NE(p.packet, nullptr);
  for (size_t i = 0; i < c.bytes.size(); ++i)
    EXPECT_EQ(aPacket_AddByte(p.packet, c.bytes[i]), c.results[i]) << "byte " << i;
  EXPECT_EQ(aPacket_IsComplete(p.packet), c.complete);
  EXPECT_EQ(p.packet->address, c.address);
  EXPECT_EQ(p.packet->dataSize, c.dataSize);
}

std::vector<uint8_t> sFullPacket() {
  std::vector<uint8_t> bytes{2, 28};
  for (uint8_t i = 0; i < 28; ++i) bytes.push_back(static_cast<uint8_t>(0xA0 + i));
  return bytes;
}

std::vector<AssemblyCase> sAssemblyCases() {
  std::vector<AssemblyCase> cases = {
      {"EmptyPacket", {0x06, 0x00}, {aErrNone, aErrNone}, true, 6, 0},
      {"ZeroAddress", {0x00}, {aErrPacket}, false, 0, 0},
      {"TwoZeroAddresses", {0x00, 0x00}, {aErrPacket, aErrPacket}, false, 0, 0},
      // Refused bytes before the address do not count as the length byte.
      {"ZeroAddressThenAddress", {0x00, 0x04}, {aErrPacket, aErrNone}, false, 4, 0},
      {"ZeroesThenPacket", {0x00, 0x00, 0x04, 0x01, 0x09},
       {aErrPacket, aErrPacket, aErrNone, aErrNone, aErrNone}, true, 4, 1},
      {"ThreeDataBytes", {0x02, 0x03, 0x11, 0x22, 0x33},
       {aErrNone, aErrNone, aErrNone, aErrNone, aErrNone}, true, 2, 3},
      {"PartialData", {0x02, 0x03, 0x11}, {aErrNone, aErrNone, aErrNone}, false, 2, 3},
      {"BytePastLength", {0x02, 0x01, 0x11, 0x22},
       {aErrNone, aErrNone, aErrNone, aErrPacket}, false, 2, 1},
      {"LengthTooLarge", {0x02, 29}, {aErrNone, aErrPacket}, false, 2, 29},
      // A byte after a complete empty packet is not a late length byte.
      {"ByteAfterEmptyPacket", {0x02, 0x00, 0x05}, {aErrNone, aErrNone, aErrPacket}, false, 2, 0},
  };
  AssemblyCase full{"FullPacket", sFullPacket(), std::vector<aErr>(30, aErrNone), true, 2, 28};
  cases.push_back(full);
  AssemblyCase over = full;
  over.name = "ThirtyFirstByteOverruns";
  over.bytes.push_back(0x55);
  over.results.push_back(aErrOverrun);
  over.complete = false;
  cases.push_back(over);
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, aPacketAssembly, ::testing::ValuesIn(sAssemblyCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(aPacket, AssembledDataAndFillCount) {
  PacketHolder p;
  for (uint8_t b : {0x08, 0x04, 0x01, 0x02, 0x03, 0x04}) ASSERT_EQ(aPacket_AddByte(p.packet, b), aErrNone);
  EXPECT_EQ(p.packet->fillCount, 6);
  EXPECT_EQ(p.packet->data[0], 1);
  EXPECT_EQ(p.packet->data[3], 4);
  ASSERT_EQ(aPacket_Reset(p.packet), aErrNone);
  EXPECT_EQ(p.packet->fillCount, 0);
  EXPECT_EQ(p.packet->address, 0);
  EXPECT_EQ(p.packet->dataSize, 0);
  for (uint8_t b : p.packet->data) EXPECT_EQ(b, 0);
  EXPECT_EQ(p.packet->check, aPACKET_CHECK);
}

// A refused length byte stays stored; what follows must not make the packet
// look complete nor let its byte form be taken.
TEST(aPacket, RefusedLengthNeverCompletes) {
  PacketHolder p;
  ASSERT_EQ(aPacket_AddByte(p.packet, 2), aErrNone);
  ASSERT_EQ(aPacket_AddByte(p.packet, 29), aErrPacket);
  for (int i = 0; i < 40; ++i) {
    EXPECT_NE(aPacket_AddByte(p.packet, 0x33), aErrNone);
    EXPECT_FALSE(aPacket_IsComplete(p.packet)) << i;
  }
  std::array<uint8_t, 64> buffer{};
  EXPECT_EQ(aPacket_GetBytes(p.packet, buffer.data(), buffer.size(), nullptr), aErrPacket);
}

// A stream that never lets the packet be reset keeps getting overruns, also
// after the 8-bit fill count would have wrapped.
TEST(aPacket, LongRunWithoutResetStaysOverrun) {
  PacketHolder p;
  for (int i = 0; i < 30; ++i) aPacket_AddByte(p.packet, 4);
  for (int i = 0; i < 600; ++i) EXPECT_EQ(aPacket_AddByte(p.packet, 4), aErrOverrun) << i;
  EXPECT_EQ(p.packet->address, 4);
}

TEST(aPacket, CreateWithData) {
  std::array<uint8_t, 29> data{};
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i + 1);

  aPacket* full = aPacket_CreateWithData(2, 28, data.data());
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(full->address, 2);
  EXPECT_EQ(full->dataSize, 28);
  EXPECT_EQ(full->fillCount, 30);
  EXPECT_EQ(full->data[27], 28);
  EXPECT_TRUE(aPacket_IsComplete(full));
  aPacket_Destroy(&full);

  EXPECT_EQ(aPacket_CreateWithData(2, 29, data.data()), nullptr);
  EXPECT_EQ(aPacket_CreateWithData(2, 3, nullptr), nullptr);
  EXPECT_EQ(aPacket_CreateWithData(2, 0, nullptr), nullptr);

  aPacket* empty = aPacket_CreateWithData(4, 0, data.data());
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->dataSize, 0);
  EXPECT_EQ(empty->data[0], 0);
  EXPECT_TRUE(aPacket_IsComplete(empty));
  aPacket_Destroy(&empty);
}

TEST(aPacket, CopyIsIndependent) {
  const uint8_t data[] = {9, 8, 7};
  aPacket* original = aPacket_CreateWithData(6, 3, data);
  aPacket* copy = aPacket_Copy(original);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, original);
  original->data[0] = 0;
  aPacket_Destroy(&original);
  EXPECT_EQ(copy->address, 6);
  EXPECT_EQ(copy->dataSize, 3);
  EXPECT_EQ(copy->data[0], 9);
  EXPECT_TRUE(aPacket_IsComplete(copy));
  aPacket_Destroy(&copy);

  aPacket dead = sDeadPacket();
  EXPECT_EQ(aPacket_Copy(&dead), nullptr);
  EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
}

TEST(aPacket, GetBytes) {
  const uint8_t data[] = {0x10, 0x20, 0x30, 0x40};
  aPacket* packet = aPacket_CreateWithData(0x0A, 4, data);
  std::array<uint8_t, 8> buffer{};
  size_t written = 0;
  ASSERT_EQ(aPacket_GetBytes(packet, buffer.data(), 6, &written), aErrNone);
  EXPECT_EQ(written, 6u);
  EXPECT_EQ((std::vector<uint8_t>(buffer.begin(), buffer.begin() + 7)),
            (std::vector<uint8_t>{0x0A, 4, 0x10, 0x20, 0x30, 0x40, 0}));

  buffer.fill(0xEE);
  EXPECT_EQ(aPacket_GetBytes(packet, buffer.data(), 5, &written), aErrOverrun);
  EXPECT_EQ(buffer[0], 0xEE);  // nothing written
  EXPECT_EQ(aPacket_GetBytes(packet, buffer.data(), 6, nullptr), aErrNone);
  EXPECT_EQ(aPacket_GetBytes(packet, nullptr, 6, &written), aErrParam);
  aPacket dead = sDeadPacket();
  EXPECT_EQ(aPacket_GetBytes(&dead, buffer.data(), buffer.size(), &written), aErrParam);
  EXPECT_EQ(aPacket_GetBytes(nullptr, buffer.data(), buffer.size(), &written), aErrParam);
  aPacket_Destroy(&packet);
}

TEST(aPacket, HeaderFields) {
  const uint8_t data[] = {0x12, 0xC5, 0xE3};
  struct Case {
    uint8_t length;
    aErr cmd, option, index;
  };
  for (const Case& c : {Case{0, aErrPacket, aErrPacket, aErrPacket},
                        Case{1, aErrNone, aErrPacket, aErrPacket},
                        Case{2, aErrNone, aErrNone, aErrPacket},
                        Case{3, aErrNone, aErrNone, aErrNone}}) {
    aPacket* packet = aPacket_CreateWithData(2, c.length, data);
    uint8_t cmd = 0, option = 0, index = 0;
    EXPECT_EQ(aPacket_GetCmd(packet, &cmd), c.cmd) << int(c.length);
    EXPECT_EQ(aPacket_GetOption(packet, &option), c.option) << int(c.length);
    EXPECT_EQ(aPacket_GetIndex(packet, &index), c.index) << int(c.length);
    if (c.index == aErrNone) {
      EXPECT_EQ(cmd, 0x12);
      EXPECT_EQ(option, 0x05);
      EXPECT_EQ(index, 0x03);
    }
    EXPECT_EQ(aPacket_GetCmd(packet, nullptr), aErrParam);
    EXPECT_EQ(aPacket_GetOption(packet, nullptr), aErrParam);
    EXPECT_EQ(aPacket_GetIndex(packet, nullptr), aErrParam);
    aPacket_Destroy(&packet);
  }
  aPacket dead = sDeadPacket();
  uint8_t out = 0;
  EXPECT_EQ(aPacket_GetCmd(&dead, &out), aErrPacket);
  EXPECT_EQ(aPacket_GetIndex(nullptr, &out), aErrPacket);
}

TEST(aPacket, InvalidPacketsAreRefused) {
  aPacket dead = sDeadPacket();
  EXPECT_EQ(aPacket_Reset(&dead), aErrParam);
  EXPECT_EQ(dead.address, 2);  // untouched
  EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);
  EXPECT_EQ(aPacket_AddByte(&dead, 1), aErrParam);
  EXPECT_EQ(aPacket_AddByte(nullptr, 1), aErrParam);
  EXPECT_FALSE(aPacket_IsComplete(&dead));
  EXPECT_FALSE(aPacket_IsComplete(nullptr));
  EXPECT_FALSE(aVALIDPACKET(&dead));
  EXPECT_FALSE(aVALIDPACKET(static_cast<aPacket*>(nullptr)));
}

TEST(aPacket, Destroy) {
  aPacket* packet = aPacket_Create();
  ASSERT_TRUE(aVALIDPACKET(packet));
  EXPECT_EQ(aPacket_Destroy(&packet), aErrNone);
  EXPECT_EQ(packet, nullptr);
  EXPECT_EQ(aPacket_Destroy(&packet), aErrParam);
  EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);

  aPacket dead = sDeadPacket();
  aPacket* handle = &dead;
  EXPECT_EQ(aPacket_Destroy(&handle), aErrParam);  // not freed: it is not a live packet
}

}  // namespace
