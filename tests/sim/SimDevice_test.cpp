// The emulated device's answers, packet by packet: these pin the protocol as
// the emulator plays it, without sockets in between.
#include <gtest/gtest.h>

#include "SimConfig.h"
#include "SimDevice.h"

using qmsim::Packet;
using Bytes = std::vector<uint8_t>;

namespace {

qmsim::DeviceConfig hub() {
  qmsim::Config c = qmsim::parseConfig(R"({"devices": [{
      "serial": "40F5849A", "module": 2, "model": 13, "firmware": "2.12.1", "build": 4711, "name": "bench hub",
      "loader": {"block_size": 64, "flash_base": 4096, "flash_size": 256, "uei_data": true,
                 "new_firmware": "2.13.0", "new_build": 4800},
      "routed": [{"serial": "1234ABCD", "module": 6, "model": 17, "firmware": "2.10.3", "build": 3000, "name": "old"},
                 {"serial": "1234ABCE", "module": 8, "firmware": "2.10.4", "name": "meter", "i2c_address": 20}]}]})");
  return c.devices[0];
}

// Sends one packet (address, length, data) and returns the replies in byte form.
struct Bench {
  qmsim::Device device{hub()};
  qmsim::Session session;
  std::vector<Bytes> ask(const Bytes& bytes) {
    Packet p(bytes[0], Bytes(bytes.begin() + 2, bytes.end()));
    EXPECT_EQ(p.length, bytes[1]);
    std::vector<Packet> out;
    device.receive(p, session, out);
    std::vector<Bytes> replies;
    for (const auto& r : out) replies.push_back(r.bytes());
    return replies;
  }
  Bytes one(const Bytes& bytes) {
    auto r = ask(bytes);
    EXPECT_EQ(r.size(), 1u);
    return r.empty() ? Bytes{} : r[0];
  }
};

}  // namespace

TEST(SimDevice, SystemEntityGetsSetsAndErrors) {
  Bench b;
  struct Case {
    Bytes request, reply;
  } cases[] = {
      {{2, 3, 3, 0x49, 0x20}, {2, 7, 3, 9, 0, 0x40, 0xF5, 0x84, 0x9A}},  // serial
      {{2, 3, 3, 0x48, 0x20}, {2, 4, 3, 8, 0, 13}},                      // model
      {{2, 3, 3, 0x47, 0x20}, {2, 7, 3, 7, 0, 0x2C, 0, 0, 1}},           // version 2.12.1
      {{2, 3, 3, 0x6D, 0x20}, {2, 7, 3, 45, 0, 0, 0, 0, 0}},             // protocol features
      {{2, 4, 3, 0x83, 0x20, 9}, {2, 4, 3, 0xC3, 0, 9}},                 // set heartbeat interval
      {{2, 3, 3, 0x43, 0x20}, {2, 4, 3, 3, 0, 9}},                       // ... and read it back
      {{2, 7, 3, 0xA2, 0x20, 0, 0, 0, 5}, {2, 7, 3, 0xE2, 0, 0, 0, 0, 5}},  // power limit max (32 bits)
      {{2, 3, 3, 0x8A, 0x20}, {2, 3, 3, 0xCA, 0}},                       // save (a call)
      // Errors: code after the index byte with bit 7 set.
      {{2, 3, 3, 0x7E, 0x20}, {2, 4, 3, 0x3E, 0x80, 29}},                // no option 62
      {{2, 4, 3, 0x89, 0x20, 1}, {2, 4, 3, 0xC9, 0x80, 29}},             // serial is read-only
      {{2, 3, 3, 0x54, 0x20}, {2, 4, 3, 0x14, 0x80, 29}},                // routeToMe is set-only
      {{2, 3, 3, 0x49, 0x22}, {2, 4, 3, 9, 0x82, 26}},                   // index 2
      {{2, 5, 3, 0x83, 0x20, 0, 9}, {2, 4, 3, 0xC3, 0x80, 14}},          // 16 bits for an 8-bit option
      {{2, 4, 3, 0x94, 0x20, 2}, {2, 4, 3, 0xD4, 0x80, 13}},             // routeToMe 2
      {{2, 3, 3, 0x49, 0x00}, {2, 4, 3, 9, 0x80, 2}},                    // no request bit
      {{2, 3, 0x33, 0x41, 0x20}, {2, 4, 0x33, 1, 0x80, 28}},             // no such entity class
  };
  for (const auto& c : cases) EXPECT_EQ(b.one(c.request), c.reply);
  // Not requests at all: replies, stream samples, a bare command byte.
  EXPECT_TRUE(b.ask({2, 3, 3, 0x09, 0x20}).empty());
  EXPECT_TRUE(b.ask({2, 3, 3, 0xC9, 0x20}).empty());
  EXPECT_TRUE(b.ask({4, 3, 3, 0x49, 0x20}).empty());  // someone else's address
}

TEST(SimDevice, NameIsAByteBlockInBothDirections) {
  Bench b;
  auto replies = b.ask({2, 3, 3, 0x60, 0x20});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0], (Bytes{2, 13, 3, 32, 0, 'b', 'e', 'n', 'c', 'h', ' ', 'h', 'u', 'b', 0x00}));

  // A 30-byte name in two packets: 24 bytes with "more" and sequence 0, then
  // 6 bytes with sequence 1.
  Bytes first{2, 28, 3, 0xA0, 0x20};
  for (int i = 0; i < 24; ++i) first.push_back(uint8_t('A' + i));
  first.push_back(0x80);
  EXPECT_TRUE(b.ask(first).empty());
  EXPECT_EQ(b.one({2, 10, 3, 0xA0, 0x20, '1', '2', '3', '4', '5', '6', 0x01}), (Bytes{2, 3, 3, 0xE0, 0}));
  replies = b.ask({2, 3, 3, 0x60, 0x20});
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].size(), 30u);
  EXPECT_EQ(replies[0].back(), 0x80);
  EXPECT_EQ(replies[1], (Bytes{2, 10, 3, 32, 0, '1', '2', '3', '4', '5', '6', 0x01}));

  // A packet out of sequence ends the block with an error; nothing is set.
  EXPECT_TRUE(b.ask(first).empty());
  EXPECT_EQ(b.one({2, 6, 3, 0xA0, 0x20, 'x', 'y', 0x02}), (Bytes{2, 4, 3, 0xE0, 0x80, 24}));
  // Longer than 32 bytes: refused.
  EXPECT_TRUE(b.ask(first).empty());
  Bytes second{2, 28, 3, 0xA0, 0x20};
  for (int i = 0; i < 24; ++i) second.push_back('z');
  second.push_back(0x01);
  EXPECT_EQ(b.one(second), (Bytes{2, 4, 3, 0xE0, 0x80, 14}));
  // An empty name: one packet with only the trailing byte.
  EXPECT_EQ(b.one({2, 4, 3, 0xA0, 0x20, 0}), (Bytes{2, 3, 3, 0xE0, 0}));
  EXPECT_EQ(b.one({2, 3, 3, 0x60, 0x20}), (Bytes{2, 4, 3, 32, 0, 0}));

  // Power-behaviour words: whole 32-bit words only.
  EXPECT_EQ(b.one({2, 11, 3, 0x9F, 0x20, 0, 0, 0, 1, 0, 0, 2, 0}), (Bytes{2, 4, 3, 0xDF, 0x80, 14}));
  EXPECT_EQ(b.one({2, 12, 3, 0x9F, 0x20, 0, 0, 0, 1, 0, 0, 0, 2, 0}), (Bytes{2, 3, 3, 0xDF, 0}));
  EXPECT_EQ(b.one({2, 3, 3, 0x5F, 0x20}), (Bytes{2, 12, 3, 31, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0}));
}

TEST(SimDevice, InformationQueries) {
  Bench b;
  struct Case {
    Bytes request, reply;
  } cases[] = {
      {{2, 2, 0x49, 0xFF}, {2, 6, 0x49, 0xFF, 0, 0, 0x12, 0x67}},
      {{2, 6, 0x49, 1, 3, 32, 0, 0x40}, {2, 6, 0x49, 1, 3, 32, 0, 0}},     // name can be read
      {{2, 6, 0x49, 1, 3, 9, 0, 0x80}, {2, 6, 0x49, 1, 3, 9, 0, 29}},      // serial cannot be set
      {{2, 6, 0x49, 1, 3, 9, 1, 0x40}, {2, 6, 0x49, 1, 3, 9, 1, 26}},      // no index 1
      {{2, 6, 0x49, 1, 0x5F, 10, 0, 0x80}, {2, 6, 0x49, 1, 0x5F, 10, 0, 0}},  // block data as UEI
      {{2, 6, 0x49, 1, 0x30, 1, 0, 0}, {2, 6, 0x49, 1, 0x30, 1, 0, 28}},   // no such class
      {{2, 3, 0x49, 4, 3}, {2, 4, 0x49, 4, 3, 1}},
      {{2, 3, 0x49, 4, 0x30}, {2, 4, 0x49, 4, 0x30, 0}},
      {{2, 4, 0x49, 5, 3, 0}, {2, 5, 0x49, 5, 3, 0, 0}},
      {{2, 4, 0x49, 6, 3, 0}, {2, 5, 0x49, 6, 3, 0, 0}},
      {{2, 4, 0x17, 9, 8, 7}, {2, 4, 0x17, 9, 8, 7}},
  };
  for (const auto& c : cases) EXPECT_EQ(b.one(c.request), c.reply);
  // Malformed queries are not answered.
  for (const Bytes& bad : {Bytes{2, 3, 0x49, 0xFF, 0}, Bytes{2, 2, 0x49, 1}, Bytes{2, 2, 0x49, 9}, Bytes{2, 1, 0x49}})
    EXPECT_TRUE(b.ask(bad).empty());
}

TEST(SimDevice, RoutesToDevicesOnItsBusOnlyWhenAsked) {
  Bench b;
  // I2C probes: a routed device acknowledges at its bus address.
  EXPECT_EQ(b.one({2, 7, 8, 0, 6, 2, 3, 0, 0}), (Bytes{2, 5, 8, 0, 6, 0, 0}));
  EXPECT_EQ(b.one({2, 7, 8, 0, 20, 2, 3, 0, 0}), (Bytes{2, 5, 8, 0, 20, 0, 0}));
  EXPECT_EQ(b.one({2, 7, 8, 0, 8, 2, 3, 0, 0}), (Bytes{2, 5, 8, 0, 8, 0, 0x86}));  // module 8 sits at 20
  EXPECT_EQ(b.one({2, 7, 8, 0, 10, 2, 3, 0, 0}), (Bytes{2, 5, 8, 0, 10, 0, 0x86}));
  EXPECT_EQ(b.one({2, 7, 8, 0, 6, 2, 4, 0, 0}), (Bytes{2, 5, 8, 0, 6, 0, 0x82}));  // speed 4
  EXPECT_EQ(b.one({2, 6, 8, 0, 6, 2, 3, 0}), (Bytes{2, 5, 8, 0, 6, 0, 0x8E}));     // one byte short
  EXPECT_EQ(b.one({2, 5, 8, 0, 7, 2, 3}), (Bytes{2, 7, 8, 0, 7, 2, 0, 0, 0}));     // read 2 bytes
  EXPECT_EQ(b.one({2, 4, 8, 0, 1, 1}), (Bytes{2, 5, 8, 0, 1, 1, 0}));              // pull-up on

  // Before routeToMe nothing answers for module 6.
  EXPECT_TRUE(b.ask({6, 3, 3, 0x49, 0x20}).empty());
  EXPECT_EQ(b.one({2, 4, 3, 0x94, 0x20, 1}), (Bytes{2, 4, 3, 0xD4, 0, 1}));
  EXPECT_EQ(b.one({6, 3, 3, 0x49, 0x20}), (Bytes{6, 7, 3, 9, 0, 0x12, 0x34, 0xAB, 0xCD}));
  EXPECT_EQ(b.one({6, 3, 3, 0x42, 0x20}), (Bytes{6, 4, 3, 2, 0, 2}));    // its router is module 2
  EXPECT_EQ(b.one({6, 3, 3, 0x47, 0x20}), (Bytes{6, 7, 3, 7, 0, 0x2A, 0, 0, 3}));  // 2.10.3
  EXPECT_EQ(b.one({6, 2, 0x49, 0xFF}), (Bytes{6, 6, 0x49, 0xFF, 0, 0, 0x0B, 0xB8}));
  // Firmware before 2.10.4 has no name; 2.10.4 has.
  EXPECT_EQ(b.one({6, 3, 3, 0x60, 0x20}), (Bytes{6, 4, 3, 32, 0x80, 29}));
  EXPECT_EQ(b.one({6, 6, 0x49, 1, 3, 32, 0, 0x40}), (Bytes{6, 6, 0x49, 1, 3, 32, 0, 29}));
  EXPECT_EQ(b.one({8, 3, 3, 0x60, 0x20}), (Bytes{8, 9, 3, 32, 0, 'm', 'e', 't', 'e', 'r', 0}));
  // The sync answer on the router's link stays the router's.
  EXPECT_EQ(b.one({0xAD, 0}), (Bytes{2, 0}));
  EXPECT_EQ(b.one({2, 4, 3, 0x94, 0x20, 0}), (Bytes{2, 4, 3, 0xD4, 0, 0}));
  EXPECT_TRUE(b.ask({6, 3, 3, 0x49, 0x20}).empty());
}

TEST(SimDevice, BootLoaderConversation) {
  Bench b;
  EXPECT_EQ(b.one({2, 2, 0x5F, 0}), (Bytes{2, 6, 0x5F, 0, 0x10, 0, 0, 0}));
  // PREPARE at flash address 0x1010: status 0, block size 64.
  EXPECT_EQ(b.one({2, 7, 0x5F, 3, 0x01, 0, 0, 0x10, 0x10}), (Bytes{2, 5, 0x5F, 7, 0, 0, 64}));
  Bytes data{2, 28, 0x5F, 1};
  for (int i = 0; i < 26; ++i) data.push_back(uint8_t(i + 1));
  EXPECT_EQ(b.one(data), (Bytes{2, 3, 0x5F, 1, 26}));
  EXPECT_EQ(b.one({2, 4, 0x5F, 1, 200, 100}), (Bytes{2, 3, 0x5F, 1, 2}));
  // Sum of 1..26 plus 200 and 100.
  uint32_t sum = 351 + 300;
  EXPECT_EQ(b.one({2, 2, 0x5F, 4}), (Bytes{2, 7, 0x5F, 7, 0, 0, 0, uint8_t(sum >> 8), uint8_t(sum)}));
  EXPECT_EQ(b.one({2, 4, 0x5F, 5, 0, 29}), (Bytes{2, 3, 0x5F, 7, 14}));  // only 28 received
  EXPECT_EQ(b.one({2, 4, 0x5F, 5, 0, 28}), (Bytes{2, 3, 0x5F, 7, 0}));
  const auto& flash = b.device.flash();
  EXPECT_EQ(flash[0x10 - 1], 0xFF);
  Bytes written(data.begin() + 4, data.end());
  written.insert(written.end(), {200, 100});
  EXPECT_EQ(Bytes(flash.begin() + 0x10, flash.begin() + 0x10 + 28), written);
  EXPECT_EQ(flash[0x10 + 28], 0xFF);
  // The sum starts again after a WRITE; the next WRITE follows the last one.
  EXPECT_EQ(b.one({2, 2, 0x5F, 4}), (Bytes{2, 7, 0x5F, 7, 0, 0, 0, 0, 0}));
  EXPECT_EQ(b.one({2, 3, 0x5F, 1, 0xAB}), (Bytes{2, 3, 0x5F, 1, 1}));
  EXPECT_EQ(b.one({2, 4, 0x5F, 5, 0, 1}), (Bytes{2, 3, 0x5F, 7, 0}));
  EXPECT_EQ(flash[0x10 + 28], 0xAB);
  // Outside the flash: status 13.
  EXPECT_EQ(b.one({2, 7, 0x5F, 3, 0, 0, 0, 0x20, 0}), (Bytes{2, 5, 0x5F, 7, 0, 0, 64}));
  EXPECT_EQ(b.one({2, 3, 0x5F, 1, 1}), (Bytes{2, 3, 0x5F, 1, 1}));
  EXPECT_EQ(b.one({2, 4, 0x5F, 5, 0, 1}), (Bytes{2, 3, 0x5F, 7, 13}));

  // Block data as one UEI byte block (option 10), answered once.
  EXPECT_EQ(b.one({2, 7, 0x5F, 3, 0, 0, 0, 0x10, 0x80}), (Bytes{2, 5, 0x5F, 7, 0, 0, 64}));
  Bytes block{2, 28, 0x5F, 0x8A, 0x20};
  for (int i = 0; i < 24; ++i) block.push_back(0x11);
  block.push_back(0x80);
  EXPECT_TRUE(b.ask(block).empty());
  EXPECT_EQ(b.one({2, 6, 0x5F, 0x8A, 0x20, 0x22, 0x22, 0x01}), (Bytes{2, 3, 0x5F, 0xCA, 0}));
  EXPECT_EQ(b.one({2, 2, 0x5F, 4}), (Bytes{2, 7, 0x5F, 7, 0, 0, 0, 0x01, 0xDC}));  // 24*17 + 2*34
  EXPECT_EQ(b.one({2, 4, 0x5F, 5, 0, 26}), (Bytes{2, 3, 0x5F, 7, 0}));

  // LOAD answers and, with no drop configured, keeps the link.
  EXPECT_EQ(b.one({2, 2, 0x5F, 2}), (Bytes{2, 2, 0x5F, 2}));
  EXPECT_FALSE(b.device.takeOutage());
  // REBOOT: no answer, an outage, then the new firmware.
  EXPECT_TRUE(b.ask({2, 2, 0x5F, 6}).empty());
  auto outage = b.device.takeOutage();
  ASSERT_TRUE(outage);
  EXPECT_TRUE(outage->newFirmware);
  EXPECT_EQ(outage->ms, 1000);
  b.device.restart(outage->newFirmware);
  EXPECT_EQ(b.one({2, 3, 3, 0x47, 0x20}), (Bytes{2, 7, 3, 7, 0, 0x2D, 0, 0, 0}));  // 2.13.0, legacy packing
  EXPECT_EQ(b.one({2, 2, 0x49, 0xFF}), (Bytes{2, 6, 0x49, 0xFF, 0, 0, 0x12, 0xC0}));
}

TEST(SimDevice, BootLoaderFaults) {
  Bench b;
  auto arm = [&](const char* kind, int value, int count = 1) {
    ASSERT_TRUE(b.device.addFault({kind, value, count})) << kind;
  };
  EXPECT_FALSE(b.device.addFault({"explode", 0, 1}));
  const Bytes prepare{2, 7, 0x5F, 3, 0, 0, 0, 0x10, 0};

  arm("no-reply", 0);
  EXPECT_TRUE(b.ask({2, 2, 0x5F, 0}).empty());
  EXPECT_EQ(b.ask({2, 2, 0x5F, 0}).size(), 1u);  // only once

  arm("prepare-status", 3);
  EXPECT_EQ(b.one(prepare), (Bytes{2, 5, 0x5F, 7, 3, 0, 64}));
  arm("block-size", 0);
  EXPECT_EQ(b.one(prepare), (Bytes{2, 5, 0x5F, 7, 0, 0, 0}));

  // A wrong count drops the packet, so the resend is what counts.
  arm("data-count", 0);
  EXPECT_EQ(b.one({2, 4, 0x5F, 1, 5, 6}), (Bytes{2, 3, 0x5F, 1, 1}));
  EXPECT_EQ(b.one({2, 4, 0x5F, 1, 5, 6}), (Bytes{2, 3, 0x5F, 1, 2}));
  arm("sum", 0);
  EXPECT_EQ(b.one({2, 2, 0x5F, 4}), (Bytes{2, 7, 0x5F, 7, 0, 0, 0, 0, 12}));
  EXPECT_EQ(b.one({2, 2, 0x5F, 4}), (Bytes{2, 7, 0x5F, 7, 0, 0, 0, 0, 11}));
  arm("write-status", 5);
  EXPECT_EQ(b.one({2, 4, 0x5F, 5, 0, 2}), (Bytes{2, 3, 0x5F, 7, 5}));
  EXPECT_EQ(b.device.flash()[0], 0xFF);  // PREPARE was at the first flash byte

  // Link drops: at the second DATA packet from now, and after LOAD.
  arm("drop-data", 2);
  EXPECT_EQ(b.ask({2, 3, 0x5F, 1, 1}).size(), 1u);
  EXPECT_FALSE(b.device.takeOutage());
  EXPECT_TRUE(b.ask({2, 3, 0x5F, 1, 1}).empty());
  auto drop = b.device.takeOutage();
  ASSERT_TRUE(drop);
  EXPECT_FALSE(drop->newFirmware);
  arm("drop-load", 0);
  EXPECT_EQ(b.one({2, 2, 0x5F, 2}), (Bytes{2, 2, 0x5F, 2}));
  EXPECT_TRUE(b.device.takeOutage());

  // "always" faults stay armed.
  arm("no-reply", 4, -1);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(b.ask({2, 2, 0x5F, 4}).empty());
  b.device.clearFaults();
  EXPECT_EQ(b.ask({2, 2, 0x5F, 4}).size(), 1u);
}

TEST(SimDevice, ResetCallAnswersThenReboots) {
  Bench b;
  EXPECT_EQ(b.one({2, 3, 3, 0x8B, 0x20}), (Bytes{2, 3, 3, 0xCB, 0}));
  auto outage = b.device.takeOutage();
  ASSERT_TRUE(outage);
  EXPECT_FALSE(outage->newFirmware);  // nothing was written
  // Factory defaults bring the configured name back.
  EXPECT_EQ(b.one({2, 5, 3, 0xA0, 0x20, 'x', 0}), (Bytes{2, 3, 3, 0xE0, 0}));
  EXPECT_EQ(b.one({2, 3, 3, 0xA5, 0x20}), (Bytes{2, 3, 3, 0xE5, 0}));
  EXPECT_EQ(b.one({2, 3, 3, 0x60, 0x20}).size(), 15u);
}

TEST(SimDevice, SynchronisationFaults) {
  Bench b;
  ASSERT_TRUE(b.device.addFault({"sync-address", 7, 2}));
  ASSERT_TRUE(b.device.addFault({"no-sync", 0, 1}));
  EXPECT_TRUE(b.ask({0xAD, 0}).empty());
  EXPECT_EQ(b.one({0xAD, 0}), (Bytes{7, 0}));
  EXPECT_EQ(b.one({0xAD, 0}), (Bytes{7, 0}));
  EXPECT_EQ(b.one({0xAD, 0}), (Bytes{2, 0}));
  EXPECT_TRUE(b.ask({0xAD, 1, 0}).empty());  // not a synchronisation request
}
