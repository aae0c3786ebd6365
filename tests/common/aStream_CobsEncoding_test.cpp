// Packet framing stream over an in-memory byte transport.
#include "aStream_CobsEncoding.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "cobs.h"
#include "crc8.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The byte transport under the framing stream: input is served from a
// queue, writes and puts are recorded.
struct Wire {
  std::deque<uint8_t> input;
  aErr inputError = aErrNotReady;  // what get says once the queue is empty
  std::vector<Bytes> writes;
  Bytes puts;
  aErr writeResult = aErrNone;
  int deletes = 0;
};

aErr wireGet(uint8_t* byte, void* reference) {
  Wire* wire = static_cast<Wire*>(reference);
  if (wire->input.empty()) return wire->inputError;
  *byte = wire->input.front();
  wire->input.pop_front();
  return aErrNone;
}

aErr wirePut(const uint8_t* byte, void* reference) {
  static_cast<Wire*>(reference)->puts.push_back(*byte);
  return aErrNone;
}

aErr wireWrite(const uint8_t* data, size_t length, void* reference) {
  Wire* wire = static_cast<Wire*>(reference);
  wire->writes.emplace_back(data, data + length);
  return wire->writeResult;
}

aErr wireDelete(void* reference) {
  static_cast<Wire*>(reference)->deletes++;
  return aErrNone;
}

// The frame of a packet's byte form, built independently of the stream.
Bytes frameOf(const Bytes& packet) {
  Bytes raw = packet;
  raw.push_back(crc8_create(packet.data(), packet.size()));
  Bytes out(COBS_ENCODED_MAX(raw.size()));
  out.resize(cobs_encode(raw.data(), raw.size(), out.data()));
  out.push_back(0);
  return out;
}

Bytes packetOf(uint8_t address, size_t dataLength) {
  Bytes packet = {address, (uint8_t)dataLength};
  for (size_t i = 0; i < dataLength; i++) packet.push_back((uint8_t)(i % 3 == 0 ? 0 : 0x40 + i));
  return packet;
}

class CobsStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(aStream_CreateCobsEncoding(wireGet, wirePut, wireWrite, wireDelete, &wire, &stream),
              aErrNone);
    ASSERT_NE(stream, nullptr);
  }
  void TearDown() override {
    if (stream != nullptr) {
      EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    }
  }

  void feed(const Bytes& bytes) { wire.input.insert(wire.input.end(), bytes.begin(), bytes.end()); }

  // Calls get until it hands out a byte or reports something other than
  // aErrNotReady; at most `limit` calls.
  aErr nextByte(uint8_t* byte, int limit = 200) {
    aErr err = aErrNotReady;
    for (int i = 0; i < limit && err == aErrNotReady; i++) {
      err = stream->getProc(byte, stream->reference);
    }
    return err;
  }

  // Every byte handed out until the transport runs dry; errors are listed.
  Bytes drain(std::vector<aErr>* errors = nullptr) {
    Bytes out;
    for (int i = 0; i < 2000; i++) {
      uint8_t byte = 0;
      aErr err = stream->getProc(&byte, stream->reference);
      if (err == aErrNone) {
        out.push_back(byte);
      } else if (err != aErrNotReady) {
        if (errors != nullptr) errors->push_back(err);
      } else if (wire.input.empty()) {
        // One more call may hand out a packet decoded by the last byte.
        if (stream->getProc(&byte, stream->reference) != aErrNone) break;
        out.push_back(byte);
      }
    }
    return out;
  }

  Wire wire;
  aStreamRef stream = nullptr;
};

TEST_F(CobsStreamTest, WritesOneFramePerPacket) {
  const Bytes packet = {0x06, 0x02, 0x03, 0x0A};
  ASSERT_EQ(aStream_Write(stream, packet.data(), packet.size()), aErrNone);
  const Bytes empty = {0x06, 0x00};
  ASSERT_EQ(aStream_Write(stream, empty.data(), empty.size()), aErrNone);
  ASSERT_EQ(wire.writes.size(), 2u);
  EXPECT_EQ(wire.writes[0], (Bytes{0x06, 0x06, 0x02, 0x03, 0x0A, 0x6D, 0x00}));
  EXPECT_EQ(wire.writes[1], (Bytes{0x02, 0x06, 0x02, 0xAA, 0x00}));
}

TEST_F(CobsStreamTest, WriteSplitsBlocksIntoPacketsAcrossCalls) {
  const Bytes a = packetOf(4, 28), b = packetOf(8, 0), c = packetOf(10, 5);
  Bytes all = a;
  all.insert(all.end(), b.begin(), b.end());
  all.insert(all.end(), c.begin(), c.end());
  // First call ends inside the third packet; the rest follows later.
  ASSERT_EQ(aStream_Write(stream, all.data(), all.size() - 3), aErrNone);
  EXPECT_EQ(wire.writes.size(), 2u);
  ASSERT_EQ(aStream_Write(stream, all.data() + all.size() - 3, 3), aErrNone);
  ASSERT_EQ(wire.writes.size(), 3u);
  EXPECT_EQ(wire.writes[0], frameOf(a));
  EXPECT_EQ(wire.writes[1], frameOf(b));
  EXPECT_EQ(wire.writes[2], frameOf(c));
}

TEST_F(CobsStreamTest, RefusedBytesDoNotStallLaterPackets) {
  // A zero address byte and a packet announcing 29 data bytes are refused;
  // the packets after them still go out.
  const Bytes good = {0x06, 0x01, 0x55};
  Bytes bytes = {0x00};
  bytes.insert(bytes.end(), good.begin(), good.end());
  bytes.insert(bytes.end(), {0x02, 29});
  bytes.insert(bytes.end(), good.begin(), good.end());
  ASSERT_EQ(aStream_Write(stream, bytes.data(), bytes.size()), aErrNone);
  ASSERT_EQ(wire.writes.size(), 2u);
  EXPECT_EQ(wire.writes[0], frameOf(good));
  EXPECT_EQ(wire.writes[1], frameOf(good));
}

TEST_F(CobsStreamTest, WriteFailureIsReportedAndLaterPacketsStillSent) {
  wire.writeResult = aErrIO;
  const Bytes two = {0x06, 0x00, 0x08, 0x00};
  EXPECT_EQ(aStream_Write(stream, two.data(), two.size()), aErrIO);
  EXPECT_EQ(wire.writes.size(), 2u);
}

TEST_F(CobsStreamTest, PutBypassesFraming) {
  const uint8_t byte = 0x00;
  ASSERT_EQ(stream->putProc(&byte, stream->reference), aErrNone);
  EXPECT_EQ(wire.puts, Bytes{0x00});
  EXPECT_TRUE(wire.writes.empty());
}

TEST_F(CobsStreamTest, ReadsPacketsOfEveryLength) {
  Bytes expected;
  for (size_t length = 0; length <= 28; length++) {
    const Bytes packet = packetOf(6, length);
    feed(frameOf(packet));
    expected.insert(expected.end(), packet.begin(), packet.end());
  }
  std::vector<aErr> errors;
  EXPECT_EQ(drain(&errors), expected);
  EXPECT_TRUE(errors.empty());
}

TEST_F(CobsStreamTest, PacketComesWithTheGetAfterTheDelimiter) {
  feed(frameOf({0x06, 0x00}));
  uint8_t byte = 0;
  for (size_t i = 0; i + 1 < frameOf({0x06, 0x00}).size(); i++)
    EXPECT_EQ(stream->getProc(&byte, stream->reference), aErrNotReady);
  EXPECT_EQ(stream->getProc(&byte, stream->reference), aErrNotReady);  // the delimiter
  EXPECT_EQ(stream->getProc(&byte, stream->reference), aErrNone);
  EXPECT_EQ(byte, 0x06);
  EXPECT_EQ(stream->getProc(&byte, stream->reference), aErrNone);
  EXPECT_EQ(byte, 0x00);
  EXPECT_EQ(stream->getProc(&byte, stream->reference), aErrNotReady);
}

TEST_F(CobsStreamTest, FrameSplitAcrossReadsAndTransportGaps) {
  const Bytes packet = packetOf(0x0A, 12);
  const Bytes frame = frameOf(packet);
  Bytes out;
  for (uint8_t b : frame) {
    feed({b});
    uint8_t byte = 0;
    // The transport has nothing for a while between bytes.
    for (int i = 0; i < 3; i++) {
      aErr err = stream->getProc(&byte, stream->reference);
      ASSERT_TRUE(err == aErrNotReady || err == aErrNone);
      if (err == aErrNone) out.push_back(byte);
    }
  }
  uint8_t byte = 0;
  while (out.size() < packet.size() && stream->getProc(&byte, stream->reference) == aErrNone)
    out.push_back(byte);
  EXPECT_EQ(out, packet);
}

struct BadFrame {
  const char* name;
  Bytes frame;
};

TEST_F(CobsStreamTest, DamagedFramesAreRejectedAndTheNextFramePasses) {
  const Bytes good = {0x06, 0x02, 0x03, 0x0A};
  Bytes wrongCrc = frameOf(good);
  wrongCrc[wrongCrc.size() - 2] ^= 0x01;
  Bytes wrongLength = frameOf({0x06, 0x03, 0x03, 0x0A});  // says 3, carries 2
  Bytes lostByte = frameOf(good);
  lostByte.erase(lostByte.begin() + 2);
  Bytes tooLong(40, 0x11);  // longer than any frame
  tooLong.push_back(0);
  Bytes overlong = frameOf(packetOf(6, 28));
  overlong.insert(overlong.begin() + 5, 0x33);  // one byte more than the longest frame
  const std::vector<BadFrame> cases = {
      {"wrong CRC", wrongCrc},
      {"length byte disagrees", wrongLength},
      {"byte lost", lostByte},
      {"too long", tooLong},
      {"one byte over the longest frame", overlong},
      {"too short", {0x02, 0x06, 0x00}},
      {"malformed COBS", {0x07, 0x06, 0x00}},
  };
  for (const BadFrame& c : cases) {
    SCOPED_TRACE(c.name);
    feed(c.frame);
    feed(frameOf(good));
    std::vector<aErr> errors;
    EXPECT_EQ(drain(&errors), good);
    EXPECT_EQ(errors, std::vector<aErr>{aErrPacket});
  }
}

TEST_F(CobsStreamTest, RepeatedDelimitersChangeNothing) {
  feed({0x00, 0x00, 0x00});
  uint8_t byte = 0x77;
  for (int i = 0; i < 3; i++) EXPECT_EQ(stream->getProc(&byte, stream->reference), aErrNotReady);
  EXPECT_EQ(byte, 0x77);
  const Bytes good = {0x06, 0x00};
  feed(frameOf(good));
  EXPECT_EQ(drain(), good);
}

TEST_F(CobsStreamTest, TransportFailureLooksLikeNoData) {
  wire.inputError = aErrIO;
  uint8_t byte = 0;
  EXPECT_EQ(stream->getProc(&byte, stream->reference), aErrNotReady);
}

TEST_F(CobsStreamTest, StreamReadReassemblesPacketsThroughCore) {
  const Bytes packet = packetOf(6, 20);
  feed(frameOf(packet));
  Bytes got;
  uint8_t byte = 0;
  while (got.size() < packet.size()) {
    ASSERT_EQ(nextByte(&byte), aErrNone);
    got.push_back(byte);
  }
  EXPECT_EQ(got, packet);
}

TEST(CobsStream, CreateAndDestroy) {
  EXPECT_EQ(aStream_CreateCobsEncoding(wireGet, wirePut, wireWrite, wireDelete, nullptr, nullptr),
            aErrParam);
  Wire wire;
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateCobsEncoding(wireGet, wirePut, wireWrite, wireDelete, &wire, &stream),
            aErrNone);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(wire.deletes, 1);
}

}  // namespace
