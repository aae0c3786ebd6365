// A Module connected over TCP to a scripted device (qmtest::FakeDevice).
// Header-only, for test programs that link the library.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "Module.h"
#include "qm_fake_device.h"

namespace qmtest {

inline linkSpec tcpSpec(const FakeDevice& device, uint32_t serial = 0x40F5849A) {
  linkSpec s;
  std::memset(&s, 0, sizeof s);
  s.type = TCPIP;
  s.serial_num = serial;
  s.t.ip.ip_address = FakeDevice::address();
  s.t.ip.ip_port = device.port();
  return s;
}

inline Ostrevan::Quillomat::aEtherConfig directConfig() {
  Ostrevan::Quillomat::aEtherConfig config;
  config.enabled = false;
  config.fallback = false;
  return config;
}

// A reply to a UEI request: command, reply option, bare index, value bytes.
inline WirePacket ueiReply(const WirePacket& request, uint8_t option,
                           std::vector<uint8_t> value = {}) {
  WirePacket reply{request.address, {request.data[0], option,
                                     static_cast<uint8_t>(request.data[2] & 0x1F)}};
  reply.data.insert(reply.data.end(), value.begin(), value.end());
  return reply;
}

class ObjectLayerTest : public ::testing::Test {
 protected:
  void connect(uint8_t deviceAddress = 2, uint8_t moduleAddress = 2, bool networking = true) {
    device = std::make_unique<FakeDevice>(deviceAddress);
    module = std::make_unique<Ostrevan::Quillomat::Module>(moduleAddress, networking, 0);
    ASSERT_EQ(module->setConfig(directConfig()), aErrNone);
    ASSERT_EQ(module->connectFromSpec(tcpSpec(*device)), aErrNone);
  }
  void TearDown() override {
    module.reset();
    device.reset();
  }
  // Only the requests of the test, without the route requests of start/stop.
  std::vector<WirePacket> requests() { return device->received(); }

  std::unique_ptr<FakeDevice> device;
  std::unique_ptr<Ostrevan::Quillomat::Module> module;
};

}  // namespace qmtest
