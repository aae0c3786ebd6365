// USB stream: creation errors, and the kernel driver's device node mode
// over a raw pseudo-terminal linked at the node's path.
#include "unix_streamusb.h"
#include "qm_stream.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "qmusb_driver.h"

namespace {

using Bytes = std::vector<uint8_t>;
using qmtest::readStream;
using Clock = std::chrono::steady_clock;

// A raw pseudo-terminal whose serial end is linked at the node path of a
// serial number, standing in for the kernel driver's node.
class FakeNode {
 public:
  explicit FakeNode(uint32_t serial) {
    char name[256] = {0};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
    termios tio{};
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);
    char path[64];
    snprintf(path, sizeof(path), QMUSB_NODE_FORMAT, serial);
    unlink(path);
    if (symlink(name, path) == 0) path_ = path;
  }
  ~FakeNode() {
    if (!path_.empty()) unlink(path_.c_str());
    closeMaster();
    if (slave_ >= 0) close(slave_);
  }
  bool ready() const { return !path_.empty(); }
  void closeMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }
  void send(const Bytes& bytes) { ASSERT_EQ(write(master_, bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
  Bytes receive(size_t count) {
    Bytes out;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (out.size() < count && Clock::now() < deadline) {
      pollfd wait = {master_, POLLIN, 0};
      if (poll(&wait, 1, 100) != 1) continue;
      uint8_t buffer[4096];
      ssize_t n = read(master_, buffer, std::min(sizeof(buffer), count - out.size()));
      if (n <= 0) break;
      out.insert(out.end(), buffer, buffer + n);
    }
    return out;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// A serial number of this test process, so parallel runs do not meet.
uint32_t testSerial() { return 0x7E000000u | ((uint32_t)getpid() & 0xFFFFFF); }


TEST(UsbStream, CreateFailures) {
  aStreamRef stream = reinterpret_cast<aStreamRef>(0x1);
  EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateUSB(0x40F5849A, nullptr), aErrParam);
  // No attached device has this serial number (there is no USB bus here).
  ASSERT_FALSE(qmusb_is_kernel_driver_installed(0x0BADF00D));
  EXPECT_EQ(aStream_CreateUSB(0x0BADF00D, &stream), aErrNotFound);
  EXPECT_EQ(stream, nullptr);
}

class UsbNodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/dev", W_OK) != 0) GTEST_SKIP() << "needs write access to /dev";
    ASSERT_TRUE(node.ready());
  }
  void TearDown() override {
    if (stream != nullptr) {
      EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    }
  }
  const uint32_t serial = testSerial();
  FakeNode node{testSerial()};
  aStreamRef stream = nullptr;
};

TEST_F(UsbNodeTest, UsesTheNodeWhenItExists) {
  EXPECT_TRUE(qmusb_is_kernel_driver_installed(serial));
  ASSERT_EQ(aStream_CreateUSB(serial, &stream), aErrNone);
  uint8_t byte = 0x33;
  EXPECT_EQ(stream->getProc(&byte, stream->reference), aErrNotReady);
  EXPECT_EQ(byte, 0x33);

  const Bytes out = {0x06, 0x02, 0x00, 0x0D, 0x0A, 0x11};
  ASSERT_EQ(aStream_Write(stream, out.data(), out.size()), aErrNone);
  ASSERT_EQ(stream->putProc(&out[0], stream->reference), aErrNone);
  Bytes expected = out;
  expected.push_back(out[0]);
  EXPECT_EQ(node.receive(expected.size()), expected);

  const Bytes in = {0x08, 0x00, 0x0A, 0xFF};
  node.send(in);
  EXPECT_EQ(readStream(stream, in.size()), in);
}

TEST_F(UsbNodeTest, LargeBlocksArriveWhole) {
  ASSERT_EQ(aStream_CreateUSB(serial, &stream), aErrNone);
  Bytes block(20000);
  for (size_t i = 0; i < block.size(); i++) block[i] = (uint8_t)(i * 13);
  Bytes got;
  std::thread reader([&] { got = node.receive(block.size()); });
  EXPECT_EQ(aStream_Write(stream, block.data(), block.size()), aErrNone);
  reader.join();
  EXPECT_EQ(got, block);
}

TEST_F(UsbNodeTest, ReadFailureIsNotHidden) {
  ASSERT_EQ(aStream_CreateUSB(serial, &stream), aErrNone);
  node.closeMaster();  // the device went away
  aErr last = aErrNone;
  EXPECT_TRUE(readStream(stream, 1, &last).empty());
  EXPECT_EQ(last, aErrIO);
}

TEST(UsbNode, DriverOpenAndClose) {
  if (access("/dev", W_OK) != 0) GTEST_SKIP() << "needs write access to /dev";
  const uint32_t serial = testSerial() ^ 0x1;
  char text[16];
  snprintf(text, sizeof(text), "%08X", serial);
  qmusb_device* record = qmusb_create_usb(kUsbModeKernel);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(qmusb_open_quillomat_device(record, text), aErrIO);  // no node yet
  {
    FakeNode node(serial);
    ASSERT_TRUE(node.ready());
    ASSERT_EQ(qmusb_open_quillomat_device(record, text), aErrNone);
    EXPECT_STREQ(record->serial, text);
    EXPECT_EQ(qmusb_close_quillomat_device(record), aErrNone);
    EXPECT_EQ(record->state, (uint32_t)kUsbClosed);
    EXPECT_EQ(qmusb_close_quillomat_device(record), aErrNone);
    uint8_t byte = 0;
    EXPECT_EQ(qmusb_get_from_device(record, &byte), aErrMode);
  }
  EXPECT_EQ(qmusb_destroy(&record), aErrNone);
}

}  // namespace
