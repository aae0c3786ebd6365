// ctest-labels: threaded
// linkSpec records, the enumeration dispatcher, and TCP/IP enumeration
// against scripted responders inside a private network namespace.
#include "discover.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "qm_netns.h"

namespace {

uint32_t sAddress(const std::string& text) {
  in_addr a{};
  inet_pton(AF_INET, text.c_str(), &a);
  return a.s_addr;
}

TEST(aLinkSpec, CreateCopyDestroy) {
  linkSpec* created = aLinkSpec_Create(SERIAL);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(created->type, SERIAL);
  const linkSpec zero{SERIAL, 0, 0, 0, 0, 0, {}};
  EXPECT_EQ(std::memcmp(created, &zero, sizeof zero), 0);
  created->serial_num = 0x40F5849A;
  created->t.serial.baudrate = 115200;
  std::strcpy(created->t.serial.port, "/dev/ttyUSB0");
  linkSpec* copy = aLinkSpec_Copy(created);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::memcmp(copy, created, sizeof(linkSpec)), 0);
  EXPECT_EQ(aLinkSpec_Destroy(&created), aErrNone);
  EXPECT_EQ(created, nullptr);
  EXPECT_EQ(aLinkSpec_Destroy(&created), aErrParam);
  EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
  EXPECT_EQ(aLinkSpec_Copy(nullptr), nullptr);
  aLinkSpec_Destroy(&copy);
}

TEST(aLinkSpec, FieldsSitWhereDevicesAndStoresExpectThem) {
  EXPECT_EQ(sizeof(linkSpec), 128u);
  EXPECT_EQ(offsetof(linkSpec, serial_num), 4u);
  EXPECT_EQ(offsetof(linkSpec, model), 20u);
  EXPECT_EQ(offsetof(linkSpec, t.ip.ip_address), 24u);
  EXPECT_EQ(offsetof(linkSpec, t.ip.ip_port), 28u);
  EXPECT_EQ(offsetof(linkSpec, t.serial.port), 28u);
}

bool sCountAll(const linkSpec*, bool* counted, void*) {
  *counted = true;
  return true;
}

TEST(aDiscovery, KindsWithoutEnumerationFindNothing) {
  for (linkType type : {INVALID, SERIAL, (linkType)8, (linkType)200}) {
    EXPECT_EQ(aDiscovery_EnumerateModules(type, sCountAll, nullptr, aDISCOVERY_ALL_INTERFACES), 0)
        << type;
  }
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, nullptr, nullptr, aDISCOVERY_ALL_INTERFACES), 0);
}

TEST(aDiscovery, AnswerDatagramsBecomeLinkSpecs) {
  const uint8_t answer[16] = {0, 0x06, 0x39, 0x1F, 0x9A, 0x84, 0xF5, 0x40,
                              0, 0, 0, 0, 21, 0, 0, 0};
  const uint32_t sender = sAddress("10.1.2.3");
  linkSpec found;
  ASSERT_TRUE(aDiscovery_ParseTCPIPAnswer(answer, 16, sender, &found));
  EXPECT_EQ(found.type, TCPIP);
  EXPECT_EQ(found.serial_num, 0x40F5849Au);
  EXPECT_EQ(found.module, 6u);
  EXPECT_EQ(found.router, 6u);
  EXPECT_EQ(found.router_serial_num, 0x40F5849Au);
  EXPECT_EQ(found.model, 21u);
  EXPECT_EQ(found.t.ip.ip_address, sender);
  EXPECT_EQ(found.t.ip.ip_port, 0x1F39u);
  // A short answer has no model byte.
  ASSERT_TRUE(aDiscovery_ParseTCPIPAnswer(answer, 12, sender, &found));
  EXPECT_EQ(found.model, 255u);
  EXPECT_EQ(found.serial_num, 0x40F5849Au);
  // One without a serial number is no answer.
  EXPECT_FALSE(aDiscovery_ParseTCPIPAnswer(answer, 7, sender, &found));
}

// A device's discovery service: joins the request group on the given
// interfaces and answers each request from its own address. (Inside the
// namespace both veth ends are local, so a request reaches it through the
// multicast loop of the interface it was sent on.)
class Responder {
 public:
  Responder(const std::string& address, const std::vector<std::string>& joinOn, uint32_t serial,
            uint16_t port, uint8_t model, int answerLength = 16)
      : address_(address), serial_(serial), port_(port), model_(model), length_(answerLength) {
    listener_ = socket(AF_INET, SOCK_DGRAM, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(9888);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    EXPECT_EQ(bind(listener_, (sockaddr*)&any, sizeof any), 0);
    for (const auto& on : joinOn) {
      ip_mreq join{};
      join.imr_multiaddr.s_addr = sAddress("232.2.2.2");
      join.imr_interface.s_addr = sAddress(on);
      EXPECT_EQ(setsockopt(listener_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join), 0);
    }
    sender_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_addr.s_addr = sAddress(address);
    EXPECT_EQ(bind(sender_, (sockaddr*)&own, sizeof own), 0);
    thread_ = std::thread([this] { run(); });
  }
  ~Responder() {
    stop_ = true;
    thread_.join();
    close(listener_);
    close(sender_);
  }
  int requests() const { return requests_; }

 private:
  void run() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      uint8_t request[64];
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = recvfrom(listener_, request, sizeof request, 0, (sockaddr*)&from, &len);
      if (n != 16 || request[0] != 1) continue;
      requests_++;
      uint8_t answer[16] = {0, 0x06, (uint8_t)port_, (uint8_t)(port_ >> 8),
                            (uint8_t)serial_, (uint8_t)(serial_ >> 8), (uint8_t)(serial_ >> 16),
                            (uint8_t)(serial_ >> 24), 0, 0, 0, 0, model_, 0, 0, 0};
      from.sin_port = htons(9889);
      sendto(sender_, answer, length_, 0, (sockaddr*)&from, sizeof from);
    }
  }

  std::string address_;
  uint32_t serial_;
  uint16_t port_;
  uint8_t model_;
  int length_;
  int listener_ = -1;
  int sender_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

class TCPIPEnumeration : public testing::Test {
 protected:
  void SetUp() override {
    if (!qmtest::NetNamespace::available()) GTEST_SKIP() << "needs network namespaces";
    ns_ = std::make_unique<qmtest::NetNamespace>();
    ns_->enter();
    const std::vector<std::string> both{ns_->hostAddress(), ns_->deviceAddress()};
    first_ = std::make_unique<Responder>(ns_->deviceAddress(), both, 0x40F5849A, 8000, 21);
    second_ = std::make_unique<Responder>(ns_->deviceAddress(), both, 0x0000ABCD, 8001, 4, 12);
  }
  void TearDown() override {
    first_.reset();
    second_.reset();
    ns_.reset();
  }
  std::unique_ptr<qmtest::NetNamespace> ns_;
  std::unique_ptr<Responder> first_;
  std::unique_ptr<Responder> second_;
};

struct Collected {
  std::vector<linkSpec> found;
  size_t stopAfter = 0;  // 0: never stop
  bool count = true;
};

bool sCollect(const linkSpec* found, bool* counted, void* ref) {
  auto* c = static_cast<Collected*>(ref);
  c->found.push_back(*found);
  *counted = c->count;
  return c->stopAfter == 0 || c->found.size() < c->stopAfter;
}

TEST_F(TCPIPEnumeration, ListsEachDeviceOnceWithItsDescription) {
  Collected c;
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, sCollect, &c, aDISCOVERY_ALL_INTERFACES), 2);
  ASSERT_EQ(c.found.size(), 2u);
  // The request went out on both interfaces of the namespace.
  EXPECT_GE(first_->requests(), 2);
  const uint32_t device = sAddress(ns_->deviceAddress());
  for (const linkSpec& s : c.found) {
    EXPECT_EQ(s.type, TCPIP);
    EXPECT_EQ(s.module, 6u);
    EXPECT_EQ(s.router, 6u);
    EXPECT_EQ(s.router_serial_num, s.serial_num);
    EXPECT_EQ(s.t.ip.ip_address, device);
    if (s.serial_num == 0x40F5849A) {
      EXPECT_EQ(s.model, 21u);
      EXPECT_EQ(s.t.ip.ip_port, 8000u);
    } else {
      EXPECT_EQ(s.serial_num, 0x0000ABCDu);
      EXPECT_EQ(s.model, 255u);  // its 12-byte answer has no model
      EXPECT_EQ(s.t.ip.ip_port, 8001u);
    }
  }
}

TEST_F(TCPIPEnumeration, CallbackDecidesWhatCountsAndWhenToStop) {
  Collected stopAtOnce;
  stopAtOnce.stopAfter = 1;
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, sCollect, &stopAtOnce, aDISCOVERY_ALL_INTERFACES),
            1);
  EXPECT_EQ(stopAtOnce.found.size(), 1u);

  Collected countNone;
  countNone.count = false;
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, sCollect, &countNone, aDISCOVERY_ALL_INTERFACES),
            0);
  EXPECT_EQ(countNone.found.size(), 2u);
}

TEST_F(TCPIPEnumeration, RequestOnOneInterface) {
  Collected c;
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, sCollect, &c, sAddress(ns_->hostAddress())), 2);
}

TEST_F(TCPIPEnumeration, FindModuleBySerialNumber) {
  linkSpec* found = aDiscovery_FindModule(TCPIP, 0x0000ABCD, aDISCOVERY_ALL_INTERFACES);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->serial_num, 0x0000ABCDu);
  EXPECT_EQ(found->t.ip.ip_port, 8001u);
  aLinkSpec_Destroy(&found);

  EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x12345678, aDISCOVERY_ALL_INTERFACES), nullptr);

  linkSpec* first = aDiscovery_FindFirstModule(TCPIP, aDISCOVERY_ALL_INTERFACES);
  ASSERT_NE(first, nullptr);
  EXPECT_NE(first->serial_num, 0u);
  EXPECT_EQ(first->type, TCPIP);
  aLinkSpec_Destroy(&first);
}

TEST(aDiscoveryUSB, EnumerationWithoutDevicesCountsNothing) {
  // No Quillomat device is attached to the build machine.
  Collected c;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &c, aDISCOVERY_ALL_INTERFACES), 0);
  EXPECT_TRUE(c.found.empty());
  EXPECT_EQ(aDiscovery_FindFirstModule(USB, aDISCOVERY_ALL_INTERFACES), nullptr);
}

}  // namespace
