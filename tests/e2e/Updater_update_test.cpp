// Updater -U against the emulated device and its boot loader, inside a
// private network namespace (connecting by serial number runs discovery).
// Checks output, exit status, the device's flash and the store's settings.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "qm_sim.h"
#include "qm_netns.h"
#include "qm_process.h"

namespace {

using simtest::Sim;

constexpr const char* SERIAL = "40F5849A";
constexpr uint32_t SERIAL_NUMBER = 0x40F5849A;
constexpr uint32_t FIRMWARE_ADDRESS = 0x8000;
constexpr uint32_t SERIAL_ADDRESS = 0x8100;
constexpr uint32_t DESCRIPTOR_ADDRESS = 0x8200;

bool contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

class UpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!qmtest::NetNamespace::available()) GTEST_SKIP() << "needs network namespaces (root)";
    ns = std::make_unique<qmtest::NetNamespace>();
  }

  std::string tcp() const {
    return R"("tcp": {"address": ")" + ns->deviceAddress() + R"(", "port": 0})";
  }
  // A device with a boot loader that comes back as 2.13.0 build 4800.
  std::string device(const std::string& serial = SERIAL, const std::string& extra = "") const {
    return R"({"serial": ")" + serial + R"(", "module": 2, "model": 13, "firmware": "2.12.1",
               "build": 4711, "name": "bench", "heartbeat_ms": 0, )" + tcp() + R"(,
               "loader": {"block_size": 1024, "reboot_ms": 300, "uei_data": true,
                          "new_firmware": "2.13.0", "new_build": 4800})" +
           (extra.empty() ? "" : ", " + extra) + "}";
  }
  void startSim(const std::string& devices) {
    qmtest::RunOptions options;
    options.netns = ns->name();
    sim = std::make_unique<Sim>(
        simtest::configJson(devices, R"("discovery": {"interface": ")" + ns->deviceAddress() + R"("})"),
        options);
    ASSERT_TRUE(sim->ready()) << sim->process().errors();
  }
  // Makes a BIRD image with birdtool; `extra` are more pack options.
  std::string image(const std::string& name, std::vector<std::string> extra = {}) {
    std::string path = work.file(name);
    std::vector<std::string> argv{qmtest::binPath("birdtool"), "pack", "-o", path,
                                  "--version", "2.13.0", "--build", "4800",
                                  "--firmware", "0x8000:4096", "--loader", "0x10000000:600",
                                  "--loader-entry", "0x10000000"};
    bool model = false, kind = false;
    for (const auto& e : extra) {
      model |= e == "--model";
      kind |= e == "--serial";
    }
    if (!model) extra.insert(extra.end(), {"--model", "QM-Switch 2"});
    if (!kind)
      extra.insert(extra.end(), {"--generic", "--serial-address", "0x8100",
                                 "--descriptor-address", "0x8200"});
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto result = qmtest::run(argv);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return path;
  }
  std::string deviceDir() const { return store.path() + "/updater/" + SERIAL; }
  void storeImage(const std::string& path, const std::string& name) {
    qmtest::run({"mkdir", "-p", deviceDir()});
    qmtest::writeFile(deviceDir() + "/" + name, qmtest::readFile(path));
  }
  std::string settings() const { return qmtest::readFile(deviceDir() + "/.settings"); }

  qmtest::RunResult updater(const std::vector<std::string>& args) {
    std::vector<std::string> argv{qmtest::binPath("Updater"), "-i", store.path(), "-u", serverUrl};
    argv.insert(argv.end(), args.begin(), args.end());
    qmtest::RunOptions options;
    options.netns = ns->name();
    options.timeout = std::chrono::seconds(240);
    return qmtest::run(argv, options);
  }
  // The emulated flash as written so far.
  std::string flash(const std::string& serial = SERIAL) {
    std::string path = work.file(serial + ".flash");
    EXPECT_EQ(sim->control("dump " + serial + " " + path).rfind("ok", 0), 0u);
    return qmtest::readFile(path);
  }

  std::unique_ptr<qmtest::NetNamespace> ns;
  std::unique_ptr<Sim> sim;
  qmtest::TempDir store;
  qmtest::TempDir work;
  // Nothing listens there: the server is "down" unless a test starts one.
  std::string serverUrl = "http://127.0.0.1:9/cgi/u";
};

}  // namespace

TEST_F(UpdateTest, GenericImageFromFileIsPersonalisedAndRecorded) {
  startSim(device());
  std::string path = image("generic.bird");
  auto result = updater({"-U", "-d", SERIAL, "-f", path});
  ASSERT_FALSE(result.timedOut);
  ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_TRUE(contains(result.out, "Updating from Birdfile: " + path)) << result.out;
  EXPECT_TRUE(contains(result.out, "Transferring loader block 1 of 1, 604 bytes")) << result.out;
  EXPECT_TRUE(contains(result.out, "Transferring firmware block 1 of 1, 4100 bytes")) << result.out;
  EXPECT_TRUE(contains(result.out, "Update time:")) << result.out;

  std::string bytes = flash();
  ASSERT_GE(bytes.size(), DESCRIPTOR_ADDRESS + 16u);
  uint32_t word = 0;
  std::memcpy(&word, bytes.data() + SERIAL_ADDRESS, 4);
  EXPECT_EQ(word, SERIAL_NUMBER);  // little-endian serial word
  for (int i = 0; i < 8; ++i) EXPECT_EQ(bytes[DESCRIPTOR_ADDRESS + 2 * i], SERIAL[i]) << i;
  EXPECT_TRUE(contains(settings(), "LATEST_TRANSFER=" + path + "\n")) << settings();
  EXPECT_TRUE(contains(settings(), "LAST_TRANSFER_DATE=")) << settings();
  // The device came back with its new firmware.
  EXPECT_TRUE(sim->waitLog("reboot")) << sim->packetLog();
  EXPECT_TRUE(contains(sim->control("status " + std::string(SERIAL)), "2.13.0"));
}

TEST_F(UpdateTest, StoredBuildGivenWithB) {
  startSim(device());
  storeImage(image("4800.bird"), "4800.bird");
  auto result = updater({"-U", "-d", SERIAL, "-b", "4800"});
  ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_TRUE(contains(result.out, "Updating firmware with build: 4800")) << result.out;
  EXPECT_TRUE(contains(settings(), "LATEST_TRANSFER=4800.bird\n")) << settings();
}

TEST_F(UpdateTest, FallsBackToTheLatestDownload) {
  startSim(device());
  storeImage(image("4800.bird"), "4800.bird");
  qmtest::writeFile(deviceDir() + "/.settings", "LATEST_DOWNLOAD=4800.bird\n");
  auto result = updater({"-U", "-d", SERIAL});
  ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_TRUE(contains(result.out, "Updating with the Latest Download")) << result.out;
}

TEST_F(UpdateTest, FallsBackToTheLatestTransfer) {
  startSim(device());
  storeImage(image("4800.bird"), "4800.bird");
  qmtest::writeFile(deviceDir() + "/.settings", "LATEST_TRANSFER=4800.bird\n");
  auto result = updater({"-U", "-d", SERIAL});
  ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_TRUE(contains(result.out, "Updating with the Latest Transfer")) << result.out;
}

// The server's current build is used when the store holds it; when it
// does not, the update says so and looks for something stored.
TEST_F(UpdateTest, ServersCurrentBuild) {
  startSim(device());
  qmtest::TempDir repo;
  qmtest::run({"mkdir", "-p", repo.path() + "/" + SERIAL});
  std::string served = image("4800.bird");
  qmtest::writeFile(repo.path() + "/" + SERIAL + "/4800.bird", qmtest::readFile(served));
  qmtest::RunOptions options;
  options.netns = ns->name();
  qmtest::Background server({qmtest::binPath("quillomat-update-server"), "--repo", repo.path(),
                             "--port", "0"},
                            options);
  std::string line = server.waitForLine("serving");
  ASSERT_NE(line, "") << server.errors();
  serverUrl = line.substr(line.rfind(' ') + 1);

  auto result = updater({"-U", "-d", SERIAL});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_TRUE(contains(result.out,
                       "New firmware is available.  Updater will proceed if valid firmware is "
                       "found locally."))
      << result.out;
  EXPECT_TRUE(contains(result.err, "Could not find valid build for this device.")) << result.err;

  storeImage(served, "4800.bird");
  result = updater({"-U", "-d", SERIAL});
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_TRUE(contains(result.out, "Updating firmware with build: 4800")) << result.out;
  EXPECT_FALSE(contains(result.out, "New firmware is available"));
}

TEST_F(UpdateTest, NoBuildAnywhere) {
  startSim(device());
  auto result = updater({"-U", "-d", SERIAL});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_TRUE(contains(result.err, "Could not find valid build for this device.")) << result.err;
  EXPECT_FALSE(sim->waitLog(" init", std::chrono::milliseconds(100)));
}

TEST_F(UpdateTest, ModelAndSerialChecks) {
  startSim(device());
  std::string wrongModel = image("dac.bird", {"--model", "QM-DAC 4"});
  auto result = updater({"-U", "-d", SERIAL, "-f", wrongModel});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_TRUE(contains(result.err,
                       "Connected device model and Bird file model do not match [QM-Switch 2] (0)"))
      << result.err;
  EXPECT_TRUE(contains(result.err, "Birdfile failed validation")) << result.err;

  std::string otherDevice = image("other.bird", {"--serial", "11111111"});
  result = updater({"-U", "-d", SERIAL, "-f", otherDevice});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_TRUE(contains(result.err, "Birdfile failed validation")) << result.err;
  EXPECT_TRUE(settings().find("LATEST_TRANSFER") == std::string::npos);

  result = updater({"-U", "-d", SERIAL, "-f", wrongModel, "-OVERRIDE"});
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
}

TEST_F(UpdateTest, LoaderStartWithoutAnswerCountsAsStarted) {
  startSim(device());
  ASSERT_EQ(sim->control("fault " + std::string(SERIAL) + " no-reply 2").rfind("ok", 0), 0u);
  auto result = updater({"-U", "-d", SERIAL, "-f", image("generic.bird"), "-X", "1"});
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_TRUE(contains(result.err, "Timeout on LoaderStart")) << result.err;
}

TEST_F(UpdateTest, BlockThatFailsTwiceIsRetried) {
  startSim(device());
  // WRITE comes only with firmware blocks: the first two fail.
  ASSERT_EQ(sim->control("fault " + std::string(SERIAL) + " write-status 1 2").rfind("ok", 0), 0u);
  auto result = updater({"-U", "-d", SERIAL, "-f", image("generic.bird")});
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  size_t retry1 = result.out.find("\n  Retry 1\n");
  size_t retry2 = result.out.find("\n  Retry 2\n");
  ASSERT_NE(retry1, std::string::npos) << result.out;
  ASSERT_NE(retry2, std::string::npos) << result.out;
  EXPECT_LT(retry1, retry2);
  EXPECT_FALSE(contains(result.out, "  Retry 3"));
}

// The device drops its link after LOAD (as a restarted loader does) or in
// the middle of the firmware; the update finds it again and completes.
TEST_F(UpdateTest, LinkDropsAreFollowed) {
  for (const char* fault : {"drop-load", "drop-data 30"}) {
    SCOPED_TRACE(fault);
    startSim(device());
    ASSERT_EQ(sim->control("fault " + std::string(SERIAL) + " " + fault).rfind("ok", 0), 0u);
    auto result = updater({"-U", "-d", SERIAL, "-f", image("generic.bird")});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    std::string bytes = flash();
    ASSERT_GE(bytes.size(), SERIAL_ADDRESS + 4u);
    uint32_t word = 0;
    std::memcpy(&word, bytes.data() + SERIAL_ADDRESS, 4);
    EXPECT_EQ(word, SERIAL_NUMBER);
  }
}

// Faults that persist end the update with an error and leave the settings
// as they were; once cleared, the same command succeeds.
TEST_F(UpdateTest, InjectedFaultsFailCleanlyAndARetrySucceeds) {
  startSim(device());
  storeImage(image("4800.bird"), "4800.bird");
  const std::string before = "LATEST_DOWNLOAD=4800.bird\n";
  qmtest::writeFile(deviceDir() + "/.settings", before);
  struct Case {
    const char* fault;
    const char* message;
  } cases[] = {
      {"prepare-status 3 -1", "Failed to transfer the loader [29, aErrInvalidOption]"},
      {"write-status 1 -1", "Failed to transfer firmware block 1 [29, aErrInvalidOption]"},
      {"block-size 0 -1", "Failed to transfer firmware block 1"},
      {"data-count 3 -1", "Failed to transfer the loader [24, aErrPacket]"},
      {"sum 0 -1", "Failed to transfer the loader [29, aErrInvalidOption]"},
      {"no-reply 0 -1", "Failed to transfer the loader [18, aErrTimeout]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    ASSERT_EQ(sim->control("fault " + std::string(SERIAL) + " " + c.fault).rfind("ok", 0), 0u);
    auto result = updater({"-U", "-d", SERIAL, "-b", "4800"});
    EXPECT_EQ(result.exitCode, 1) << result.out;
    EXPECT_TRUE(contains(result.err, c.message)) << result.err;
    EXPECT_EQ(settings(), before);
    ASSERT_EQ(sim->control("clear-faults " + std::string(SERIAL)).rfind("ok", 0), 0u);
  }
  auto result = updater({"-U", "-d", SERIAL, "-b", "4800"});
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_TRUE(contains(settings(), "LATEST_TRANSFER=4800.bird\n")) << settings();
}

TEST_F(UpdateTest, RoutedDeviceThroughItsRouter) {
  startSim(
      R"({"serial": "40F5849A", "module": 4, "model": 26, "firmware": "2.12.1", "build": 4711,
          "heartbeat_ms": 0, )" + tcp() + R"(,
          "routed": [{"serial": "1234ABCD", "module": 6, "model": 13, "firmware": "2.12.1",
                      "build": 4711,
                      "loader": {"block_size": 512, "reboot_ms": 200,
                                 "new_firmware": "2.13.0", "new_build": 4800}}]})");
  std::string path = image("routed.bird");
  auto result = updater({"-U", "-d", "1234ABCD", "-r", "40F5849A", "-f", path});
  ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
  std::string bytes = flash("1234ABCD");
  ASSERT_GE(bytes.size(), SERIAL_ADDRESS + 4u);
  uint32_t word = 0;
  std::memcpy(&word, bytes.data() + SERIAL_ADDRESS, 4);
  EXPECT_EQ(word, 0x1234ABCDu);

  result = updater({"-U", "-d", "0BADF00D", "-r", "40F5849A", "-f", path});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_TRUE(contains(result.err,
                       "Module address required for indirect firmware update, could not find "
                       "serial number [0x0BADF00D] on network"))
      << result.err;
}
