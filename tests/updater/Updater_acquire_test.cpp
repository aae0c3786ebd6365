// The download workflow called directly, for the paths no command line
// reaches: the fingerprint download, malformed build texts, a store that
// can't be used and a file that can't be written.
// ctest-labels: threaded
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "UpdateServer.h"
#include "Updater.h"
#include "birdwriter.h"
#include "qm_process.h"
#include "qm_recording_display.h"

namespace {

class AcquireWorkflow : public ::testing::Test {
 protected:
  void SetUp() override {
    birdwriter::Release release;
    release.build = 100;
    release.version = "1.2.3";
    const auto bytes = birdwriter::packRelease(release);
    image_.assign(bytes.begin(), bytes.end());
    std::filesystem::create_directories(dir_.file("repo/000012AB"));
    qmtest::writeFile(dir_.file("repo/000012AB/100.bird"), image_);
    qmtest::writeFile(dir_.file("repo/fingerprints"), "11 22 33 44 000012AB\n");
    updateserver::ServerOptions options;
    options.repository = dir_.file("repo");
    server_ = std::make_unique<updateserver::UpdateServer>(options);
    ASSERT_TRUE(server_->start());
  }

  Updater makeUpdater(const std::string& store) { return Updater(server_->url().c_str(), store.c_str(), display_); }
  std::string store() const { return dir_.file("store"); }

  qmtest::TempDir dir_;
  std::string image_;
  std::unique_ptr<updateserver::UpdateServer> server_;
  qmtest::RecordingDisplay display_;
};

TEST_F(AcquireWorkflow, FingerprintDownloadUsesTheServersSerialAndBuild) {
  Updater updater = makeUpdater(store());
  Fingerprint fingerprint;
  fingerprint.words[0] = 0x11;
  fingerprint.words[1] = 0x22;
  fingerprint.words[2] = 0x33;
  fingerprint.words[3] = 0x44;
  EXPECT_EQ(updater.Download_Firmware(fingerprint, "", false), 100u);
  EXPECT_TRUE(display_.errors().empty());
  EXPECT_EQ(qmtest::readFile(store() + "/000012AB/100.bird"), image_);
  EXPECT_EQ(server_->requests().front(), "/cgi/u?brief=true&fp=00000011%2000000022%2000000033%2000000044&op=fix&");

  // A chip the server doesn't know, with no default image to offer.
  fingerprint.words[3] = 0x45;
  EXPECT_EQ(updater.Download_Firmware(fingerprint, "", false), 0u);
  EXPECT_EQ(display_.errors().back(), "Failed to retrieve recovery information from Ostrevan update server");
}

TEST_F(AcquireWorkflow, BadArgumentsAreRefusedBeforeAnyRequest) {
  Updater updater = makeUpdater(store());
  struct Case {
    uint32_t serial;
    std::string build;
    std::string error;
  };
  const Case cases[] = {
      {0x12AB, "12ab", "Build number '12ab' must be an number"},
      {0x12AB, "-1", "Build number '-1' must be an number"},
      {0x12AB, "99999999999999999999999", "Build number '99999999999999999999999' must be an number"},
      {0, "", "Serial Number must be non-zero"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(updater.Download_Firmware(c.serial, c.build, false, false), 0u);
    EXPECT_EQ(display_.errors().back(), c.error);
  }
  EXPECT_TRUE(server_->requests().empty());
  // Only the low 32 bits of a long number count: 4294967396 is build 100.
  EXPECT_EQ(updater.Download_Firmware(0x12AB, "4294967396", false, false), 100u);
}

TEST_F(AcquireWorkflow, StoreThatCannotBeOpened) {
  qmtest::writeFile(dir_.file("plainfile"), "x");
  Updater updater = makeUpdater(dir_.file("plainfile"));
  EXPECT_EQ(updater.Download_Firmware(0x12AB, "", false, false), 0u);
  ASSERT_EQ(display_.errors().size(), 1u);
  EXPECT_EQ(display_.errors()[0].rfind("Failed to Create UpdaterStore in: Download_Firmware - Exception: ", 0), 0u)
      << display_.errors()[0];
}

TEST_F(AcquireWorkflow, FailedWriteLeavesTheSettingsAlone) {
  // A directory where the image should go makes the write fail.
  std::filesystem::create_directories(store() + "/000012AB/100.bird");
  Updater updater = makeUpdater(store());
  EXPECT_EQ(updater.Download_Firmware(0x12AB, "100", false, false), 0u);
  ASSERT_FALSE(display_.errors().empty());
  EXPECT_EQ(display_.errors().back().rfind("Failed to write file with ", 0), 0u) << display_.errors().back();
  const std::string settings = qmtest::readFile(store() + "/000012AB/.settings");
  EXPECT_EQ(settings.find("LATEST_DOWNLOAD"), std::string::npos) << settings;
  EXPECT_EQ(settings.find("LAST_DOWNLOAD_DATE"), std::string::npos) << settings;
  EXPECT_TRUE(std::filesystem::is_directory(store() + "/000012AB/100.bird"));
}

TEST_F(AcquireWorkflow, SpinnerRunsOnTheDisplayUntilTheDownloadEnds) {
  Updater updater = makeUpdater(store());
  EXPECT_EQ(updater.Download_Firmware(0x12AB, "", false, false), 100u);
  ASSERT_GE(display_.progress.size(), 2u);
  EXPECT_EQ(display_.progress.front(), "spin Downloading");
  EXPECT_EQ(display_.progress.back(), "stop Downloading");
  for (size_t i = 0; i + 1 < display_.progress.size(); ++i) EXPECT_EQ(display_.progress[i], "spin Downloading");
}

}  // namespace
