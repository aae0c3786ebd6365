// Socket stream against a TCP listener on 127.0.0.1 in the test.
// ctest-labels: threaded
#include "aStreamsocket.h"
#include "qm_stream.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using qmtest::readStream;
using Clock = std::chrono::steady_clock;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = kLoopback;
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(fd_, 4);
    socklen_t length = sizeof(address);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~Listener() { closeListener(); }
  uint16_t port() const { return port_; }
  void closeListener() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  // The next connection, or -1 after 10 s.
  int accept() {
    pollfd wait = {fd_, POLLIN, 0};
    if (poll(&wait, 1, 10000) != 1) return -1;
    return ::accept(fd_, nullptr, nullptr);
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// Closes a connection with a reset rather than an orderly close.
void resetConnection(int fd) {
  linger hard = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
  close(fd);
}

// Reads `count` bytes from a peer socket (10 s at most).
Bytes receive(int fd, size_t count) {
  Bytes out;
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (out.size() < count && Clock::now() < deadline) {
    pollfd wait = {fd, POLLIN, 0};
    if (poll(&wait, 1, 100) != 1) continue;
    uint8_t buffer[4096];
    ssize_t n = recv(fd, buffer, std::min(sizeof(buffer), count - out.size()), 0);
    if (n <= 0) break;
    out.insert(out.end(), buffer, buffer + n);
  }
  return out;
}


class SocketStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(aStream_CreateSocket(kLoopback, listener.port(), &stream), aErrNone);
    ASSERT_NE(stream, nullptr);
    peer = listener.accept();
    ASSERT_GE(peer, 0);
  }
  void TearDown() override {
    if (stream != nullptr) {
      EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    }
    if (peer >= 0) close(peer);
  }

  Listener listener;
  aStreamRef stream = nullptr;
  int peer = -1;
};

TEST_F(SocketStreamTest, CarriesBytesBothWays) {
  const Bytes out = {0x06, 0x03, 0x01, 0x00, 0xFF};
  ASSERT_EQ(aStream_Write(stream, out.data(), out.size()), aErrNone);
  const uint8_t single = 0x42;
  ASSERT_EQ(stream->putProc(&single, stream->reference), aErrNone);
  Bytes expected = out;
  expected.push_back(single);
  EXPECT_EQ(receive(peer, expected.size()), expected);

  const Bytes in = {0x10, 0x00, 0x20, 0x30};
  ASSERT_EQ(send(peer, in.data(), in.size(), 0), (ssize_t)in.size());
  EXPECT_EQ(readStream(stream, in.size()), in);
}

TEST_F(SocketStreamTest, GetWithNothingWaitingIsNotReady) {
  uint8_t byte = 0x5A;
  for (int i = 0; i < 3; i++) EXPECT_EQ(stream->getProc(&byte, stream->reference), aErrNotReady);
  EXPECT_EQ(byte, 0x5A);
}

TEST_F(SocketStreamTest, PeerCloseLooksLikeNoDataFromThenOn) {
  const Bytes last = {0x01, 0x02};
  ASSERT_EQ(send(peer, last.data(), last.size(), 0), 2);
  close(peer);
  peer = -1;
  EXPECT_EQ(readStream(stream, last.size()), last);
  uint8_t byte = 0;
  for (int i = 0; i < 5; i++) EXPECT_EQ(stream->getProc(&byte, stream->reference), aErrNotReady);
}

TEST_F(SocketStreamTest, ReadReconnectsAfterReset) {
  resetConnection(peer);
  peer = -1;
  uint8_t byte = 0;
  // The read that sees the reset reconnects and finds nothing waiting yet.
  EXPECT_EQ(stream->getProc(&byte, stream->reference), aErrNotReady);
  peer = listener.accept();
  ASSERT_GE(peer, 0);
  const Bytes in = {0x33, 0x44};
  ASSERT_EQ(send(peer, in.data(), in.size(), 0), 2);
  EXPECT_EQ(readStream(stream, in.size()), in);
  const Bytes out = {0x55};
  ASSERT_EQ(aStream_Write(stream, out.data(), out.size()), aErrNone);
  EXPECT_EQ(receive(peer, 1), out);
}

TEST_F(SocketStreamTest, WriteReconnectsAfterReset) {
  resetConnection(peer);
  peer = -1;
  // Give the reset time to arrive, so the send sees it.
  pollfd wait = {-1, 0, 0};
  poll(&wait, 0, 100);
  const Bytes out = {0x06, 0x00};
  EXPECT_EQ(aStream_Write(stream, out.data(), out.size()), aErrNone);
  peer = listener.accept();
  ASSERT_GE(peer, 0);
  EXPECT_EQ(receive(peer, out.size()), out);
}

TEST_F(SocketStreamTest, LostConnectionWithoutListenerReportsConnection) {
  listener.closeListener();
  resetConnection(peer);
  peer = -1;
  pollfd wait = {-1, 0, 0};
  poll(&wait, 0, 100);
  const Bytes out = {0x06, 0x00};
  EXPECT_EQ(aStream_Write(stream, out.data(), out.size()), aErrConnection);
  uint8_t byte = 0;
  EXPECT_EQ(stream->getProc(&byte, stream->reference), aErrConnection);
  EXPECT_EQ(aStream_Write(stream, out.data(), out.size()), aErrConnection);
}

TEST_F(SocketStreamTest, WriteGivesUpWhenThePeerStopsReading) {
  // The peer never reads: once the buffers are full every send would block.
  // The write ends (after its ten attempts) and says the bytes did not go.
  const Bytes big(64 * 1024 * 1024, 0xA5);
  EXPECT_EQ(aStream_Write(stream, big.data(), big.size()), aErrIO);
}

TEST_F(SocketStreamTest, ReadAndWriteOnTwoThreads) {
  // The link engine reads on one thread and writes on another; the peer
  // echoes everything back.
  constexpr size_t kCount = 20000;
  std::thread echo([this] {
    size_t echoed = 0;
    while (echoed < kCount) {
      Bytes chunk = receive(peer, std::min<size_t>(512, kCount - echoed));
      if (chunk.empty()) break;
      send(peer, chunk.data(), chunk.size(), MSG_NOSIGNAL);
      echoed += chunk.size();
    }
  });
  std::atomic<bool> writeOk{true};
  std::thread writer([&] {
    for (size_t i = 0; i < kCount; i += 100) {
      Bytes block(100);
      for (size_t j = 0; j < block.size(); j++) block[j] = (uint8_t)(i + j);
      if (aStream_Write(stream, block.data(), block.size()) != aErrNone) writeOk = false;
    }
  });
  Bytes got = readStream(stream, kCount);
  writer.join();
  echo.join();
  EXPECT_TRUE(writeOk);
  ASSERT_EQ(got.size(), kCount);
  for (size_t i = 0; i < kCount; i++) ASSERT_EQ(got[i], (uint8_t)i) << "byte " << i;
}

TEST(SocketStream, CreateFailures) {
  aStreamRef stream = reinterpret_cast<aStreamRef>(0x1);
  {
    // A port nobody listens on: bind one, then let it go.
    Listener gone;
    uint16_t port = gone.port();
    gone.closeListener();
    EXPECT_EQ(aStream_CreateSocket(kLoopback, port, &stream), aErrResource);
    EXPECT_EQ(stream, nullptr);
  }
  EXPECT_EQ(aStream_CreateSocket(kLoopback, 1, nullptr), aErrResource);
}

TEST(SocketStream, InvalidRecordIsRefused) {
  Listener listener;
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(kLoopback, listener.port(), &stream), aErrNone);
  uint8_t byte = 0;
  EXPECT_EQ(stream->getProc(&byte, nullptr), aErrParam);
  EXPECT_EQ(stream->writeProc(&byte, 1, nullptr), aErrParam);
  EXPECT_EQ(stream->deleteProc(nullptr), aErrIO);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

}  // namespace

namespace {

TEST(SocketStream, ConnectGivesUpOnAPeerThatNeverAnswers) {
  // A listener that never accepts, with its queue full: further connection
  // requests go unanswered.
  Listener silent;
  std::vector<int> queued;
  int blocked = -1;
  for (int i = 0; i < 64 && blocked < 0; i++) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = kLoopback;
    address.sin_port = htons(silent.port());
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    pollfd wait = {fd, POLLOUT, 0};
    if (poll(&wait, 1, 500) == 0) blocked = fd;
    queued.push_back(fd);
  }
  if (blocked < 0) {
    for (int fd : queued) close(fd);
    GTEST_SKIP() << "the listener's queue did not fill";
  }
  // The attempt ends with a failure well before the minutes the system's
  // own connection time-out takes; the bound is generous, not a speed goal.
  struct Attempt {
    std::promise<aErr> result;
    aStreamRef stream = nullptr;
  };
  auto attempt = std::make_shared<Attempt>();
  std::future<aErr> done = attempt->result.get_future();
  uint16_t port = silent.port();
  std::thread([attempt, port] {
    attempt->result.set_value(aStream_CreateSocket(kLoopback, port, &attempt->stream));
  }).detach();
  ASSERT_EQ(done.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(done.get(), aErrResource);
  EXPECT_EQ(attempt->stream, nullptr);
  for (int fd : queued) close(fd);
}

}  // namespace
