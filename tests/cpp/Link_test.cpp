// Link: connecting, UEI requests and replies, raw packets, address checks.
// ctest-labels: threaded
#include "Link.h"

#include <gtest/gtest.h>

#include "qm_object_fixture.h"

using namespace Ostrevan::Quillomat;
using qmtest::FakeDevice;
using qmtest::WirePacket;

namespace {

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(link.setConfig(qmtest::directConfig()), aErrNone);
    ASSERT_EQ(link.setLinkSpecifier(qmtest::tcpSpec(device)), aErrNone);
    ASSERT_EQ(link.connect(), aErrNone);
    ASSERT_TRUE(link.isConnected());
  }
  FakeDevice device{2};
  Link link{"test"};
};

uei request(uint8_t module, uint32_t type) {
  uei r;
  r.module = module;
  r.command = 3;
  r.option = 0x80 | 4;
  r.specifier = 0x20;
  r.type = type;
  return r;
}

}  // namespace

TEST(LinkState, ConfigAndSpecifierWithoutConnection) {
  Link link("name");
  EXPECT_STREQ(link.getName(), "name");
  linkSpec s;
  EXPECT_EQ(link.getLinkSpecifier(&s), aErrNotFound);
  EXPECT_EQ(link.getConfig(nullptr), aErrParam);
  aEtherConfig config;
  ASSERT_EQ(link.getConfig(&config), aErrNone);
  EXPECT_TRUE(config.enabled);
  EXPECT_TRUE(config.fallback);
  const uint8_t loopback[4] = {127, 0, 0, 1};
  EXPECT_EQ(std::memcmp(&config.networkInterface, loopback, 4), 0);
  EXPECT_EQ(link.connect(), aErrConfiguration);
  EXPECT_FALSE(link.isConnected());
  EXPECT_EQ(link.getStatus(), kLinkPacketError);
  EXPECT_EQ(link.sendPacket(2, 1, 0, nullptr), aErrConnection);
  uint8_t address = 9;
  EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
  EXPECT_EQ(address, 0);
  EXPECT_EQ(link.disconnect(), aErrNone);
}

TEST(LinkState, NetworkedKindWithoutBrokerIsAConfigurationError) {
  Link link("net");
  linkSpec s{};
  s.type = AETHER;
  ASSERT_EQ(link.setConfig(qmtest::directConfig()), aErrNone);
  ASSERT_EQ(link.setLinkSpecifier(s), aErrNone);
  EXPECT_EQ(link.connect(), aErrConfiguration);
  s.type = static_cast<linkType>(9);
  ASSERT_EQ(link.setLinkSpecifier(s), aErrNone);
  EXPECT_EQ(link.connect(), aErrMode);
}

TEST(LinkState, NothingListensGivesConnectionError) {
  uint16_t port;
  { FakeDevice gone; port = gone.port(); }
  Link link("closed");
  linkSpec s{};
  s.type = TCPIP;
  s.serial_num = 1;
  s.t.ip.ip_address = FakeDevice::address();
  s.t.ip.ip_port = port;
  ASSERT_EQ(link.setConfig(qmtest::directConfig()), aErrNone);
  ASSERT_EQ(link.setLinkSpecifier(s), aErrNone);
  EXPECT_EQ(link.connect(), aErrConnection);
}

TEST_F(LinkTest, ConnectedLinkRefusesChanges) {
  EXPECT_EQ(link.connect(), aErrConnection);
  EXPECT_EQ(link.setLinkSpecifier(qmtest::tcpSpec(device)), aErrBusy);
  EXPECT_EQ(link.setConfig(qmtest::directConfig()), aErrMode);
  EXPECT_EQ(link.getStatus(), kLinkRunning);
  EXPECT_NE(link.linkId(), 0u);
  EXPECT_EQ(link.disconnect(), aErrNone);
  EXPECT_EQ(link.linkId(), 0u);
  EXPECT_FALSE(link.isConnected());
  // The specifier stays, so the link can connect again.
  EXPECT_EQ(link.connect(), aErrNone);
}

TEST_F(LinkTest, ModuleAddressQuery) {
  uint8_t address = 0;
  EXPECT_EQ(link.getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, 2);
}

TEST_F(LinkTest, ValuesGoOutBigEndian) {
  struct Case {
    uint32_t type;
    uint32_t value;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {ueiTypeNone, 0, {3, 0x84, 0x20}},
      {ueiTypeByte, 0xAB, {3, 0x84, 0x20, 0xAB}},
      {ueiTypeShort, 0x1234, {3, 0x84, 0x20, 0x12, 0x34}},
      {ueiTypeInt, 0x01020304, {3, 0x84, 0x20, 1, 2, 3, 4}},
  };
  for (const auto& c : cases) {
    uei r = request(2, c.type);
    r.v.intVal = 0;
    if (c.type == ueiTypeByte) r.v.byteVal = static_cast<uint8_t>(c.value);
    if (c.type == ueiTypeShort) r.v.shortVal = static_cast<uint16_t>(c.value);
    if (c.type == ueiTypeInt) r.v.intVal = c.value;
    EXPECT_EQ(link.sendUEI(r), aErrNone);
  }
  // Subindex form: the subindex byte follows the specifier.
  uei r = request(2, ueiTypeShort);
  r.v.shortVal = 0x0506;
  EXPECT_EQ(link.sendUEI(r, 7), aErrNone);
  for (int i = 0; i < 200 && device.received().size() < 5; ++i) usleep(10000);
  auto got = device.received();
  ASSERT_EQ(got.size(), 5u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(got[i].data, cases[i].bytes) << i;
  EXPECT_EQ(got[4].data, (std::vector<uint8_t>{3, 0x84, 0x20, 7, 5, 6}));
}

TEST_F(LinkTest, ByteBlocksTravelIn24ByteChunks) {
  std::vector<uint8_t> block(25);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i + 1);
  uei r = request(2, ueiTypeBytes);
  r.bytes.data = block.data();
  r.bytes.length = 24;
  ASSERT_EQ(link.sendUEI(r), aErrNone);
  r.bytes.length = 25;
  ASSERT_EQ(link.sendUEI(r), aErrNone);
  r.bytes.length = 0;
  ASSERT_EQ(link.sendUEI(r), aErrNone);
  for (int i = 0; i < 200 && device.received().size() < 4; ++i) usleep(10000);
  auto got = device.received();
  ASSERT_EQ(got.size(), 4u);
  ASSERT_EQ(got[0].data.size(), 28u);
  EXPECT_EQ(got[0].data.back(), 0x00);
  EXPECT_EQ(got[1].data.size(), 28u);
  EXPECT_EQ(got[1].data.back(), 0x80);
  ASSERT_EQ(got[2].data.size(), 5u);
  EXPECT_EQ(got[2].data[3], 25);
  EXPECT_EQ(got[2].data.back(), 0x01);
  EXPECT_EQ(got[3].data, (std::vector<uint8_t>{3, 0x84, 0x20, 0x00}));
}

TEST_F(LinkTest, BadRequestsSendNothing) {
  uei r = request(2, 3);  // no such value type
  EXPECT_EQ(link.sendUEI(r), aErrParam);
  EXPECT_EQ(link.sendUEI(request(2, ueiTypeBytes), 1), aErrParam);
  EXPECT_EQ(link.sendUEI(request(3, ueiTypeNone)), aErrPacket);
  EXPECT_EQ(link.sendUEI(request(0, ueiTypeNone)), aErrPacket);
  uint8_t data[28] = {};
  EXPECT_EQ(link.sendPacket(2, 1, 28, data), aErrParam);
  EXPECT_EQ(link.sendPacket(3, 1, 1, data), aErrPacket);
  uint8_t length = 1;
  EXPECT_EQ(link.receivePacket(5, data, &length, data), aErrPacket);
  usleep(100000);
  EXPECT_TRUE(device.received().empty());
}

TEST_F(LinkTest, ReplyFilterMatchesKeyAndDecodesLength) {
  device.setHandler([](const WirePacket& req) {
    // A reply for another module and one for another option come first.
    return std::vector<WirePacket>{{4, {3, 8, 0, 9}},
                                   {2, {3, 9, 0, 9}},
                                   {2, {3, 8, 0, 0x12, 0x34}},
                                   {req.address, {3, 8, 0x80, aErrBusy}}};
  });
  ASSERT_EQ(link.sendPacket(2, 3, 2, std::vector<uint8_t>{0x48, 0x20}.data()), aErrNone);
  uei reply;
  reply.module = 2;
  reply.command = 3;
  reply.option = 8;
  reply.specifier = 0;
  ASSERT_EQ(link.receiveUEI(2, 3, 8, 0, &reply), aErrNone);
  EXPECT_EQ(reply.type, static_cast<uint32_t>(ueiTypeShort));
  EXPECT_EQ(reply.v.shortVal, 0x1234);
  reply.specifier = 0;
  ASSERT_EQ(link.receiveUEI(2, 3, 8, 0, &reply), aErrNone);
  EXPECT_EQ(reply.specifier, 0x80);
  EXPECT_EQ(reply.v.byteVal, aErrBusy);
  // The other two stay queued until dropped; nothing else matches.
  reply.specifier = 0;
  EXPECT_EQ(link.receiveUEI(2, 3, 8, 0, &reply), aErrTimeout);
  EXPECT_EQ(link.dropMatchingUEIPackets(2, 3, 9, 0), aErrNone);
  uint8_t match[1] = {3};
  uint8_t length = 1;
  uint8_t buffer[28];
  ASSERT_EQ(link.receivePacket(2, match, &length, buffer), aErrNone);
  EXPECT_EQ(length, 4);  // the reply for module 4: raw matching ignores addresses
  EXPECT_EQ(link.receivePacket(2, match, &length, buffer), aErrTimeout);
}

TEST(LinkFilter, ReplyFilterOverOddPackets) {
  uei key;
  key.module = 2;
  key.command = 3;
  key.option = 9;
  key.specifier = 1;
  const uint8_t shortData[2] = {3, 9};
  aPacket* tooShort = aPacket_CreateWithData(2, 2, shortData);
  EXPECT_FALSE(sUEIFilter(tooShort, &key));
  EXPECT_FALSE(sUEIFilter(nullptr, &key));
  const uint8_t six[6] = {3, 9, 0x41, 1, 2, 3};  // stream flag in the index byte
  aPacket* odd = aPacket_CreateWithData(2, 6, six);
  key.type = 77;
  EXPECT_TRUE(sUEIFilter(odd, &key));
  EXPECT_EQ(key.type, 77u);  // a length without a value type keeps the type
  aPacket_Destroy(&tooShort);
  aPacket_Destroy(&odd);
}

TEST(LinkKeys, StreamKeyLayout) {
  EXPECT_EQ(Link::createStreamKey(0x06, 0x03, 0x09, 0x01, 0x02), 0x0206030901ull);
  Link link("keys");
  uint32_t value = 5;
  EXPECT_EQ(link.getStreamValue(6, 3, 9, 1, 2, &value), aErrNotFound);
  EXPECT_EQ(value, 5u);
}
