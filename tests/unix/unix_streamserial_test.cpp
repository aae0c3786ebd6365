// Serial streams over a pseudo-terminal pair.
#include "unix_streamserial.h"
#include "qm_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "cobs.h"
#include "crc8.h"

namespace {

using Bytes = std::vector<uint8_t>;
using qmtest::readStream;
using Clock = std::chrono::steady_clock;

class Pty {
 public:
  Pty() {
    char name[256] = {0};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) path_ = name;
  }
  ~Pty() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  const std::string& path() const { return path_; }
  int master() const { return master_; }
  // The terminal settings of the serial side.
  termios settings() const {
    termios tio{};
    tcgetattr(slave_, &tio);
    return tio;
  }
  void apply(const termios& tio) { tcsetattr(slave_, TCSANOW, &tio); }
  // Bytes arriving at the master end (10 s at most).
  Bytes receive(size_t count) {
    Bytes out;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (out.size() < count && Clock::now() < deadline) {
      pollfd wait = {master_, POLLIN, 0};
      if (poll(&wait, 1, 100) != 1) continue;
      uint8_t buffer[256];
      ssize_t n = read(master_, buffer, std::min(sizeof(buffer), count - out.size()));
      if (n <= 0) break;
      out.insert(out.end(), buffer, buffer + n);
    }
    return out;
  }
  void closeMaster() {
    close(master_);
    master_ = -1;
  }
  void send(const Bytes& bytes) { ASSERT_EQ(write(master_, bytes.data(), bytes.size()), (ssize_t)bytes.size()); }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

TEST(SerialStream, CarriesBytesBothWays) {
  Pty pty;
  ASSERT_FALSE(pty.path().empty());
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), aSerialBaud115200, 0, 0, 0, &stream), aErrNone);
  uint8_t byte = 0x11;
  EXPECT_EQ(stream->getProc(&byte, stream->reference), aErrNotReady);
  const Bytes out = {0x00, 0x0A, 0x0D, 0x03, 0x7F, 0xFF, 0x11, 0x13};  // nothing is translated
  ASSERT_EQ(aStream_Write(stream, out.data(), out.size()), aErrNone);
  ASSERT_EQ(stream->putProc(&out[1], stream->reference), aErrNone);
  Bytes expected = out;
  expected.push_back(out[1]);
  EXPECT_EQ(pty.receive(expected.size()), expected);
  pty.send(out);
  EXPECT_EQ(readStream(stream, out.size()), out);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

struct LineCase {
  uint32_t baudIndex;
  speed_t speed;
  uint8_t parity, dataBits, stopBits;
};

TEST(SerialStream, AppliesRawLineSettings) {
  const std::vector<LineCase> cases = {
      {0, B2400, 0, 0, 0},   {1, B4800, 1, 0, 0},   {2, B9600, 0, 1, 0},
      {3, B19200, 0, 0, 1},  {4, B38400, 1, 1, 1},  {5, B57600, 0, 0, 0},
      {6, B115200, 0, 0, 0}, {7, B230400, 0, 0, 0},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.baudIndex);
    Pty pty;
    aStreamRef stream = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), c.baudIndex, c.parity, c.dataBits,
                                   c.stopBits, &stream),
              aErrNone);
    termios tio = pty.settings();
    EXPECT_EQ(cfgetispeed(&tio), c.speed);
    EXPECT_EQ(cfgetospeed(&tio), c.speed);
    // A pseudo-terminal always keeps 8 data bits without parity, so only
    // the input side of the parity setting shows here.
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.stopBits == 1);
    EXPECT_EQ((tio.c_iflag & INPCK) != 0, c.parity != 0);
    EXPECT_EQ((tio.c_iflag & IGNPAR) != 0, c.parity != 0);
    EXPECT_TRUE(tio.c_cflag & CLOCAL);
    EXPECT_TRUE(tio.c_cflag & CREAD);
    EXPECT_TRUE(tio.c_iflag & IGNBRK);
    EXPECT_FALSE(tio.c_iflag & (ICRNL | IXON));
    EXPECT_FALSE(tio.c_oflag & OPOST);
    EXPECT_FALSE(tio.c_lflag & (ECHO | ICANON | ISIG));
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  }
}

TEST(SerialStream, RestoresTheSettingsOnClose) {
  Pty pty;
  termios before = pty.settings();
  before.c_lflag |= ICANON | ECHO;
  cfsetispeed(&before, B9600);
  cfsetospeed(&before, B9600);
  pty.apply(before);
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), aSerialBaud230400, 0, 0, 0, &stream), aErrNone);
  EXPECT_FALSE(pty.settings().c_lflag & ICANON);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  termios after = pty.settings();
  EXPECT_TRUE(after.c_lflag & ICANON);
  EXPECT_TRUE(after.c_lflag & ECHO);
  EXPECT_EQ(cfgetospeed(&after), (speed_t)B9600);
}

TEST(SerialStream, OpenFailures) {
  Pty pty;
  aStreamRef stream = nullptr;
  using Create = aErr (*)(const char*, uint32_t, uint8_t, uint8_t, uint8_t, aStreamRef*);
  for (Create create : {aStream_CreateSerial, aStream_CreateSerial_Packetized}) {
    EXPECT_EQ(create(pty.path().c_str(), 6, 0, 0, 2, &stream), aErrParam);
    EXPECT_EQ(create(pty.path().c_str(), 6, 0, 2, 0, &stream), aErrParam);
    EXPECT_EQ(create("/dev/quillomat-no-such-port", 6, 0, 0, 0, &stream), aErrNotFound);
    EXPECT_EQ(create("/proc/self/status", 6, 0, 0, 0, &stream), aErrIO);  // not a terminal
    EXPECT_EQ(create(nullptr, 6, 0, 0, 0, &stream), aErrResource);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(create(pty.path().c_str(), 6, 0, 0, 0, nullptr), aErrResource);
  }
}

TEST(SerialStream, HangUpIsAFailure) {
  Pty pty;
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), aSerialBaud9600, 0, 0, 0, &stream), aErrNone);
  pty.closeMaster();
  uint8_t byte = 0;
  EXPECT_EQ(stream->getProc(&byte, stream->reference), aErrIO);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

TEST(SerialStream, PacketizedCarriesFramedPackets) {
  Pty pty;
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial_Packetized(pty.path().c_str(), aSerialBaud115200, 0, 0, 0, &stream),
            aErrNone);
  const Bytes packet = {0x06, 0x02, 0x03, 0x0A};
  ASSERT_EQ(aStream_Write(stream, packet.data(), packet.size()), aErrNone);
  EXPECT_EQ(pty.receive(7), (Bytes{0x06, 0x06, 0x02, 0x03, 0x0A, 0x6D, 0x00}));

  const Bytes reply = {0x08, 0x04, 0x00, 0x01, 0x00, 0x02};
  Bytes raw = reply;
  raw.push_back(crc8_create(reply.data(), reply.size()));
  Bytes frame(COBS_ENCODED_MAX(raw.size()));
  frame.resize(cobs_encode(raw.data(), raw.size(), frame.data()));
  frame.push_back(0);
  pty.send(frame);
  EXPECT_EQ(readStream(stream, reply.size()), reply);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

}  // namespace
