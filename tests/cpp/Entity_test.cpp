// Entities: get, set and call exchanges, byte blocks, the system and I2C
// entities.
// ctest-labels: threaded
#include "Entity.h"

#include <gtest/gtest.h>

#include "qm_object_fixture.h"
#include "autoGen_I2CClass_CPP.h"
#include "autoGen_SystemClass_CPP.h"

using namespace Ostrevan::Quillomat;
using qmtest::WirePacket;
using qmtest::ueiReply;

namespace {

class EntityTest : public qmtest::ObjectLayerTest {
 protected:
  void SetUp() override {
    connect();
    system.init(module.get(), 0);
  }
  // Splits a byte block into reply packets of up to 24 bytes each, with the
  // given sequence numbers (default 0, 1, 2 ...).
  static std::vector<WirePacket> blockReply(const WirePacket& req, const std::string& text,
                                            std::vector<uint8_t> sequences = {}) {
    std::vector<WirePacket> out;
    size_t at = 0;
    uint8_t n = 0;
    do {
      size_t chunk = std::min<size_t>(24, text.size() - at);
      WirePacket p = ueiReply(req, req.data[1] & 0x3F,
                              std::vector<uint8_t>(text.begin() + at, text.begin() + at + chunk));
      at += chunk;
      uint8_t sequence = n < sequences.size() ? sequences[n] : n;
      p.data.push_back(static_cast<uint8_t>((at < text.size() ? 0x80 : 0) | sequence));
      out.push_back(p);
      ++n;
    } while (at < text.size());
    return out;
  }
  SystemClass system;
};

}  // namespace

TEST(EntityUnbound, NeedsAModule) {
  EntityClass entity;
  uint8_t value;
  EXPECT_EQ(entity.getUEI8(1, &value), aErrResource);
  EXPECT_EQ(entity.callUEI(1), aErrResource);
  EXPECT_EQ(entity.drainUEI(1), aErrResource);
  EXPECT_EQ(entity.sendPacket(1, 0, nullptr), aErrResource);
  size_t count = 4;
  EXPECT_EQ(EntityClass::getUEIBytesCheck(nullptr, 4), aErrParam);
  EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 4), aErrNone);
  EXPECT_EQ(count, 1u);
  count = 6;
  EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 4), aErrMemory);
  EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 0), aErrMemory);
  count = 0;
  EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 0), aErrNone);
}

TEST_F(EntityTest, GettersSendTheGetFlagsAndDecodeTheReply) {
  device->setHandler([](const WirePacket& req) -> std::vector<WirePacket> {
    uint8_t option = req.data[1] & 0x3F;
    switch (option) {
      case 9: return {ueiReply(req, 9, {0x40, 0xF5, 0x84, 0x9A})};
      case 8: return {ueiReply(req, 8, {0x11})};
      case 7: return {ueiReply(req, 7, {0x2F, 2, 15, 3})};
    }
    return {};
  });
  uint32_t serial = 0;
  ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, 0x40F5849Au);
  EXPECT_EQ(device->received().back().data, (std::vector<uint8_t>{3, 0x49, 0x20}));
  uint8_t model = 0;
  ASSERT_EQ(system.getModel(&model), aErrNone);
  EXPECT_EQ(model, 0x11);
  uint32_t version = 0;
  ASSERT_EQ(system.getVersion(&version), aErrNone);
  EXPECT_EQ(version, 0x2F020F03u);
  EXPECT_EQ(system.getSerialNumber(nullptr), aErrParam);
}

TEST_F(EntityTest, ErrorReplyKeepsTheOutputUntouched) {
  device->setHandler([](const WirePacket& req) {
    uint8_t option = (req.data[1] & 0x80) ? (req.data[1] | 0xC0) : (req.data[1] & 0x3F);
    WirePacket reply = ueiReply(req, option, {aErrBusy});
    reply.data[2] |= 0x80;
    return std::vector<WirePacket>{reply};
  });
  uint8_t model = 42;
  EXPECT_EQ(system.getModel(&model), aErrBusy);
  EXPECT_EQ(model, 42);
  EXPECT_EQ(system.routeToMe(1), aErrBusy);
}

TEST_F(EntityTest, SettersAndCallsAwaitTheSetReply) {
  device->setHandler([](const WirePacket& req) {
    return std::vector<WirePacket>{ueiReply(req, req.data[1] | 0xC0)};
  });
  EXPECT_EQ(system.routeToMe(1), aErrNone);
  EXPECT_EQ(device->received().back().data, (std::vector<uint8_t>{3, 0x94, 0x20, 1}));
  EXPECT_EQ(system.setPowerLimitMax(0x01020304), aErrNone);
  EXPECT_EQ(device->received().back().data, (std::vector<uint8_t>{3, 0xA2, 0x20, 1, 2, 3, 4}));
  EXPECT_EQ(system.save(), aErrNone);
  EXPECT_EQ(device->received().back().data, (std::vector<uint8_t>{3, 0x8A, 0x20}));
  EntityClass entity;
  entity.init(module.get(), 3, 1);
  EXPECT_EQ(entity.setUEI16(5, 9, 0xBEEF), aErrNone);
  EXPECT_EQ(device->received().back().data, (std::vector<uint8_t>{3, 0x85, 0x21, 9, 0xBE, 0xEF}));
  // Store requests name the entity by command and index.
  EXPECT_EQ(entity.saveEntityToStore(), aErrNone);
  EXPECT_EQ(device->received().back().data,
            (std::vector<uint8_t>{0x5C, 0x80, 0x20, 0, 0, 3, 1}));
  EXPECT_EQ(entity.loadEntityFromStore(), aErrNone);
  EXPECT_EQ(device->received().back().data[1], 0x82);
}

TEST_F(EntityTest, ByteBlockGetCollectsPacketsInSequence) {
  std::string name = "a name of thirty-one characters";
  device->setHandler([&](const WirePacket& req) { return blockReply(req, name); });
  uint8_t buffer[32] = {};
  size_t count = 0;
  ASSERT_EQ(system.getName(buffer, sizeof buffer, &count), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), name);
  EXPECT_EQ(device->received().back().data, (std::vector<uint8_t>{3, 0x60, 0x20}));
}

TEST_F(EntityTest, ByteBlockGetFailsOnCapacityAndSkippedSequence) {
  std::string name = "twelve bytes";
  device->setHandler([&](const WirePacket& req) { return blockReply(req, name); });
  uint8_t small[10] = {};
  size_t count = 5;
  EXPECT_EQ(system.getName(small, sizeof small, &count), aErrMemory);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(system.getName(nullptr, 10, &count), aErrParam);

  std::string longName(40, 'x');
  device->setHandler([&](const WirePacket& req) { return blockReply(req, longName, {0, 2}); });
  uint8_t buffer[64];
  EXPECT_EQ(system.getName(buffer, sizeof buffer, &count), aErrTimeout);
  EXPECT_EQ(count, 24u);  // what arrived in sequence stays
}

TEST_F(EntityTest, PowerBehaviourWordsAreFourBytesEach) {
  std::vector<uint8_t> stored;
  device->setHandler([&](const WirePacket& req) -> std::vector<WirePacket> {
    if (req.data[1] & 0x80) {
      stored.assign(req.data.begin() + 3, req.data.end() - 1);
      return {ueiReply(req, req.data[1] | 0xC0)};
    }
    return blockReply(req, std::string(stored.begin(), stored.end()));
  });
  const uint32_t words[2] = {0x01020304, 0xA0B0C0D0};
  ASSERT_EQ(system.setInputPowerBehaviorConfig(words, 2), aErrNone);
  EXPECT_EQ(stored, (std::vector<uint8_t>{1, 2, 3, 4, 0xA0, 0xB0, 0xC0, 0xD0}));
  uint32_t back[4] = {};
  size_t count = 0;
  ASSERT_EQ(system.getInputPowerBehaviorConfig(back, 4, &count), aErrNone);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(back[0], words[0]);
  EXPECT_EQ(back[1], words[1]);
}

TEST_F(EntityTest, AwaitAndDrainUnrequestedReplies) {
  device->send({{2, {3, 22, 0, 0, 0, 1, 0}}});
  uint32_t value = 0;
  ASSERT_EQ(system.awaitUEI32Val(22, &value, 0), aErrNone);
  EXPECT_EQ(value, 0x100u);
  // Once the marker (option 23) has arrived, the value before it is queued.
  device->send({{2, {3, 22, 0, 0, 0, 2, 0}}, {2, {3, 23, 0, 0, 0, 0, 7}}});
  ASSERT_EQ(system.awaitUEI32Val(23, &value, 0), aErrNone);
  EXPECT_EQ(value, 7u);
  EXPECT_EQ(system.drainUEI(22), aErrNone);
  EXPECT_EQ(system.awaitUEI32Val(22, &value, 0), aErrTimeout);
  EXPECT_EQ(system.awaitUEI32Val(22, nullptr, 0), aErrParam);
}

TEST_F(EntityTest, I2CRequestsAndReplies) {
  I2CClass i2c;
  i2c.init(module.get(), 0);
  EXPECT_EQ(i2c.setSpeed(4), aErrParam);
  ASSERT_EQ(i2c.setSpeed(3), aErrNone);
  uint8_t speed = 0;
  ASSERT_EQ(i2c.getSpeed(&speed), aErrNone);
  EXPECT_EQ(speed, 3);
  uint8_t data[24] = {};
  EXPECT_EQ(i2c.write(0x10, 24, data), aErrSize);
  EXPECT_EQ(i2c.read(0x10, 24, data), aErrSize);

  uint8_t status = 0;
  std::vector<uint8_t> extra;
  device->setHandler([&](const WirePacket& req) {
    // Request: 8, index, address, length, speed, data. A read's reply
    // claims more bytes than it carries.
    const auto& d = req.data;
    bool read = d[2] & 1;
    WirePacket reply{req.address, {8, d[1], d[2], uint8_t(read ? 9 : 0), status}};
    if (read) reply.data.insert(reply.data.end(), extra.begin(), extra.end());
    return std::vector<WirePacket>{reply};
  });
  const uint8_t probe[2] = {0, 0};
  EXPECT_EQ(i2c.write(0x10, 2, probe), aErrNone);
  EXPECT_EQ(device->received().back().data, (std::vector<uint8_t>{8, 0, 0x10, 2, 3, 0, 0}));
  status = 0x86;
  EXPECT_EQ(i2c.write(0x10, 2, probe), aErrIO);
  status = 0;
  extra = {0xA1, 0xA2, 0xA3};
  uint8_t buffer[8];
  std::memset(buffer, 0xEE, sizeof buffer);
  ASSERT_EQ(i2c.read(0x10, 2, buffer), aErrNone);
  EXPECT_EQ(buffer[0], 0xA1);
  EXPECT_EQ(buffer[1], 0xA2);
  EXPECT_EQ(buffer[2], 0xEE);  // never past the requested length
  ASSERT_EQ(i2c.read(0x10, 5, buffer), aErrNone);
  EXPECT_EQ(buffer[3], 0xEE);  // never past what the reply carries
  EXPECT_EQ(device->received().back().data, (std::vector<uint8_t>{8, 0, 0x11, 5, 3}));
  device->setHandler([](const WirePacket& req) {
    return std::vector<WirePacket>{{req.address, {8, req.data[1], 1, 0}}};
  });
  EXPECT_EQ(i2c.setPullup(true), aErrPacket);
}
