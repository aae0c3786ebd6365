// The boot-loader conversation against a scripted device: chunking, sum
// checks, writes, resends and the replies that end a transfer.
// ctest-labels: threaded
#include "UpdaterEntity.h"

#include <gtest/gtest.h>

#include "qm_object_fixture.h"
#include "qm_recording_display.h"

using qmtest::WirePacket;

namespace {

// A boot loader that acknowledges data, sums it and writes on request;
// each field changes one answer for a test.
struct ScriptedLoader {
  uint8_t prepareStatus = 0;
  uint16_t blockSize = 1024;
  int wrongAcks = 0;          // acknowledge this many DATA packets with n - 1
  int32_t sumOffset = 0;      // added to the sum the device reports
  bool shortWrite = false;    // WRITE status reply without its status byte
  uint32_t sum = 0;
  std::vector<size_t> dataSizes;
  std::vector<uint16_t> writes;
  int sums = 0;

  std::vector<WirePacket> operator()(const WirePacket& req) {
    const auto& d = req.data;
    if (d.size() < 2 || d[0] != cmdUPGRADE) return {};
    auto reply = [&](std::vector<uint8_t> bytes) {
      return std::vector<WirePacket>{{req.address, bytes}};
    };
    switch (d[1]) {
      case val_UPGRADE_INIT: return reply({0x5F, 0, 0x00, 0x01, 0x00, 0x00});
      case val_UPGRADE_PREPARE:
        sum = 0;
        return reply({0x5F, 7, prepareStatus, uint8_t(blockSize >> 8), uint8_t(blockSize)});
      case val_UPGRADE_DATA: {
        uint8_t n = static_cast<uint8_t>(d.size() - 2);
        dataSizes.push_back(n);
        if (wrongAcks > 0) {
          --wrongAcks;
          return reply({0x5F, 1, uint8_t(n - 1)});
        }
        for (size_t i = 2; i < d.size(); ++i) sum += d[i];
        return reply({0x5F, 1, n});
      }
      case val_UPGRADE_SUM: {
        ++sums;
        uint32_t s = sum + static_cast<uint32_t>(sumOffset);
        return reply({0x5F, 7, 0, uint8_t(s >> 24), uint8_t(s >> 16), uint8_t(s >> 8), uint8_t(s)});
      }
      case val_UPGRADE_WRITE:
        writes.push_back(static_cast<uint16_t>((d[2] << 8) | d[3]));
        sum = 0;
        return shortWrite ? reply({0x5F, 7}) : reply({0x5F, 7, 0});
      case val_UPGRADE_LOAD: return reply({0x5F, 2});
    }
    return {};
  }
};

class UpdaterEntityTest : public qmtest::ObjectLayerTest {
 protected:
  void SetUp() override {
    connect();
    device->setHandler([this](const WirePacket& req) { return loader(req); });
    entity.init(module.get(), 0, true, false);
  }
  // A BIRD block: four address bytes, then `size` bytes to program.
  static std::vector<uint8_t> block(uint32_t address, size_t size) {
    std::vector<uint8_t> b = {uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8),
                              uint8_t(address)};
    for (size_t i = 0; i < size; ++i) b.push_back(static_cast<uint8_t>(i * 7 + 1));
    return b;
  }
  ScriptedLoader loader;
  UpdaterEntity entity;
  qmtest::RecordingDisplay display;
};

}  // namespace

TEST_F(UpdaterEntityTest, InitAndPrepare) {
  EXPECT_EQ(entity.LoaderInit(), aErrNone);
  auto data = block(0x00012345, 8);
  uint16_t size = 0;
  ASSERT_EQ(entity.TransferPrepare(data.data(), uint32_t(data.size()), 0x21, &size), aErrNone);
  EXPECT_EQ(size, 1024);
  EXPECT_EQ(device->received().back().data,
            (std::vector<uint8_t>{0x5F, 3, 0x21, 0x00, 0x01, 0x23, 0x45}));
  loader.prepareStatus = 3;
  size = 77;
  EXPECT_EQ(entity.TransferPrepare(data.data(), uint32_t(data.size()), 0, &size),
            aErrInvalidOption);
  EXPECT_EQ(size, 77);
}

TEST_F(UpdaterEntityTest, LoaderBlockGoesIn26ByteChunksWithASumCheck) {
  auto data = block(0x100, 60);
  ASSERT_EQ(entity.LoaderTransfer(data.data(), uint32_t(data.size())), aErrNone);
  EXPECT_EQ(loader.dataSizes, (std::vector<size_t>{26, 26, 8}));
  EXPECT_EQ(loader.sums, 1);
  EXPECT_TRUE(loader.writes.empty());
}

TEST_F(UpdaterEntityTest, WrongAcknowledgementResendsTheChunk) {
  loader.wrongAcks = 1;
  auto data = block(0x100, 26);
  ASSERT_EQ(entity.LoaderTransfer(data.data(), uint32_t(data.size())), aErrNone);
  EXPECT_EQ(loader.dataSizes, (std::vector<size_t>{26, 26}));
}

TEST_F(UpdaterEntityTest, ResendsAreBounded) {
  loader.wrongAcks = 1000;
  auto data = block(0x100, 10);
  EXPECT_EQ(entity.LoaderTransfer(data.data(), uint32_t(data.size())), aErrPacket);
  EXPECT_EQ(loader.dataSizes.size(), size_t(UpdaterEntity::DATA_SENDS));
}

TEST_F(UpdaterEntityTest, SumMismatchAndNoValidation) {
  loader.sumOffset = 1;
  auto data = block(0x100, 30);
  EXPECT_EQ(entity.LoaderTransfer(data.data(), uint32_t(data.size())), aErrInvalidOption);
  UpdaterEntity unchecked;
  unchecked.init(module.get(), 0, false, false);
  int before = loader.sums;
  EXPECT_EQ(unchecked.LoaderTransfer(data.data(), uint32_t(data.size())), aErrNone);
  EXPECT_EQ(loader.sums, before);
}

TEST_F(UpdaterEntityTest, FirmwareGoesInBlockSizeChunksEachWritten) {
  auto data = block(0x8000, 2048);
  ASSERT_EQ(entity.FirmwareTransfer(data.data(), uint32_t(data.size()), 1024, display), aErrNone);
  EXPECT_EQ(loader.writes, (std::vector<uint16_t>{1024, 1024}));
  EXPECT_EQ(loader.sums, 2);
  EXPECT_EQ(display.progress.front(), "show");
  EXPECT_EQ(display.progress.back(), "hide");
}

TEST_F(UpdaterEntityTest, FirmwareTransferFailures) {
  auto data = block(0x8000, 100);
  EXPECT_EQ(entity.FirmwareTransfer(data.data(), uint32_t(data.size()), 0, display), aErrSize);
  EXPECT_TRUE(loader.dataSizes.empty());
  loader.shortWrite = true;
  EXPECT_EQ(entity.FirmwareTransfer(data.data(), uint32_t(data.size()), 64, display),
            aErrInvalidOption);
  EXPECT_EQ(loader.writes.size(), 1u);
}

TEST_F(UpdaterEntityTest, LoaderStartAnswered) {
  EXPECT_EQ(entity.LoaderStart(), aErrNone);
  EXPECT_EQ(device->received().back().data, (std::vector<uint8_t>{0x5F, 2}));
}

TEST_F(UpdaterEntityTest, UEIBlocksWhenTheDeviceSupportsThem) {
  bool supported = false;
  std::vector<uint8_t> received;
  device->setHandler([&](const WirePacket& req) -> std::vector<WirePacket> {
    const auto& d = req.data;
    if (d[0] == 0x49 && d[1] == 1)
      return {{req.address, {0x49, 1, d[2], d[3], d[4], uint8_t(supported ? 0 : aErrUnimplemented)}}};
    if (d[0] == 0x5F && (d[1] & 0x3F) == 10 && d.size() >= 4) {
      received.insert(received.end(), d.begin() + 3, d.end() - 1);
      if (d.back() & 0x80) return {};
      loader.sum = 0;
      for (uint8_t b : received) loader.sum += b;
      return {{req.address, {0x5F, uint8_t(10 | 0xC0), 0}}};
    }
    return loader(req);
  });
  EXPECT_EQ(entity.CheckUEIDataSupport(), aErrUnimplemented);
  EXPECT_FALSE(entity.usesUEIData());
  supported = true;
  ASSERT_EQ(entity.CheckUEIDataSupport(), aErrNone);
  EXPECT_TRUE(entity.usesUEIData());
  auto data = block(0x100, 50);
  ASSERT_EQ(entity.LoaderTransfer(data.data(), uint32_t(data.size())), aErrNone);
  EXPECT_EQ(received, std::vector<uint8_t>(data.begin() + 4, data.end()));
  EXPECT_TRUE(loader.dataSizes.empty());
}

TEST_F(UpdaterEntityTest, RebootReturnsOnceTheLinkDrops) {
  // This device answers nothing and keeps its link: with noRebootWait the
  // reboot polls once and returns.
  UpdaterEntity routed;
  routed.init(module.get(), 0, true, true);
  EXPECT_EQ(routed.LoaderReboot(display), aErrNone);
  EXPECT_EQ(device->received().back().data, (std::vector<uint8_t>{0x5F, 6}));
  EXPECT_EQ(display.progress.back(), "stop Verifying Update");
}
