// ctest-labels: threaded
// The link engine against a small scripted device: over a socket pair as a
// caller's stream, and over TCP on the loopback interface.
#include "aLink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "aLinkManagerInternal.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// Generous bound for conditions that should come true promptly; far above
// any scheduling delay on a loaded machine.
constexpr auto kPatience = 20s;

struct PacketDeleter {
  void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using Packet = std::unique_ptr<aPacket, PacketDeleter>;

Packet sPacket(uint8_t address, Bytes data) {
  return Packet(aPacket_CreateWithData(address, (uint8_t)data.size(), data.data()));
}

Bytes sBytes(const aPacket* p) { return Bytes(p->data, p->data + p->dataSize); }

template <typename Pred>
bool sEventually(Pred pred, std::chrono::milliseconds limit = kPatience) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// The device end of a connection: parses the host's packets, records them,
// answers synchronisation requests with its module address, and sends what
// the test gives it.
class Device {
 public:
  explicit Device(int fd, uint8_t address = 6) : fd_(fd), address_(address) {
    thread_ = std::thread([this] { run(); });
  }
  ~Device() {
    stop_ = true;
    thread_.join();
    if (fd_ >= 0) close(fd_);
  }

  void send(const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return;
      done += (size_t)n;
    }
  }
  void answerSync(bool on) { answerSync_ = on; }
  // Packets received from the host, each as address, length, data.
  std::vector<Bytes> received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return packets_;
  }
  size_t count(const Bytes& packet) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& p : packets_) n += p == packet;
    return n;
  }
  bool waitFor(const Bytes& packet, size_t times = 1) {
    return sEventually([&] { return count(packet) >= times; });
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    packets_.clear();
  }
  bool closedByHost() const { return closed_; }

 private:
  void run() {
    Bytes pending;
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      uint8_t buffer[512];
      ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) {
        closed_ = true;
        std::this_thread::sleep_for(5ms);
        continue;
      }
      pending.insert(pending.end(), buffer, buffer + n);
      while (pending.size() >= 2 && pending.size() >= 2u + pending[1]) {
        Bytes packet(pending.begin(), pending.begin() + 2 + pending[1]);
        pending.erase(pending.begin(), pending.begin() + 2 + pending[1]);
        {
          std::lock_guard<std::mutex> lock(mutex_);
          packets_.push_back(packet);
        }
        if (packet == Bytes{0xAD, 0} && answerSync_) send({address_, 0});
      }
    }
  }

  int fd_;
  uint8_t address_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> answerSync_{true};
  std::atomic<bool> closed_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::mutex writeMutex_;
  std::vector<Bytes> packets_;
};

// A caller's stream over one end of a socket pair; reads wait up to 10 ms.
aErr sFdGet(uint8_t* byte, void* ref) {
  int fd = (int)(intptr_t)ref;
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 10) <= 0) return aErrNotReady;
  ssize_t n = read(fd, byte, 1);
  if (n == 1) return aErrNone;
  return n == 0 ? aErrNotReady : aErrIO;
}
aErr sFdWrite(const uint8_t* data, size_t length, void* ref) {
  int fd = (int)(intptr_t)ref;
  while (length) {
    ssize_t n = write(fd, data, length);
    if (n <= 0) return aErrIO;
    data += n;
    length -= (size_t)n;
  }
  return aErrNone;
}
aErr sFdPut(const uint8_t* byte, void* ref) { return sFdWrite(byte, 1, ref); }
aErr sFdDelete(void* ref) {
  close((int)(intptr_t)ref);
  return aErrNone;
}

// A link over a socket pair with a scripted device on the other end.
struct PairLink {
  explicit PairLink(uint8_t address = 6) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    device = std::make_unique<Device>(fds[1], address);
    aStreamRef stream =
        aStream_Create(sFdGet, sFdPut, sFdWrite, sFdDelete, (void*)(intptr_t)fds[0]);
    link = aLink_Create(stream);
  }
  ~PairLink() {
    if (link) aLink_Destroy(&link);
  }
  std::unique_ptr<Device> device;
  aLinkRef link = 0;
};

size_t sTableSize() {
  size_t n = 0;
  aLinkEntry entry;
  for (aLinkRef number = 1; number < _links.nextNumber; number++) {
    n += _aLinkTable_GetEntry(number, &entry);
  }
  return n;
}

bool sAcceptAll(const aPacket*, void*) { return true; }

TEST(aLink, StartsRunningAndCarriesPacketsBothWays) {
  PairLink pair;
  ASSERT_NE(pair.link, 0u);
  EXPECT_EQ(aLink_GetStatus(pair.link), (uint32_t)kLinkRunning);
  // Starting a link announces the route.
  EXPECT_TRUE(pair.device->waitFor({0xAF, 1, 1}));

  Packet out = sPacket(6, {0x11, 0x22, 0x33});
  ASSERT_EQ(aLink_PutPacket(pair.link, out.get()), aErrNone);
  EXPECT_TRUE(pair.device->waitFor({6, 3, 0x11, 0x22, 0x33}));

  pair.device->send({6, 4, 1, 2, 3, 4, 6, 0});
  Packet in(aLink_AwaitPacket(pair.link, 20000));
  ASSERT_TRUE(in);
  EXPECT_EQ(in->address, 6);
  EXPECT_EQ(sBytes(in.get()), (Bytes{1, 2, 3, 4}));
  Packet empty(aLink_AwaitFirst(pair.link, sAcceptAll, nullptr, 20000));
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->dataSize, 0);
  EXPECT_EQ(aLink_GetPacket(pair.link), nullptr);
}

TEST(aLink, AwaitFirstTakesTheMatchingPacketAndLeavesTheOthers) {
  PairLink pair;
  pair.device->send({6, 1, 0x10, 6, 1, 0x20, 6, 1, 0x30});
  auto want = [](const aPacket* p, void* ref) {
    return p->dataSize == 1 && p->data[0] == *static_cast<uint8_t*>(ref);
  };
  uint8_t wanted = 0x20;
  Packet match(aLink_AwaitFirst(pair.link, want, &wanted, 20000));
  ASSERT_TRUE(match);
  EXPECT_EQ(match->data[0], 0x20);
  Packet first(aLink_AwaitPacket(pair.link, 20000));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->data[0], 0x10);
  uint8_t none = 0x77;
  EXPECT_EQ(aLink_AwaitFirst(pair.link, want, &none, 50), nullptr);
  EXPECT_EQ(aLink_DrainPackets(pair.link, sAcceptAll, nullptr), 1u);
}

struct HeartbeatCase {
  Bytes incoming;
  Bytes answer;  // empty: no answer, the packet is queued for callers
};

TEST(aLink, HeartbeatsAreAnsweredAndNotQueued) {
  const HeartbeatCase cases[] = {
      {{6, 2, 0, 0}, {6, 2, 0, 2}},    // up
      {{6, 2, 0, 1}, {6, 2, 0, 3}},    // down
      {{8, 2, 0, 0}, {8, 2, 0, 2}},    // answered to the sender's address
      {{6, 2, 5, 0}, {}},              // command 5: an ordinary packet
      {{6, 3, 0, 0, 0}, {}},           // three data bytes: not a heartbeat
  };
  PairLink pair;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.incoming));
    pair.device->clear();
    // A marker packet after the case shows when the case has been handled.
    Bytes bytes = c.incoming;
    bytes.insert(bytes.end(), {6, 1, 0xEE});
    pair.device->send(bytes);
    Packet first(aLink_AwaitPacket(pair.link, 20000));
    ASSERT_TRUE(first);
    if (c.answer.empty()) {
      EXPECT_EQ(sBytes(first.get()), Bytes(c.incoming.begin() + 2, c.incoming.end()));
      Packet marker(aLink_AwaitPacket(pair.link, 20000));
      ASSERT_TRUE(marker);
    } else {
      EXPECT_EQ(sBytes(first.get()), Bytes{0xEE});
      EXPECT_TRUE(pair.device->waitFor(c.answer));
    }
    EXPECT_EQ(aLink_GetPacket(pair.link), nullptr);
  }
}

TEST(aLink, BytesOutOfStepLeadToASynchronisation) {
  const Bytes garbage[] = {
      {7, 0},                              // odd address
      {0},                                 // address 0
      {6, 29, 1, 2, 3},                    // data length above 28
  };
  PairLink pair;
  for (const auto& bytes : garbage) {
    SCOPED_TRACE(testing::PrintToString(bytes));
    ASSERT_TRUE(sEventually([&] { return aLink_GetStatus(pair.link) == kLinkRunning; }));
    pair.device->clear();
    pair.device->send(bytes);
    // Six requests go out; the device answers each, and the link is back in
    // step.
    EXPECT_TRUE(pair.device->waitFor({0xAD, 0}, 6));
    EXPECT_TRUE(sEventually([&] { return aLink_GetStatus(pair.link) == kLinkRunning; }));
    aLink_DrainPackets(pair.link, sAcceptAll, nullptr);
    // Packets flow again.
    pair.device->send({6, 1, 0x42});
    auto marker = [](const aPacket* p, void*) { return p->dataSize == 1 && p->data[0] == 0x42; };
    Packet back(aLink_AwaitFirst(pair.link, marker, nullptr, 20000));
    EXPECT_TRUE(back);
  }
}

TEST(aLink, HandshakeNeedsTheSameAddressTwice) {
  PairLink pair;
  pair.device->answerSync(false);
  pair.device->send({7});
  ASSERT_TRUE(pair.device->waitFor({0xAD, 0}));
  ASSERT_TRUE(sEventually([&] { return aLink_GetStatus(pair.link) == kLinkSyncing; }));
  // A wrong answer restarts the handshake; so does a second address that
  // differs from the first.
  pair.device->send({7, 0, 6, 0, 8, 0});
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(aLink_GetStatus(pair.link), (uint32_t)kLinkSyncing);
  pair.device->send({6, 0, 6, 0});
  EXPECT_TRUE(sEventually([&] { return aLink_GetStatus(pair.link) == kLinkRunning; }));
}

TEST(aLink, SilentDeviceKeepsGettingRequests) {
  PairLink pair;
  pair.device->answerSync(false);
  pair.device->send({9});
  // Requests are repeated in bursts while the device stays silent.
  EXPECT_TRUE(pair.device->waitFor({0xAD, 0}, 18));
  EXPECT_EQ(aLink_GetStatus(pair.link), (uint32_t)kLinkSyncing);
  EXPECT_EQ(aLink_AwaitFirst(pair.link, sAcceptAll, nullptr, 20000), nullptr);
}

TEST(aLink, SyncWaitsForTheDeviceAndDrainsTheLeftovers) {
  PairLink pair;
  ASSERT_EQ(aLink_Sync(pair.link), aErrNone);
  EXPECT_EQ(aLink_GetStatus(pair.link), (uint32_t)kLinkRunning);
  // The surplus answers were drained.
  EXPECT_EQ(aLink_GetPacket(pair.link), nullptr);

  pair.device->answerSync(false);
  EXPECT_EQ(aLink_Sync(pair.link), aErrNotReady);
  EXPECT_EQ(aLink_Sync(0), aErrParam);
}

TEST(aLink, UserFilterConsumesPacketsUntilRemoved) {
  PairLink pair;
  struct Seen {
    std::mutex mutex;
    std::vector<Bytes> packets;
  } seen;
  auto filter = [](const aPacket* p, void* ref) {
    auto* s = static_cast<Seen*>(ref);
    std::lock_guard<std::mutex> lock(s->mutex);
    s->packets.push_back(sBytes(p));
    return p->data[0] == 0x51;  // consumes only these
  };
  ASSERT_EQ(aLink_InstallUserPacketFilter(pair.link, filter, &seen), aErrNone);
  pair.device->send({6, 1, 0x51, 6, 1, 0x52});
  Packet kept(aLink_AwaitPacket(pair.link, 20000));
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->data[0], 0x52);
  {
    std::lock_guard<std::mutex> lock(seen.mutex);
    EXPECT_EQ(seen.packets, (std::vector<Bytes>{{0x51}, {0x52}}));
  }
  ASSERT_EQ(aLink_InstallUserPacketFilter(pair.link, nullptr, nullptr), aErrNone);
  pair.device->send({6, 1, 0x51});
  Packet now(aLink_AwaitPacket(pair.link, 20000));
  ASSERT_TRUE(now);
  EXPECT_EQ(now->data[0], 0x51);
}

TEST(aLink, UnknownNumbersAreRefused) {
  const aLinkRef unknown = 0x7FFFFFF0;
  Packet p = sPacket(6, {1});
  EXPECT_EQ(aLink_GetStatus(unknown), (uint32_t)kLinkNoStream);
  EXPECT_EQ(aLink_PutPacket(unknown, p.get()), aErrParam);
  EXPECT_EQ(aLink_GetPacket(unknown), nullptr);
  EXPECT_EQ(aLink_AwaitPacket(unknown, 10), nullptr);
  EXPECT_EQ(aLink_GetFirst(unknown, sAcceptAll, nullptr), nullptr);
  EXPECT_EQ(aLink_AwaitFirst(unknown, sAcceptAll, nullptr, 10), nullptr);
  EXPECT_EQ(aLink_DrainPackets(unknown, sAcceptAll, nullptr), 0u);
  EXPECT_EQ(aLink_Start(unknown), aErrParam);
  EXPECT_EQ(aLink_Reset(unknown), aErrParam);
  EXPECT_EQ(aLink_ForceRoute(unknown, true), aErrNotFound);
  EXPECT_EQ(aLink_InstallUserPacketFilter(unknown, nullptr, nullptr), aErrParam);
  EXPECT_EQ(aLink_EnablePooledPackets(unknown, true), aErrParam);
  EXPECT_EQ(aLink_Init(unknown, nullptr), 0u);
  EXPECT_EQ(aLink_CreateClient(0, 0, unknown), 0u);
  aLinkRef number = unknown;
  EXPECT_EQ(aLink_Destroy(&number), aErrParam);
  EXPECT_EQ(number, 0u);
  EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
  EXPECT_EQ(aLink_Stop(nullptr), aErrParam);
}

TEST(aLink, DestroyedLinkIsGoneAndSaysSoOnTheWire) {
  PairLink pair;
  aLinkRef number = pair.link;
  Device* device = pair.device.get();
  ASSERT_EQ(aLink_Destroy(&pair.link), aErrNone);
  EXPECT_EQ(pair.link, 0u);
  EXPECT_EQ(aLink_GetStatus(number), (uint32_t)kLinkNoStream);
  // The stop's route request still left, and the stream was closed.
  EXPECT_TRUE(device->waitFor({0xAF, 1, 0}));
  EXPECT_TRUE(sEventually([&] { return device->closedByHost(); }));
}

TEST(aLink, ClientWithReferenceSharesTheLink) {
  PairLink pair;
  aLinkRef again = aLink_CreateClient(0, 0, pair.link);
  ASSERT_EQ(again, pair.link);
  ASSERT_EQ(aLink_Destroy(&again), aErrNone);
  EXPECT_EQ(aLink_GetStatus(pair.link), (uint32_t)kLinkRunning);
}

TEST(aLink, AwaitFirstOnALinkThatIsNotRunningReturnsAtOnce) {
  // A stream whose reads fail puts the link in input error.
  auto failing = [](uint8_t*, void*) -> aErr { return aErrIO; };
  aStreamRef stream = aStream_Create(failing, nullptr, nullptr, nullptr, nullptr);
  aLinkEntry* entry = _aLinkTable_Add(kLinkKindStream, 0xFFFFFFFFu, 0, 0);
  ASSERT_NE(entry, nullptr);
  aLinkRef link = entry->linkNumber;
  ASSERT_EQ(aLink_Init(link, stream), link);
  _aLinkTable_ChangeUseCount(link, 1, nullptr);
  aLink_Start(link);  // comes up in input error: the start reports it
  ASSERT_TRUE(sEventually([&] { return aLink_GetStatus(link) == kLinkInputError; }));
  // A packet that is queued is not looked at.
  Packet queued = sPacket(6, {1});
  aLinkSnapshot snapshot;
  ASSERT_TRUE(_aLinkTable_Snapshot(link, &snapshot));
  ASSERT_EQ(aPacketFifo_Put(snapshot.inputFifo, queued.get()), aErrNone);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_AwaitFirst(link, sAcceptAll, nullptr, 60000), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  ASSERT_EQ(aLink_Destroy(&link), aErrNone);
}

TEST(aLink, ResetOfACallersStreamLinkLeavesItWorking) {
  PairLink pair;
  EXPECT_EQ(aLink_Reset(pair.link), aErrParam);
  EXPECT_EQ(aLink_GetStatus(pair.link), (uint32_t)kLinkRunning);
  Packet out = sPacket(6, {0x5A});
  ASSERT_EQ(aLink_PutPacket(pair.link, out.get()), aErrNone);
  EXPECT_TRUE(pair.device->waitFor({6, 1, 0x5A}));
}

// Records every write of the output thread; reads find nothing. While the
// gate is closed, writes wait, so that packets pile up in the output FIFO.
struct Recorder {
  std::mutex mutex;
  std::condition_variable opened;
  bool gate = true;
  std::vector<Bytes> writes;
  void close() {
    std::lock_guard<std::mutex> lock(mutex);
    gate = false;
  }
  void open() {
    std::lock_guard<std::mutex> lock(mutex);
    gate = true;
    opened.notify_all();
  }
};
aErr sRecordWrite(const uint8_t* data, size_t length, void* ref) {
  auto* r = static_cast<Recorder*>(ref);
  std::unique_lock<std::mutex> lock(r->mutex);
  r->opened.wait(lock, [r] { return r->gate; });
  r->writes.emplace_back(data, data + length);
  return aErrNone;
}
aErr sNothing(uint8_t*, void*) { return aErrNotReady; }

TEST(aLink, PooledOutputLeavesInWholePacketsOfAtMost4096Bytes) {
  Recorder recorder;
  recorder.close();
  aStreamRef stream = aStream_Create(sNothing, nullptr, sRecordWrite, nullptr, &recorder);
  aLinkRef link = aLink_Create(stream);
  ASSERT_NE(link, 0u);
  ASSERT_EQ(aLink_EnablePooledPackets(link, true), aErrNone);
  // The output thread is held in the write of the route request while the
  // packets are queued.
  Bytes payload(28);
  for (int i = 0; i < 200; i++) {
    payload[0] = (uint8_t)i;
    Packet p = sPacket(6, payload);
    ASSERT_EQ(aLink_PutPacket(link, p.get()), aErrNone);
  }
  recorder.open();
  auto total = [&] {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    size_t n = 0;
    for (const auto& w : recorder.writes) n += w.size();
    return n;
  };
  // The route request (3 bytes) and the 200 packets of 30 bytes.
  ASSERT_TRUE(sEventually([&] { return total() == 3 + 200 * 30; }));
  ASSERT_EQ(aLink_Destroy(&link), aErrNone);
  std::lock_guard<std::mutex> lock(recorder.mutex);
  int next = 0;
  bool combined = false;
  for (const auto& w : recorder.writes) {
    EXPECT_LE(w.size(), 4096u);
    size_t at = 0;
    int inWrite = 0;
    while (at < w.size()) {
      ASSERT_LE(at + 2, w.size());
      size_t length = 2 + w[at + 1];
      ASSERT_LE(at + length, w.size()) << "packet split across writes";
      if (w[at] == 6) {
        EXPECT_EQ(w[at + 2], (uint8_t)next);  // in order, none lost
        next++;
      }
      at += length;
      inWrite++;
    }
    combined = combined || inWrite > 1;
  }
  EXPECT_EQ(next, 200);
  EXPECT_TRUE(combined);
}

TEST(aLink, UnpooledOutputWritesOnePacketPerWrite) {
  Recorder recorder;
  aStreamRef stream = aStream_Create(sNothing, nullptr, sRecordWrite, nullptr, &recorder);
  aLinkRef link = aLink_Create(stream);
  ASSERT_NE(link, 0u);
  for (int i = 0; i < 20; i++) {
    Packet p = sPacket(6, {(uint8_t)i, 0, 0});
    ASSERT_EQ(aLink_PutPacket(link, p.get()), aErrNone);
  }
  ASSERT_EQ(aLink_Destroy(&link), aErrNone);
  std::lock_guard<std::mutex> lock(recorder.mutex);
  ASSERT_EQ(recorder.writes.size(), 1u + 20u + 1u);  // route on, packets, route off
  for (const auto& w : recorder.writes) EXPECT_EQ(w.size(), 2u + w[1]);
}

TEST(aLink, ModuleAddressAndModelQueries) {
  PairLink pair(0x0A);
  uint8_t address = 0;
  ASSERT_EQ(_aLink_GetModuleAddress(pair.link, &address), aErrNone);
  EXPECT_EQ(address, 0x0A);
  std::thread answer([&] {
    pair.device->waitFor({0x0A, 3, 3, 0x48, 0x20});
    pair.device->send({0x0A, 4, 3, 0x48, 0x20, 21});
  });
  uint8_t model = 0;
  EXPECT_EQ(_aLink_GetModel(pair.link, 0x0A, &model), aErrNone);
  answer.join();
  EXPECT_EQ(model, 21);
  pair.device->answerSync(false);
  EXPECT_EQ(_aLink_GetModuleAddress(pair.link, &address), aErrTimeout);
  pair.device->send({0x0A, 1, 7});
  EXPECT_EQ(_aLink_GetModuleAddress(pair.link, &address), aErrIO);
}

// --- TCP/IP links to a scripted device on the loopback interface ---

class TcpDevice {
 public:
  TcpDevice() { listen(0); }
  ~TcpDevice() { shutdownAll(); }
  uint16_t port() const { return port_; }
  uint32_t address() const { return htonl(INADDR_LOOPBACK); }
  // Drops every connection and stops listening.
  void shutdownAll() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.clear();
  }
  // Listens again on the same port, as a restarted device does.
  void restart() {
    stop_ = false;
    listen(port_);
  }
  // The connection whose device has received `packet`; null after the time-out.
  Device* deviceWith(const Bytes& packet) {
    Device* found = nullptr;
    sEventually([&] {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto& d : devices_) {
        if (d->count(packet)) found = d.get();
      }
      return found != nullptr;
    });
    return found;
  }
  int connections() const { return connections_; }

 private:
  void listen(uint16_t port) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(listener_, (sockaddr*)&a, sizeof a), 0);
    EXPECT_EQ(::listen(listener_, 4), 0);
    socklen_t len = sizeof a;
    getsockname(listener_, (sockaddr*)&a, &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] {
      while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0) continue;
        int fd = accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        connections_++;
        std::lock_guard<std::mutex> lock(mutex_);
        devices_.push_back(std::make_unique<Device>(fd));
      }
    });
  }

  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Device>> devices_;
};

TEST(aLinkTCPIP, SharedBySerialNumberAndTornDownByUseCount) {
  TcpDevice tcp;
  aLinkRef first = aLink_CreateTCPIP(0x40F5849A, tcp.address(), tcp.port());
  ASSERT_NE(first, 0u);
  EXPECT_EQ(aLink_GetStatus(first), (uint32_t)kLinkRunning);
  aLinkRef second = aLink_CreateTCPIP(0x40F5849A, tcp.address(), tcp.port());
  EXPECT_EQ(second, first);
  EXPECT_EQ(tcp.connections(), 1);
  // Another device is another link.
  TcpDevice otherDevice;
  aLinkRef other = aLink_CreateTCPIP(0x11111111, otherDevice.address(), otherDevice.port());
  ASSERT_NE(other, 0u);
  EXPECT_NE(other, first);
  ASSERT_EQ(aLink_Destroy(&other), aErrNone);

  ASSERT_EQ(aLink_Destroy(&second), aErrNone);
  EXPECT_EQ(aLink_GetStatus(first), (uint32_t)kLinkRunning);
  aLinkRef number = first;
  ASSERT_EQ(aLink_Destroy(&first), aErrNone);
  EXPECT_EQ(aLink_GetStatus(number), (uint32_t)kLinkNoStream);
  EXPECT_EQ(aLink_Destroy(&number), aErrParam);
}

TEST(aLinkTCPIP, UnknownSerialNumbersShareOnlyTheSameAddress) {
  TcpDevice a, b;
  aLinkRef first = aLink_CreateTCPIP(0, a.address(), a.port());
  aLinkRef second = aLink_CreateTCPIP(0, b.address(), b.port());
  ASSERT_NE(first, 0u);
  ASSERT_NE(second, 0u);
  EXPECT_NE(first, second);
  aLinkRef again = aLink_CreateTCPIP(0, a.address(), a.port());
  EXPECT_EQ(again, first);
  aLink_Destroy(&again);
  aLink_Destroy(&first);
  aLink_Destroy(&second);
}

TEST(aLinkTCPIP, NothingListeningFailsAndLeavesNoEntry) {
  TcpDevice tcp;
  uint16_t port = tcp.port();
  tcp.shutdownAll();
  size_t before = sTableSize();
  EXPECT_EQ(aLink_CreateTCPIP(0x22222222, htonl(INADDR_LOOPBACK), port), 0u);
  EXPECT_EQ(sTableSize(), before);
}

TEST(aLinkTCPIP, ResetAfterTheDeviceRestartsGivesAWorkingLink) {
  TcpDevice tcp;
  aLinkRef link = aLink_CreateTCPIP(0x33333333, tcp.address(), tcp.port());
  ASSERT_NE(link, 0u);
  tcp.shutdownAll();
  tcp.restart();
  ASSERT_EQ(aLink_Reset(link), aErrNone);
  EXPECT_EQ(aLink_GetStatus(link), (uint32_t)kLinkRunning);
  // The new connection is the one that the restarted link announced itself on.
  Device* device = tcp.deviceWith({0xAF, 1, 1});
  ASSERT_NE(device, nullptr);
  Packet out = sPacket(6, {0x61});
  ASSERT_EQ(aLink_PutPacket(link, out.get()), aErrNone);
  EXPECT_TRUE(device->waitFor({6, 1, 0x61}));
  device->send({6, 1, 0x62});
  Packet in(aLink_AwaitPacket(link, 20000));
  ASSERT_TRUE(in);
  EXPECT_EQ(in->data[0], 0x62);
  aLink_Destroy(&link);
}

TEST(aLinkTCPIP, ResetWhileTheDeviceIsGoneFailsAndCanBeRepeated) {
  TcpDevice tcp;
  aLinkRef link = aLink_CreateTCPIP(0x44444444, tcp.address(), tcp.port());
  ASSERT_NE(link, 0u);
  tcp.shutdownAll();
  // No stream after all tries: the link stays, stopped and without stream.
  EXPECT_NE(aLink_Reset(link), aErrNone);
  EXPECT_EQ(aLink_GetStatus(link), (uint32_t)kLinkNoStream);
  EXPECT_EQ(aLink_AwaitFirst(link, sAcceptAll, nullptr, 60000), nullptr);
  tcp.restart();
  ASSERT_EQ(aLink_Reset(link), aErrNone);
  EXPECT_EQ(aLink_GetStatus(link), (uint32_t)kLinkRunning);
  Device* device = tcp.deviceWith({0xAF, 1, 1});
  ASSERT_NE(device, nullptr);
  device->send({6, 1, 0x63});
  Packet in(aLink_AwaitPacket(link, 20000));
  ASSERT_TRUE(in);
  EXPECT_EQ(in->data[0], 0x63);
  ASSERT_EQ(aLink_Destroy(&link), aErrNone);
}

TEST(aLinkSerial, UnsupportedBaudRatesFailWithoutAnEntry) {
  size_t before = sTableSize();
  for (uint32_t baud : {0u, 14400u, 115201u}) {
    EXPECT_EQ(aLink_CreateSerial(0x1234, "/dev/null", baud), 0u) << baud;
  }
  EXPECT_EQ(aLink_CreateSerial(0x1234, "/nonexistent/port", 115200), 0u);
  EXPECT_EQ(sTableSize(), before);
}

TEST(aLinkUSB, AbsentDeviceFailsWithoutAnEntry) {
  size_t before = sTableSize();
  EXPECT_EQ(aLink_CreateUSB(0x7E57AB5E), 0u);
  EXPECT_EQ(aLink_CreateUSB(0), 0u);
  EXPECT_EQ(sTableSize(), before);
}

}  // namespace
