// Module: connecting, the address query, and the device-information queries.
// ctest-labels: threaded
#include "Module.h"

#include <gtest/gtest.h>

#include "qm_object_fixture.h"

using namespace Ostrevan::Quillomat;
using qmtest::FakeDevice;
using qmtest::WirePacket;

using ModuleTest = qmtest::ObjectLayerTest;

TEST(ModuleNoDevice, SerialNumberZeroIsRejectedWithoutTraffic) {
  Module module(2, 0);
  EXPECT_EQ(module.connect(USB, 0), aErrParam);
  EXPECT_FALSE(module.isConnected());
  uint32_t build = 0;
  EXPECT_EQ(module.getBuild(nullptr), aErrParam);
  EXPECT_EQ(module.getBuild(&build), aErrConnection);
  EXPECT_EQ(module.hasUEI(3, 9, 0, 0x40), aErrConnection);
  EXPECT_EQ(module.debug(nullptr, 0), aErrConnection);
}

TEST_F(ModuleTest, AddressQueryReplacesTheModuleAddress) {
  connect(6, 2);
  EXPECT_EQ(module->getModuleAddress(), 6);
  EXPECT_EQ(device->addressQueries(), 1);
  EXPECT_EQ(module->connectFromSpec(qmtest::tcpSpec(*device)), aErrBusy);
}

TEST_F(ModuleTest, NetworkingModeOffKeepsTheAddress) {
  connect(6, 4, false);
  EXPECT_EQ(module->getModuleAddress(), 4);
  EXPECT_EQ(device->addressQueries(), 0);
}

TEST_F(ModuleTest, ReconnectAfterDisconnect) {
  connect();
  EXPECT_EQ(module->disconnect(), aErrNone);
  EXPECT_FALSE(module->isConnected());
  EXPECT_EQ(module->reconnect(), aErrNone);
  EXPECT_TRUE(module->isConnected());
}

TEST_F(ModuleTest, BuildNumberNeedsSixBytes) {
  connect();
  std::vector<uint8_t> reply = {0x49, 0xFF, 0x00, 0x01, 0x02, 0x03};
  device->setHandler([&](const WirePacket& req) {
    return std::vector<WirePacket>{{req.address, reply}};
  });
  uint32_t build = 0;
  ASSERT_EQ(module->getBuild(&build), aErrNone);
  EXPECT_EQ(build, 0x00010203u);
  EXPECT_EQ(device->received().back().data, (std::vector<uint8_t>{0x49, 0xFF}));
  reply.pop_back();
  build = 7;
  EXPECT_EQ(module->getBuild(&build), aErrSize);
  EXPECT_EQ(build, 7u);
  device->setHandler(nullptr);
  EXPECT_EQ(module->getBuild(&build), aErrTimeout);
}

TEST_F(ModuleTest, InformationQueries) {
  connect();
  device->setHandler([](const WirePacket& req) -> std::vector<WirePacket> {
    const auto& d = req.data;
    switch (d[1]) {
      case 1: return {{req.address, {0x49, 1, d[2], d[3], d[4], static_cast<uint8_t>(d[2] == 3 ? 0 : 21)}}};
      case 4: return {{req.address, {0x49, 4, d[2], 5}}};
      case 5: return {{req.address, {0x49, 5, d[2], d[3], 2}}};
      case 6: return {{req.address, {0x49, 6, d[2], 0x33, 1}}};  // wrong index echoed
    }
    return {};
  });
  EXPECT_EQ(module->hasUEI(3, 9, 0, 0x40), aErrNone);
  EXPECT_EQ(module->hasUEI(4, 9, 0, 0x80), aErrUnimplemented);
  EXPECT_EQ(device->received().back().data, (std::vector<uint8_t>{0x49, 1, 4, 9, 0, 0x80}));
  for (uint8_t flags : {0xC0, 0x01, 0x3F}) EXPECT_EQ(module->hasUEI(3, 9, 0, flags), aErrParam);
  uint8_t count = 9;
  EXPECT_EQ(module->classQuantity(8, &count), aErrNone);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(module->subClassQuantity(8, 1, &count), aErrNone);
  EXPECT_EQ(count, 2);
  uint8_t group = 9;
  EXPECT_EQ(module->entityGroup(8, 1, &group), aErrUnknown);
  EXPECT_EQ(group, 0);
}

TEST_F(ModuleTest, EchoMustMatch) {
  connect();
  bool corrupt = false;
  device->setHandler([&](const WirePacket& req) {
    WirePacket reply = req;
    if (corrupt) reply.data[2] ^= 1;
    return std::vector<WirePacket>{reply};
  });
  const uint8_t bytes[4] = {1, 2, 3, 4};
  EXPECT_EQ(module->debug(bytes, 4), aErrNone);
  corrupt = true;
  EXPECT_EQ(module->debug(bytes, 4), aErrIO);
}

TEST_F(ModuleTest, TwoModulesShareARoutersLink) {
  connect(2, 2);
  Module routed(6, false, 0);
  ASSERT_EQ(routed.setConfig(qmtest::directConfig()), aErrNone);
  ASSERT_EQ(routed.connectThroughLinkModule(module.get()), aErrNone);
  EXPECT_EQ(routed.getLink()->linkId(), module->getLink()->linkId());
  EXPECT_EQ(routed.getModuleAddress(), 6);
  // Already connected: nothing changes.
  EXPECT_EQ(routed.connectThroughLinkModule(module.get()), aErrNone);
  device->setHandler([](const WirePacket& req) {
    return std::vector<WirePacket>{{req.address, req.data}};
  });
  const uint8_t ping[1] = {9};
  EXPECT_EQ(routed.debug(ping, 1), aErrNone);
  EXPECT_EQ(device->received().back().address, 6);
  // Giving back the routed module's use leaves the router connected.
  EXPECT_EQ(routed.disconnect(), aErrNone);
  EXPECT_TRUE(module->isConnected());
  EXPECT_EQ(module->debug(ping, 1), aErrNone);
}

TEST(ModuleRouting, RouterWithoutLinkOrSpecifier) {
  Module router(2, 0);
  Module routed(4, false, 0);
  EXPECT_EQ(routed.connectThroughLinkModule(nullptr), aErrInitialization);
  EXPECT_EQ(routed.connectThroughLinkModule(&router), aErrNotFound);
}
