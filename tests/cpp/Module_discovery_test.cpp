// Connecting a Module by serial number and by model, through TCP/IP
// discovery of emulated devices inside a private network namespace.
// ctest-labels: threaded
#include <gtest/gtest.h>

#include "qm_sim.h"
#include "Module.h"
#include "autoGen_SystemClass_CPP.h"
#include "qm_netns.h"
#include "qm_object_fixture.h"

using namespace Ostrevan::Quillomat;

namespace {

class ModuleDiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!qmtest::NetNamespace::available()) GTEST_SKIP() << "needs network namespaces (root)";
    ns = std::make_unique<qmtest::NetNamespace>();
    std::string tcp = R"("tcp": {"address": ")" + ns->deviceAddress() + R"(", "port": 0})";
    qmtest::RunOptions options;
    options.netns = ns->name();
    sim = std::make_unique<simtest::Sim>(
        simtest::configJson(
            R"({"serial": "40F5849A", "module": 6, "model": 13, "heartbeat_ms": 0, )" + tcp +
                R"(}, {"serial": "0BADCAFE", "module": 2, "model": 17, "heartbeat_ms": 0, )" +
                tcp + "}",
            R"("discovery": {"interface": ")" + ns->deviceAddress() + R"("})"),
        options);
    ASSERT_TRUE(sim->ready()) << sim->process().errors();
    ns->enter();
  }
  std::unique_ptr<qmtest::NetNamespace> ns;
  std::unique_ptr<simtest::Sim> sim;
};

uint32_t serialOf(Module& module) {
  SystemClass system;
  system.init(&module, 0);
  uint32_t serial = 0;
  EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
  return serial;
}

}  // namespace

TEST_F(ModuleDiscoveryTest, ConnectsBySerialNumberAndLearnsTheAddress) {
  Module module(2, 0);
  ASSERT_EQ(module.setConfig(qmtest::directConfig()), aErrNone);
  ASSERT_EQ(module.connect(TCPIP, 0x40F5849A), aErrNone);
  EXPECT_EQ(module.getModuleAddress(), 6);
  EXPECT_EQ(serialOf(module), 0x40F5849Au);
  linkSpec found;
  ASSERT_EQ(module.getLinkSpecifier(&found), aErrNone);
  EXPECT_EQ(found.type, TCPIP);
  EXPECT_EQ(found.serial_num, 0x40F5849Au);
}

TEST_F(ModuleDiscoveryTest, ModelFilterPicksTheDevice) {
  Module module(2, 17);
  ASSERT_EQ(module.setConfig(qmtest::directConfig()), aErrNone);
  ASSERT_EQ(module.discoverAndConnect(TCPIP, 0), aErrNone);
  EXPECT_EQ(serialOf(module), 0x0BADCAFEu);
}

TEST_F(ModuleDiscoveryTest, MissingDeviceAndFallback) {
  Module module(2, 0);
  ASSERT_EQ(module.setConfig(qmtest::directConfig()), aErrNone);
  EXPECT_EQ(module.connect(TCPIP, 0x12345678), aErrNotFound);
  // With the fallback on, a second attempt goes to the broker kinds, which
  // this build cannot reach without a broker: the networked specifier is
  // refused as a configuration the link cannot make.
  aEtherConfig config = qmtest::directConfig();
  config.fallback = true;
  ASSERT_EQ(module.setConfig(config), aErrNone);
  EXPECT_NE(module.connect(TCPIP, 0x12345678), aErrNone);
  EXPECT_FALSE(module.isConnected());
}
