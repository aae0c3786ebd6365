// quillomat-sim as a process: raw bytes over TCP, the serial pseudo-terminal
// and the kernel-driver node, control commands, outages and discovery.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/stat.h>

#include <cstring>

#include "qm_sim.h"
#include "qm_netns.h"

using namespace simtest;

namespace {

std::string hexOf(const Bytes& b) {
  std::string out;
  char t[4];
  for (size_t i = 0; i < b.size(); ++i) {
    std::snprintf(t, sizeof t, i ? " %02X" : "%02X", b[i]);
    out += t;
  }
  return out;
}

}  // namespace

TEST(SimTcp, SynchronisesAndAnswersIdentityRequests) {
  Sim sim(configJson(deviceJson()));
  ASSERT_TRUE(sim.ready()) << sim.process().errors();
  Tcp tcp(sim.tcpPort());
  ASSERT_TRUE(tcp.connected());
  // A burst of synchronisation requests: one empty packet from the module
  // address for each.
  tcp.send({0xAD, 0, 0xAD, 0, 0xAD, 0});
  for (int i = 0; i < 3; ++i) EXPECT_EQ(tcp.reply(), (Bytes{2, 0}));

  struct Case {
    Bytes request;
    Bytes reply;
  } cases[] = {
      {{2, 3, 3, 0x49, 0x20}, {2, 7, 3, 9, 0, 0x40, 0xF5, 0x84, 0x9A}},  // serial number
      {{2, 3, 3, 0x48, 0x20}, {2, 4, 3, 8, 0, 13}},                      // model
      {{2, 3, 3, 0x47, 0x20}, {2, 7, 3, 7, 0, 0x2C, 0, 0, 1}},           // 2.12.1, legacy packing
      {{2, 3, 3, 0x41, 0x20}, {2, 4, 3, 1, 0, 2}},                       // module address
      {{2, 3, 3, 0x42, 0x20}, {2, 4, 3, 2, 0, 2}},                       // router: itself
      {{2, 3, 3, 0x6B, 0x20}, {2, 7, 3, 43, 0, 0, 0, 0x12, 0x67}},       // build 4711
      {{2, 2, 0x49, 0xFF}, {2, 6, 0x49, 0xFF, 0, 0, 0x12, 0x67}},        // build query
      {{2, 4, 0x17, 1, 0, 0xFE}, {2, 4, 0x17, 1, 0, 0xFE}},              // echo
      {{2, 3, 3, 0x7F, 0x20}, {2, 4, 3, 0x3F, 0x80, 29}},                // unknown option
      {{2, 3, 3, 0x49, 0x21}, {2, 4, 3, 9, 0x81, 26}},                   // index 1 does not exist
  };
  for (const auto& c : cases) {
    tcp.send(c.request);
    EXPECT_EQ(tcp.reply(), c.reply) << hexOf(c.request);
  }
  // Route requests are taken silently; the log shows what the device got.
  tcp.send({0xAF, 1, 1});
  tcp.send({2, 2, 0x49, 0xFF});
  EXPECT_EQ(tcp.reply(), (Bytes{2, 6, 0x49, 0xFF, 0, 0, 0x12, 0x67}));
  EXPECT_TRUE(sim.waitLog("rx 40F5849A tcp:1 AF 01 01"));
  EXPECT_TRUE(sim.waitLog("route 40F5849A tcp:1 1"));
}

TEST(SimTcp, FaultsFromTheConfigArePlayedFromTheStart) {
  Sim sim(configJson(deviceJson(R"("faults": [{"kind": "sync-address", "value": 7, "count": 1}])")));
  ASSERT_TRUE(sim.ready());
  Tcp tcp(sim.tcpPort());
  tcp.send({0xAD, 0, 0xAD, 0});
  EXPECT_EQ(tcp.reply(), (Bytes{7, 0}));
  EXPECT_EQ(tcp.reply(), (Bytes{2, 0}));
}

TEST(SimTcp, SendsHeartbeatsAndLogsTheAnswers) {
  Sim sim(configJson(deviceJson(R"("heartbeat_ms": 100, "heartbeat": "alternate")")));
  ASSERT_TRUE(sim.ready());
  Tcp tcp(sim.tcpPort());
  auto first = tcp.packet();
  auto second = tcp.packet();
  ASSERT_TRUE(first && second);
  EXPECT_EQ((*first)[0], 2);
  EXPECT_EQ(Bytes(first->begin() + 1, first->begin() + 3), (Bytes{2, 0}));
  // Alternating up (0) and down (1).
  EXPECT_NE((*first)[3], (*second)[3]);
  EXPECT_LE(std::max((*first)[3], (*second)[3]), 1);
  tcp.send({2, 2, 0, 2});
  EXPECT_TRUE(sim.waitLog("rx 40F5849A tcp:1 02 02 00 02"));
  // "heartbeat SERIAL 0" stops them.
  EXPECT_EQ(sim.control("heartbeat 40F5849A 0"), "ok");
  while (tcp.packet(milliseconds(300))) {
  }
  EXPECT_FALSE(tcp.packet(milliseconds(400)));
  EXPECT_EQ(sim.control("heartbeat 40F5849A now down"), "ok");
  EXPECT_EQ(tcp.packet(), (Bytes{2, 2, 0, 1}));
}

TEST(SimTcp, ControlCommandsSilenceInjectAndDrop) {
  Sim sim(configJson(deviceJson()));
  ASSERT_TRUE(sim.ready());
  Tcp tcp(sim.tcpPort());
  tcp.send({0xAD, 0});
  ASSERT_EQ(tcp.reply(), (Bytes{2, 0}));

  EXPECT_EQ(sim.control("silent 40F5849A"), "ok");
  tcp.send({0xAD, 0});
  EXPECT_FALSE(tcp.reply(milliseconds(500)));
  EXPECT_TRUE(sim.waitLog("rx-ignored 40F5849A tcp:1 AD 00"));
  EXPECT_EQ(sim.control("talk 40F5849A"), "ok");
  tcp.send({0xAD, 0});
  EXPECT_EQ(tcp.reply(), (Bytes{2, 0}));

  // A timed silence ends by itself.
  EXPECT_EQ(sim.control("silent all 300"), "ok");
  std::this_thread::sleep_for(milliseconds(400));
  tcp.send({0xAD, 0});
  EXPECT_EQ(tcp.reply(), (Bytes{2, 0}));

  // Injected bytes arrive as they are: here an odd address, out of step.
  EXPECT_EQ(sim.control("inject 40F5849A 07 01 AA"), "ok 1 links");
  EXPECT_EQ(tcp.packet(), (Bytes{7, 1, 0xAA}));
  EXPECT_EQ(sim.control("send 40F5849A 02 01 55"), "ok 1 links");
  EXPECT_EQ(tcp.packet(), (Bytes{2, 1, 0x55}));

  EXPECT_EQ(sim.control("drop 40F5849A"), "ok");
  EXPECT_TRUE(tcp.closedByPeer());
  // The device itself stays reachable.
  Tcp again(sim.tcpPort());
  again.send({0xAD, 0});
  EXPECT_EQ(again.reply(), (Bytes{2, 0}));

  for (const char* bad : {"frobnicate 40F5849A", "silent 12345678", "inject 40F5849A zz", "send 40F5849A 02 05 01",
                          "silent", "heartbeat 40F5849A soon"})
    EXPECT_EQ(sim.control(bad).rfind("error", 0), 0u) << bad;
}

TEST(SimTcp, SurvivesGarbageAndFindsItsPlaceAgain) {
  Sim sim(configJson(deviceJson(R"("routed": [{"serial": "1234ABCD", "module": 6}])")));
  ASSERT_TRUE(sim.ready());
  Tcp tcp(sim.tcpPort());
  Bytes junk;
  uint32_t x = 12345;
  for (int i = 0; i < 20000; ++i) {
    x = x * 1103515245 + 12345;
    junk.push_back(uint8_t(x >> 16));
  }
  // Over-long lengths, odd and unknown addresses, half packets.
  junk.insert(junk.end(), {0x02, 0xFF, 0x03, 29, 0x05, 3, 3, 0x49, 0x20, 0x02, 28});
  tcp.send(junk);
  // The host's way back into step: bursts of synchronisation requests until
  // the device answers.
  bool synced = false;
  for (int burst = 0; burst < 20 && !synced; ++burst) {
    tcp.send({0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0});
    while (auto p = tcp.packet(milliseconds(200)))
      if (*p == Bytes{2, 0}) synced = true;
  }
  EXPECT_TRUE(synced);
  EXPECT_TRUE(sim.process().running());
  tcp.send({2, 2, 0x49, 0xFF});
  EXPECT_EQ(tcp.reply(), (Bytes{2, 6, 0x49, 0xFF, 0, 0, 0x12, 0x67}));
}

TEST(SimTcp, RebootResetsConnectionsAndComesBack) {
  Sim sim(configJson(deviceJson(R"("loader": {"reboot_ms": 600}, "tcp": {"port": 0})")));
  ASSERT_TRUE(sim.ready());
  uint16_t port = sim.tcpPort();
  Tcp tcp(port);
  tcp.send({0xAD, 0});
  ASSERT_EQ(tcp.reply(), (Bytes{2, 0}));
  EXPECT_EQ(sim.control("reboot 40F5849A"), "ok");
  EXPECT_TRUE(tcp.closedByPeer());
  EXPECT_FALSE(sim.process().waitForLine("down serial 0x40F5849A for 600 ms").empty());
  EXPECT_FALSE(Tcp(port).connected());  // nobody listens while it reboots
  EXPECT_FALSE(sim.process().waitForLine("up serial 0x40F5849A firmware 2.12.1 build 4711").empty());
  Tcp back(port);
  ASSERT_TRUE(back.connected());
  back.send({0xAD, 0});
  EXPECT_EQ(back.reply(), (Bytes{2, 0}));
}

TEST(SimSerial, AnswersInCobsFramesAndDropsBrokenOnes) {
  Sim sim(configJson(deviceJson(R"("serial_pty": true)")));
  ASSERT_TRUE(sim.ready());
  Pty pty(sim.ptyPath());
  ASSERT_TRUE(pty.open()) << sim.ptyPath();
  pty.write(frameOf({0xAD, 0}));
  // Address 2, length 0, CRC-8 of 02 00.
  Bytes frame = pty.read(milliseconds(3000), true);
  EXPECT_EQ(frame, frameOf({2, 0}));

  // A frame with a wrong CRC, one that is not COBS, a lone delimiter, then a
  // good request: only the good one is answered.
  Bytes bad = frameOf({2, 3, 3, 0x49, 0x20});
  bad[bad.size() - 2] ^= 0x01;
  pty.write(bad);
  pty.write({0x09, 0x01, 0x00});
  pty.write({0x00});
  pty.write(frameOf({2, 3, 3, 0x49, 0x20}));
  auto packets = unframeAll(pty.read(milliseconds(1000), false));
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0], (Bytes{2, 7, 3, 9, 0, 0x40, 0xF5, 0x84, 0x9A}));
  EXPECT_TRUE(sim.waitLog("badframe 40F5849A pty:"));

  // A full 28-byte echo comes back whole.
  Bytes echo{2, 28, 0x17};
  for (int i = 1; i < 28; ++i) echo.push_back(uint8_t(i));
  pty.write(frameOf(echo));
  packets = unframeAll(pty.read(milliseconds(2000), true));
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0], echo);
}

TEST(SimNode, OffersTheKernelDriverNodeAndRemovesItOnExit) {
  if (geteuid() != 0) GTEST_SKIP() << "the device node needs root";
  const char* node = "/dev/quillomat.7E57C0DE";
  std::string dev = R"({"serial": "7E57C0DE", "module": 4, "usb_node": true})";
  Sim sim(configJson(dev));
  ASSERT_TRUE(sim.ready()) << sim.process().errors();
  EXPECT_EQ(sim.line("node ").rfind(std::string("node ") + node + " pty /dev/pts/", 0), 0u) << sim.line("node ");
  {
    Pty host(node);
    ASSERT_TRUE(host.open());
    host.write({0xAD, 0, 0x04, 0x02, 0x49, 0xFF});
    Bytes got = host.read(milliseconds(3000), false);
    EXPECT_EQ(got, (Bytes{4, 0, 4, 6, 0x49, 0xFF, 0, 0, 0, 1}));
    // Unplugging: the node goes away and comes back on a new terminal.
    EXPECT_EQ(sim.control("drop 7E57C0DE"), "ok");
    EXPECT_TRUE(sim.waitLog("unplug 7E57C0DE node:"));
  }
  struct stat st;
  EXPECT_EQ(lstat(node, &st), 0);
  EXPECT_EQ(sim.process().stop(), 0);
  EXPECT_NE(lstat(node, &st), 0);
}

TEST(SimConfig, RejectsBadConfigs) {
  struct Case {
    const char* config;
    const char* message;
  } cases[] = {
      {"{", "not valid JSON"},
      {R"({"devices": []})", "non-empty array"},
      {R"({"devices": [{"module": 2}]})", "\"serial\" is required"},
      {R"({"devices": [{"serial": "XYZ"}]})", "bad serial number"},
      {R"({"devices": [{"serial": 1, "module": 3}]})", "even"},
      {R"({"devices": [{"serial": 1, "colour": "red"}]})", "unknown key \"colour\""},
      {R"({"devices": [{"serial": 1, "firmware": "2.x"}]})", "major.minor.patch"},
      {R"({"devices": [{"serial": 1}, {"serial": 1}]})", "used twice"},
      {R"({"devices": [{"serial": 1, "faults": [{"kind": "gremlins"}]}]})", "unknown fault \"gremlins\""},
  };
  for (const auto& c : cases) {
    qmtest::TempDir dir;
    qmtest::writeFile(dir.file("c.json"), c.config);
    auto r = qmtest::run({qmtest::binPath("quillomat-sim"), dir.file("c.json")});
    EXPECT_EQ(r.exitCode, 1) << c.config;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.config << ": " << r.err;
  }
}

TEST(SimDiscovery, RefusesOnInterfacesThatAreNotLoopbackOrVeth) {
  // Only the check runs here: with a real interface present the emulator
  // opens no discovery socket at all.
  bool onlySafe = true;
  struct if_nameindex* list = if_nameindex();
  for (auto* i = list; i && i->if_index; ++i)
    onlySafe = onlySafe && (std::strcmp(i->if_name, "lo") == 0 || std::strncmp(i->if_name, "qmv", 3) == 0);
  if (list) if_freenameindex(list);
  if (onlySafe) GTEST_SKIP() << "no ordinary interface to refuse";
  Sim sim(configJson(deviceJson(), R"("discovery": {"interface": "127.0.0.1"})"));
  ASSERT_TRUE(sim.ready());
  EXPECT_NE(sim.line("discovery refused: interface "), "");
  EXPECT_EQ(sim.line("discovery 127.0.0.1"), "");
}

TEST(SimDiscovery, AnswersRequestsInsideANamespace) {
  if (!qmtest::NetNamespace::available()) GTEST_SKIP() << "needs network namespaces";
  qmtest::NetNamespace ns;
  std::string dev = deviceJson(R"("tcp": {"address": ")" + ns.deviceAddress() + R"(", "port": 0})");
  qmtest::RunOptions run;
  run.netns = ns.name();
  Sim sim(configJson(dev, R"("discovery": {"interface": ")" + ns.deviceAddress() + "\"}"), run);
  ASSERT_TRUE(sim.ready()) << sim.process().errors();
  ASSERT_NE(sim.line("discovery " + ns.deviceAddress() + ":9888"), "") << sim.process().output();
  uint16_t port = sim.tcpPort();

  ns.enter();
  int listener = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(9889);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  timeval tv{0, 200000};
  setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

  uint8_t answer[32];
  ssize_t n = -1;
  sockaddr_in from{};
  for (int attempt = 0; attempt < 25 && n < 0; ++attempt) {
    int request = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    in_addr iface{};
    inet_pton(AF_INET, (attempt % 2 ? ns.hostAddress() : ns.deviceAddress()).c_str(), &iface);
    setsockopt(request, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(9888);
    inet_pton(AF_INET, "232.2.2.2", &group.sin_addr);
    uint8_t req[16] = {1};
    sendto(request, req, sizeof req, 0, reinterpret_cast<sockaddr*>(&group), sizeof group);
    close(request);
    socklen_t len = sizeof from;
    n = recvfrom(listener, answer, sizeof answer, 0, reinterpret_cast<sockaddr*>(&from), &len);
  }
  close(listener);
  ASSERT_EQ(n, 16);
  char sender[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &from.sin_addr, sender, sizeof sender);
  EXPECT_EQ(sender, ns.deviceAddress());
  EXPECT_EQ(answer[1], 2);
  EXPECT_EQ(answer[2] | answer[3] << 8, port);
  EXPECT_EQ(Bytes(answer + 4, answer + 8), (Bytes{0x9A, 0x84, 0xF5, 0x40}));
  EXPECT_EQ(answer[12], 13);
}

TEST(SimLoader, UpgradeOverTcpWritesFlashAndRebootsIntoNewFirmware) {
  std::string dev = deviceJson(R"("loader": {"block_size": 32, "flash_size": 4096, "load_drop_ms": 300,
      "reboot_ms": 300, "new_firmware": "2.15.3", "new_build": 4800})");
  qmtest::TempDir flash;
  Sim sim(configJson(dev), {}, {"--flash-dir", flash.path()});
  ASSERT_TRUE(sim.ready());
  uint16_t port = sim.tcpPort();
  {
    Tcp tcp(port);
    tcp.send({2, 2, 0x5F, 0});
    EXPECT_EQ(tcp.reply(), (Bytes{2, 6, 0x5F, 0, 0x10, 0, 0, 0}));
    // LOAD is answered, then the device drops the link to start the loader.
    tcp.send({2, 2, 0x5F, 2});
    EXPECT_EQ(tcp.reply(), (Bytes{2, 2, 0x5F, 2}));
    EXPECT_TRUE(tcp.closedByPeer());
  }
  ASSERT_FALSE(sim.process().waitForLine("up serial 0x40F5849A firmware 2.12.1").empty());
  Tcp tcp(port);
  ASSERT_TRUE(tcp.connected());
  tcp.send({2, 7, 0x5F, 3, 0, 0, 0, 0x01, 0x00});
  EXPECT_EQ(tcp.reply(), (Bytes{2, 5, 0x5F, 7, 0, 0, 32}));
  // A wrong DATA count armed at this moment: the host sends the chunk again.
  EXPECT_EQ(sim.control("fault 40F5849A data-count 3"), "ok");
  Bytes chunk{2, 28, 0x5F, 1};
  for (int i = 0; i < 26; ++i) chunk.push_back(uint8_t(0xA0 + i));
  tcp.send(chunk);
  EXPECT_EQ(tcp.reply(), (Bytes{2, 3, 0x5F, 1, 3}));
  tcp.send(chunk);
  EXPECT_EQ(tcp.reply(), (Bytes{2, 3, 0x5F, 1, 26}));
  tcp.send({2, 8, 0x5F, 1, 1, 2, 3, 4, 5, 6});
  EXPECT_EQ(tcp.reply(), (Bytes{2, 3, 0x5F, 1, 6}));
  uint32_t sum = 0;
  for (size_t i = 4; i < chunk.size(); ++i) sum += chunk[i];
  sum += 21;
  tcp.send({2, 2, 0x5F, 4});
  EXPECT_EQ(tcp.reply(), (Bytes{2, 7, 0x5F, 7, 0, 0, 0, uint8_t(sum >> 8), uint8_t(sum)}));
  tcp.send({2, 4, 0x5F, 5, 0, 32});
  EXPECT_EQ(tcp.reply(), (Bytes{2, 3, 0x5F, 7, 0}));
  EXPECT_TRUE(sim.waitLog("write 40F5849A address 00000100 length 32"));
  EXPECT_EQ(sim.control("dump 40F5849A " + flash.file("now.bin")), "ok");
  std::string image = qmtest::readFile(flash.file("now.bin"));
  ASSERT_EQ(image.size(), 4096u);
  EXPECT_EQ(uint8_t(image[0x100]), 0xA0);
  EXPECT_EQ(uint8_t(image[0x100 + 31]), 6);
  EXPECT_EQ(uint8_t(image[0x100 + 32]), 0xFF);

  // REBOOT: not answered, the connection is reset, the device comes back
  // with the new firmware.
  tcp.send({2, 2, 0x5F, 6});
  EXPECT_TRUE(tcp.closedByPeer());
  ASSERT_FALSE(sim.process().waitForLine("up serial 0x40F5849A firmware 2.15.3 build 4800").empty());
  Tcp back(port);
  back.send({2, 3, 3, 0x47, 0x20});
  EXPECT_EQ(back.reply(), (Bytes{2, 7, 3, 7, 0, 0x2F, 2, 15, 3}));
  EXPECT_EQ(sim.process().stop(), 0);
  EXPECT_EQ(qmtest::readFile(flash.file("40F5849A.flash")), image);
}
