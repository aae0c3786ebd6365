// The emulator's own codecs: packet assembly, COBS frames with CRC-8,
// version packing and hex text.
#include <gtest/gtest.h>

#include <cstring>

#include "SimCodec.h"

using namespace qmsim;
using Bytes = std::vector<uint8_t>;

TEST(SimCodec, FramesAndChecks) {
  EXPECT_EQ(encodeFrame(Packet(6, {3, 0x0A})), (Bytes{0x06, 0x06, 0x02, 0x03, 0x0A, 0x6D, 0x00}));
  EXPECT_EQ(encodeFrame(Packet(6, {})), (Bytes{0x02, 0x06, 0x02, 0xAA, 0x00}));
  const uint8_t a[] = {0x11, 0x00, 0x22};
  EXPECT_EQ(cobsEncode(a, 3), (Bytes{0x02, 0x11, 0x02, 0x22}));
  const uint8_t z[] = {0x00};
  EXPECT_EQ(cobsEncode(z, 1), (Bytes{0x01, 0x01}));
  EXPECT_EQ(crc8(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xA1);
  // Round trip of every packet length, with zero bytes in the data.
  for (uint8_t n = 0; n <= 28; ++n) {
    Bytes data(n);
    for (uint8_t i = 0; i < n; ++i) data[i] = uint8_t(i % 3 ? i : 0);
    Packet p(4, data);
    FrameDecoder d;
    Bytes frame = encodeFrame(p);
    FrameDecoder::Step last = FrameDecoder::Step::Pending;
    for (uint8_t b : frame) last = d.feed(b);
    ASSERT_EQ(last, FrameDecoder::Step::Complete) << int(n);
    EXPECT_EQ(d.packet().bytes(), p.bytes());
  }
}

TEST(SimCodec, FrameDecoderRejectsBrokenFrames) {
  Bytes good = encodeFrame(Packet(2, {3, 0x49, 0x20}));
  struct Case {
    const char* what;
    Bytes frame;
  } cases[] = {
      {"crc", [&] { Bytes f = good; f[f.size() - 2] ^= 1; return f; }()},
      {"length byte", [&] { Bytes f = good; f[2] = 9; return f; }()},
      {"code past the end", {0x09, 0x01, 0x00}},
      {"too short", {0x02, 0x02, 0x00}},
      {"over-long", Bytes(200, 0x05)},
  };
  for (auto& c : cases) {
    FrameDecoder d;
    if (c.frame.back() != 0) c.frame.push_back(0);
    FrameDecoder::Step last = FrameDecoder::Step::Pending;
    for (uint8_t b : c.frame) last = d.feed(b);
    EXPECT_EQ(last, FrameDecoder::Step::Bad) << c.what;
    // The decoder is ready for the next frame at once.
    for (uint8_t b : good) last = d.feed(b);
    EXPECT_EQ(last, FrameDecoder::Step::Complete) << c.what;
  }
  FrameDecoder d;
  EXPECT_EQ(d.feed(0), FrameDecoder::Step::Pending);  // a lone delimiter is nothing
}

TEST(SimCodec, AssemblerSkipsZeroAddressesAndOverlongLengths) {
  PacketAssembler a;
  EXPECT_EQ(a.feed(0x00), PacketAssembler::Step::Dropped);
  EXPECT_EQ(a.feed(0x02), PacketAssembler::Step::Pending);
  EXPECT_EQ(a.feed(29), PacketAssembler::Step::Dropped);
  EXPECT_EQ(a.feed(0xAD), PacketAssembler::Step::Pending);
  EXPECT_EQ(a.feed(0x00), PacketAssembler::Step::Complete);
  EXPECT_EQ(a.packet().bytes(), (Bytes{0xAD, 0}));
  Bytes full{2, 28};
  for (int i = 0; i < 28; ++i) full.push_back(uint8_t(i));
  for (size_t i = 0; i < full.size(); ++i)
    EXPECT_EQ(a.feed(full[i]), i + 1 == full.size() ? PacketAssembler::Step::Complete : PacketAssembler::Step::Pending);
  EXPECT_EQ(a.packet().bytes(), full);
}

TEST(SimCodec, VersionsAndHex) {
  EXPECT_EQ(packVersion(2, 15, 3), 0x2F020F03u);
  EXPECT_EQ(packVersion(2, 14, 3), 0x2E000003u);
  EXPECT_EQ(packVersion(1, 4, 7), 0x14000007u);
  EXPECT_EQ(hex(Bytes{0x02, 0xAB, 0x00}), "02 AB 00");
  EXPECT_EQ(parseHex("02 ab 0x10 0000"), (Bytes{0x02, 0xAB, 0x10, 0x00, 0x00}));
  EXPECT_FALSE(parseHex("0 2"));
  EXPECT_FALSE(parseHex("zz"));
}
