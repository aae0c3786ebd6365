// ctest-labels: threaded
// The link engine against the device emulator: TCP/IP links on the loopback
// interface, serial links over the emulator's pseudo-terminal, USB links
// through the kernel driver's device node, and TCP/IP enumeration inside a
// private network namespace.
#include "aLink.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "aLinkManagerInternal.h"
#include "discover.h"
#include "qm_netns.h"
#include "qm_process.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kModule = 2;

template <typename Pred>
bool sEventually(Pred pred, std::chrono::milliseconds limit = 20s) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

size_t sCount(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

// One emulator run with a packet log and a control socket.
class Sim {
 public:
  explicit Sim(const std::string& devices, const std::string& netns = "") {
    qmtest::writeFile(dir_.file("sim.json"), devices);
    qmtest::RunOptions options;
    options.netns = netns;
    process_ = std::make_unique<qmtest::Background>(
        std::vector<std::string>{qmtest::binPath("quillomat-sim"), "--log-packets",
                                 dir_.file("packets.log"), "--control", control(),
                                 dir_.file("sim.json")},
        options);
    ready_ = !process_->waitForLine("ready", 30s).empty();
    std::istringstream lines(process_->output());
    for (std::string line; std::getline(lines, line);) {
      const std::string tcp = "listening tcp 127.0.0.1:";
      if (line.rfind(tcp, 0) == 0) port_ = (uint16_t)std::stoi(line.substr(tcp.size()));
      if (line.rfind("pty ", 0) == 0) pty_ = line.substr(4, line.find(' ', 4) - 4);
    }
  }
  ~Sim() { process_->stop(); }

  bool ready() const { return ready_; }
  uint16_t port() const { return port_; }
  const std::string& pty() const { return pty_; }
  std::string control() const { return dir_.file("control.sock"); }
  std::string output() { return process_->output(); }
  std::string log() { return qmtest::readFile(dir_.file("packets.log")); }
  bool logHas(const std::string& what, size_t times = 1) {
    return sEventually([&] { return sCount(log(), what) >= times; });
  }
  bool ctl(const std::vector<std::string>& command) {
    std::vector<std::string> argv{qmtest::binPath("quillomat-sim"), "ctl", control()};
    argv.insert(argv.end(), command.begin(), command.end());
    return qmtest::run(argv).exitCode == 0;
  }

 private:
  qmtest::TempDir dir_;
  std::unique_ptr<qmtest::Background> process_;
  bool ready_ = false;
  uint16_t port_ = 0;
  std::string pty_;
};

const char* kTcpDevice =
    R"({"devices": [{"serial": "40F5849A", "module": 2, "model": 13,
        "tcp": {"address": "127.0.0.1", "port": 0}, "heartbeat_ms": 0}]})";

bool sIsEcho(const aPacket* p, void* ref) {
  return p->dataSize >= 2 && p->data[0] == 0x17 && p->data[1] == *static_cast<uint8_t*>(ref);
}

// An echo request with a tag and its reply.
bool sEcho(aLinkRef link, uint8_t tag) {
  const uint8_t data[] = {0x17, tag, 0xA5, 0x5A};
  aPacket* request = aPacket_CreateWithData(kModule, sizeof data, data);
  aErr err = aLink_PutPacket(link, request);
  aPacket_Destroy(&request);
  if (err != aErrNone) return false;
  aPacket* reply = aLink_AwaitFirst(link, sIsEcho, &tag, 5000);
  bool ok = reply && reply->address == kModule && reply->dataSize == sizeof data;
  if (reply) aPacket_Destroy(&reply);
  return ok;
}

TEST(aLinkSim, TcpLinksAreSharedBySerialNumberAndTornDownByUseCount) {
  Sim sim(kTcpDevice);
  ASSERT_TRUE(sim.ready()) << sim.output();
  const uint32_t loopback = htonl(INADDR_LOOPBACK);
  aLinkRef first = aLink_CreateTCPIP(kSerial, loopback, sim.port());
  ASSERT_NE(first, 0u);
  aLinkRef second = aLink_CreateTCPIP(kSerial, loopback, sim.port());
  EXPECT_EQ(second, first);
  EXPECT_TRUE(sEcho(first, 1));
  EXPECT_EQ(sCount(sim.log(), "connect 40F5849A"), 1u);
  EXPECT_TRUE(sim.logHas("route 40F5849A tcp:1 1"));

  ASSERT_EQ(aLink_Destroy(&second), aErrNone);
  EXPECT_TRUE(sEcho(first, 2));
  aLinkRef number = first;
  ASSERT_EQ(aLink_Destroy(&first), aErrNone);
  EXPECT_EQ(aLink_GetStatus(number), (uint32_t)kLinkNoStream);
  // The last use sent the route request off and closed the connection.
  EXPECT_TRUE(sim.logHas("route 40F5849A tcp:1 0"));
  EXPECT_TRUE(sim.logHas("disconnect 40F5849A tcp:1"));
}

TEST(aLinkSim, BytesOutOfStepLeadToASynchronisation) {
  Sim sim(kTcpDevice);
  ASSERT_TRUE(sim.ready()) << sim.output();
  aLinkRef link = aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), sim.port());
  ASSERT_NE(link, 0u);
  ASSERT_TRUE(sEcho(link, 1));
  for (const char* garbage : {"07", "00", "02 1D 01"}) {
    SCOPED_TRACE(garbage);
    size_t before = sCount(sim.log(), "rx 40F5849A tcp:1 AD 00");
    std::vector<std::string> command{"inject", "40F5849A"};
    std::istringstream bytes(garbage);
    for (std::string b; bytes >> b;) command.push_back(b);
    ASSERT_TRUE(sim.ctl(command));
    EXPECT_TRUE(sim.logHas("rx 40F5849A tcp:1 AD 00", before + 6));
    EXPECT_TRUE(sEventually([&] { return aLink_GetStatus(link) == kLinkRunning; }));
    EXPECT_TRUE(sEcho(link, 2));
  }
  aLink_Destroy(&link);
}

TEST(aLinkSim, HeartbeatsAreAnsweredAndNeverQueued) {
  Sim sim(R"({"devices": [{"serial": "40F5849A", "module": 2,
              "tcp": {"address": "127.0.0.1", "port": 0},
              "heartbeat_ms": 20, "heartbeat": "alternate"}]})");
  ASSERT_TRUE(sim.ready()) << sim.output();
  aLinkRef link = aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), sim.port());
  ASSERT_NE(link, 0u);
  EXPECT_TRUE(sim.logHas("rx 40F5849A tcp:1 02 02 00 02", 3));
  EXPECT_TRUE(sim.logHas("rx 40F5849A tcp:1 02 02 00 03", 3));
  // None of them reached the callers' queue.
  EXPECT_EQ(aLink_AwaitPacket(link, 300), nullptr);
  EXPECT_TRUE(sEcho(link, 1));
  aLink_Destroy(&link);
}

TEST(aLinkSim, ResetAfterTheEmulatorRestartsGivesAWorkingLink) {
  Sim sim(kTcpDevice);
  ASSERT_TRUE(sim.ready()) << sim.output();
  aLinkRef link = aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), sim.port());
  ASSERT_NE(link, 0u);
  ASSERT_TRUE(sEcho(link, 1));
  ASSERT_TRUE(sim.ctl({"reboot", "40F5849A", "500"}));
  // The reset keeps trying for 2 s, long enough for the device to come back.
  EXPECT_EQ(aLink_Reset(link), aErrNone);
  EXPECT_EQ(aLink_GetStatus(link), (uint32_t)kLinkRunning);
  EXPECT_TRUE(sEcho(link, 2));
  aLink_Destroy(&link);
}

TEST(aLinkSim, PooledOutputCarriesEveryPacket) {
  Sim sim(kTcpDevice);
  ASSERT_TRUE(sim.ready()) << sim.output();
  aLinkRef link = aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), sim.port());
  ASSERT_NE(link, 0u);
  ASSERT_EQ(aLink_EnablePooledPackets(link, true), aErrNone);
  uint8_t data[28] = {0x17};
  for (int i = 0; i < 200; i++) {
    data[1] = (uint8_t)i;
    aPacket* p = aPacket_CreateWithData(kModule, sizeof data, data);
    ASSERT_EQ(aLink_PutPacket(link, p), aErrNone);
    aPacket_Destroy(&p);
  }
  for (int i = 0; i < 200; i++) {
    uint8_t tag = (uint8_t)i;
    aPacket* reply = aLink_AwaitFirst(link, sIsEcho, &tag, 10000);
    ASSERT_NE(reply, nullptr) << i;
    EXPECT_EQ(reply->dataSize, 28);
    aPacket_Destroy(&reply);
  }
  // The device saw whole packets only.
  EXPECT_EQ(sCount(sim.log(), "skip 40F5849A"), 0u);
  aLink_Destroy(&link);
}

TEST(aLinkSim, SerialLinkOverThePseudoTerminal) {
  Sim sim(R"({"devices": [{"serial": "40F5849A", "module": 2, "serial_pty": true,
              "heartbeat_ms": 50}]})");
  ASSERT_TRUE(sim.ready()) << sim.output();
  ASSERT_FALSE(sim.pty().empty()) << sim.output();
  aLinkRef link = aLink_CreateSerial(kSerial, sim.pty().c_str(), 115200);
  ASSERT_NE(link, 0u);
  EXPECT_EQ(aLink_CreateSerial(kSerial, sim.pty().c_str(), 115200), link);
  aLinkRef again = link;
  aLink_Destroy(&again);
  for (uint8_t tag = 1; tag <= 5; tag++) EXPECT_TRUE(sEcho(link, tag)) << (int)tag;
  // Heartbeats travel framed too.
  EXPECT_TRUE(sim.logHas("02 02 00 02"));
  // A damaged frame makes the engine resynchronise over the framed line.
  ASSERT_TRUE(sim.ctl({"inject", "40F5849A", "05", "01", "02", "03", "00"}));
  EXPECT_TRUE(sim.logHas("AD 00", 6));
  EXPECT_TRUE(sEventually([&] { return aLink_GetStatus(link) == kLinkRunning; }));
  EXPECT_TRUE(sEcho(link, 9));
  aLink_Destroy(&link);
}

TEST(aLinkSim, UsbLinkThroughTheKernelDriverNode) {
  if (geteuid() != 0) GTEST_SKIP() << "device nodes need root";
  Sim sim(R"({"devices": [{"serial": "40F5849A", "module": 2, "usb_node": true,
              "heartbeat_ms": 0}]})");
  ASSERT_TRUE(sim.ready()) << sim.output();
  ASSERT_NE(sim.output().find("node /dev/quillomat.40F5849A"), std::string::npos)
      << sim.output();
  aLinkRef link = aLink_CreateUSB(kSerial);
  ASSERT_NE(link, 0u);
  EXPECT_EQ(aLink_GetStatus(link), (uint32_t)kLinkRunning);
  EXPECT_TRUE(sim.logHas("AD 00", 6));
  EXPECT_TRUE(sEcho(link, 1));
  EXPECT_EQ(aLink_CreateUSB(kSerial), link);
  aLinkRef again = link;
  aLink_Destroy(&again);
  EXPECT_TRUE(sEcho(link, 2));
  aLink_Destroy(&link);
}

bool sCollect(const linkSpec* found, bool* counted, void* ref) {
  static_cast<std::vector<linkSpec>*>(ref)->push_back(*found);
  *counted = true;
  return true;
}

TEST(aLinkSim, EnumerationInsideANamespaceListsTheEmulatedDevices) {
  if (!qmtest::NetNamespace::available()) GTEST_SKIP() << "needs network namespaces";
  qmtest::NetNamespace ns;
  const std::string config =
      R"({"devices": [{"serial": "40F5849A", "module": 2, "model": 13,
           "tcp": {"address": ")" + ns.deviceAddress() + R"(", "port": 0}},
          {"serial": "0000ABCD", "module": 4, "model": 21,
           "tcp": {"address": ")" + ns.deviceAddress() + R"(", "port": 0}}],
          "discovery": {"interface": ")" + ns.deviceAddress() + R"("}})";
  Sim sim(config, ns.name());
  ASSERT_TRUE(sim.ready()) << sim.output();
  ASSERT_NE(sim.output().find("discovery "), std::string::npos) << sim.output();
  ns.enter();
  std::vector<linkSpec> found;
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, sCollect, &found, aDISCOVERY_ALL_INTERFACES), 2);
  ASSERT_EQ(found.size(), 2u);
  in_addr device{};
  inet_pton(AF_INET, ns.deviceAddress().c_str(), &device);
  for (const linkSpec& s : found) {
    EXPECT_EQ(s.type, TCPIP);
    EXPECT_EQ(s.t.ip.ip_address, device.s_addr);
    EXPECT_NE(s.t.ip.ip_port, 0u);
    EXPECT_EQ(s.router_serial_num, s.serial_num);
    if (s.serial_num == kSerial) {
      EXPECT_EQ(s.module, 2u);
      EXPECT_EQ(s.model, 13u);
    } else {
      EXPECT_EQ(s.serial_num, 0x0000ABCDu);
      EXPECT_EQ(s.module, 4u);
      EXPECT_EQ(s.model, 21u);
    }
  }
  linkSpec* one = aDiscovery_FindModule(TCPIP, 0x0000ABCD, aDISCOVERY_ALL_INTERFACES);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->model, 21u);
  // The description is enough to reach the device.
  aLinkRef link = aLink_CreateTCPIP(one->serial_num, one->t.ip.ip_address,
                                    (uint16_t)one->t.ip.ip_port);
  ASSERT_NE(link, 0u);
  aLinkRef number = link;
  aLink_Destroy(&number);
  aLinkSpec_Destroy(&one);
}

}  // namespace
