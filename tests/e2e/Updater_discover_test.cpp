// Updater -D against emulated devices: TCP/IP discovery inside a private
// network namespace, devices behind an emulated router, and USB (none here).
#include <gtest/gtest.h>

#include <regex>

#include "qm_sim.h"
#include "qm_netns.h"
#include "qm_process.h"

namespace {

using simtest::Sim;

class DiscoverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!qmtest::NetNamespace::available()) GTEST_SKIP() << "needs network namespaces (root)";
    ns = std::make_unique<qmtest::NetNamespace>();
  }
  std::string tcp() const {
    return R"("tcp": {"address": ")" + ns->deviceAddress() + R"(", "port": 0})";
  }
  std::string discovery() const {
    return R"("discovery": {"interface": ")" + ns->deviceAddress() + R"("})";
  }
  std::unique_ptr<Sim> start(const std::string& devices) {
    qmtest::RunOptions options;
    options.netns = ns->name();
    auto sim = std::make_unique<Sim>(simtest::configJson(devices, discovery()), options);
    EXPECT_TRUE(sim->ready()) << sim->process().errors();
    return sim;
  }
  qmtest::RunResult updater(const std::vector<std::string>& args) {
    std::vector<std::string> argv{qmtest::binPath("Updater"), "-i", store.path()};
    argv.insert(argv.end(), args.begin(), args.end());
    qmtest::RunOptions options;
    options.netns = ns->name();
    options.timeout = std::chrono::seconds(120);
    return qmtest::run(argv, options);
  }
  std::unique_ptr<qmtest::NetNamespace> ns;
  qmtest::TempDir store;
};

}  // namespace

TEST_F(DiscoverTest, ListsTcpDevicesWithVersionBuildAndName) {
  auto sim = start(
      R"({"serial": "40F5849A", "module": 2, "model": 13, "firmware": "2.12.1", "build": 4711,
          "name": "bench hub", )" + tcp() + R"(},
         {"serial": "0000ABCD", "module": 4, "model": 17, "firmware": "2.10.3", "build": 3000,
          "name": "old one", )" + tcp() + R"(},
         {"serial": "5EEDF00D", "module": 6, "model": 15, "firmware": "2.12.1", "build": 9,
          "name": "mute", "silent_ms": 600000, )" + tcp() + "}");
  auto result = updater({"-D", "-t", "TCPIP"});
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const std::string& out = result.out;
  EXPECT_NE(out.find("Searching for Quillomat devices"), std::string::npos) << out;
  EXPECT_NE(out.find("Discovered Devices: (TCPIP)"), std::string::npos) << out;
  EXPECT_NE(out.find("    Device    Module   Router  Model          Firmware Version (Build)   "
                     "[IP address]       Device Name"),
            std::string::npos)
      << out;
  std::string ip = "[" + ns->deviceAddress() + "]";
  char line[256];
  std::snprintf(line, sizeof line, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                0x40F5849Au, 2, 2, "QM-Switch 2", 2, 12, 1, 4711u, ip.c_str(), "bench hub");
  EXPECT_NE(out.find(line), std::string::npos) << out;
  // Firmware before 2.10.4 has no name.
  std::snprintf(line, sizeof line, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  ",
                0xABCDu, 4, 4, "QM-DAC 4", 2, 10, 3, 3000u, ip.c_str());
  EXPECT_NE(out.find(std::string(line) + "\n"), std::string::npos) << out;
  // A device that never answers is listed with what discovery reported
  // and zeros for the rest.
  std::snprintf(line, sizeof line, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  ",
                0x5EEDF00Du, 6, 6, "QM-DIO 16", 0, 0, 0, 0u, ip.c_str());
  EXPECT_NE(out.find(line), std::string::npos) << out;
}

TEST_F(DiscoverTest, ListsDevicesBehindARouterInAddressOrder) {
  auto sim = start(
      R"({"serial": "40F5849A", "module": 4, "model": 26, "firmware": "2.12.1", "build": 4711,
          "name": "router", )" + tcp() + R"(,
          "routed": [
            {"serial": "00000B0B", "module": 8, "model": 16, "firmware": "2.12.0", "build": 1200},
            {"serial": "00000A0A", "module": 2, "model": 17, "firmware": "2.11.5", "build": 1100}]})");
  auto result = updater({"-D", "-r", "40F5849A"});
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const std::string& out = result.out;
  EXPECT_NE(out.find("Searching for Quillomat Network devices connected to 40F5849A"),
            std::string::npos)
      << out;
  size_t first = out.find("    00000A0A  02       04");
  size_t second = out.find("    00000B0B  08       04");
  ASSERT_NE(first, std::string::npos) << out;
  ASSERT_NE(second, std::string::npos) << out;
  EXPECT_LT(first, second);
  EXPECT_NE(out.find("2.11.5 (      1100)"), std::string::npos) << out;
  // The scan probes every even address but the router's own (4): an I2C
  // write request to the router carries the probed address as its third
  // data byte.
  std::string log = sim->packetLog();
  EXPECT_NE(log.find(" 04 07 08 00 06 02 03 00 00"), std::string::npos) << log;
  EXPECT_EQ(log.find(" 04 07 08 00 04 02 03 00 00"), std::string::npos);
  // Routing is switched on for the scan and off afterwards.
  EXPECT_NE(log.find("routing 40F5849A 1"), std::string::npos);
  EXPECT_NE(log.find("routing 40F5849A 0"), std::string::npos);
}

TEST_F(DiscoverTest, UnknownRouterListsNothing) {
  auto result = updater({"-D", "-r", "12345678"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_NE(result.out.find("    No devices found."), std::string::npos) << result.out;
  EXPECT_EQ(result.err.find("Error"), std::string::npos) << result.err;
}

TEST_F(DiscoverTest, PlainDiscoverSearchesUsbOnly) {
  auto result = updater({"-D"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_NE(result.out.find("Discovered Devices: (USB)"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("    No devices found."), std::string::npos) << result.out;
}
