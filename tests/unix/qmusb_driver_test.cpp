// USB driver: identification, endpoint discovery and the bulk transfer
// logic, driven through scripted transfer results.
// ctest-labels: threaded
#include "qmusb_driver.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kIn = 0x81;
constexpr uint8_t kOut = 0x02;

// One scripted transfer result; IN transfers deliver `data`.
struct Step {
  int rc;
  int transferred;
  Bytes data;
};

struct Call {
  uint8_t endpoint;
  int length;
  unsigned int timeout;
  Bytes data;  // what an OUT transfer carried
};

// The device behind the fake handle. Steps run out as successes that move
// nothing (IN) or everything (OUT).
struct FakeDevice {
  std::mutex lock;
  std::deque<Step> in, out;
  std::vector<Call> calls;
  std::vector<uint8_t> clearedHalts;
  int clearHaltResult = 0;
  int releases = 0;
  int closes = 0;
};

FakeDevice* gDevice = nullptr;

int fakeBulk(libusb_device_handle*, unsigned char endpoint, unsigned char* data, int length,
             int* transferred, unsigned int timeout) {
  std::lock_guard<std::mutex> hold(gDevice->lock);
  bool isIn = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
  Call call{endpoint, length, timeout, {}};
  std::deque<Step>& queue = isIn ? gDevice->in : gDevice->out;
  Step step = isIn ? Step{LIBUSB_ERROR_TIMEOUT, 0, {}} : Step{0, length, {}};
  if (!queue.empty()) {
    step = queue.front();
    queue.pop_front();
  }
  if (isIn) {
    std::copy(step.data.begin(), step.data.end(), data);
    step.transferred = (int)step.data.size();
  } else {
    call.data.assign(data, data + std::min(length, std::max(step.transferred, 0)));
  }
  *transferred = step.transferred;
  gDevice->calls.push_back(call);
  return step.rc;
}

int fakeClearHalt(libusb_device_handle*, unsigned char endpoint) {
  std::lock_guard<std::mutex> hold(gDevice->lock);
  gDevice->clearedHalts.push_back(endpoint);
  return gDevice->clearHaltResult;
}

int fakeRelease(libusb_device_handle*, int) {
  std::lock_guard<std::mutex> hold(gDevice->lock);
  gDevice->releases++;
  return 0;
}

void fakeClose(libusb_device_handle*) {
  std::lock_guard<std::mutex> hold(gDevice->lock);
  gDevice->closes++;
}

const qmusb_transfer_ops kFakeOps = {fakeBulk, fakeClearHalt, fakeRelease, fakeClose};

class UsbDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gDevice = &device;
    qmusb_set_transfer_ops(&kFakeOps);
    record = qmusb_create_usb(kUsbModeLibusb);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->state, (uint32_t)kUsbCreated);
    // As an open that found the device and claimed its interface leaves it.
    record->handle = reinterpret_cast<libusb_device_handle*>(&device);
    record->inEndpoint = kIn;
    record->outEndpoint = kOut;
    record->inPacketSize = 512;
    record->outPacketSize = 512;
    record->state = kUsbReady;
  }
  void TearDown() override {
    if (record != nullptr) {
      EXPECT_EQ(qmusb_destroy(&record), aErrNone);
    }
    qmusb_set_transfer_ops(nullptr);
    gDevice = nullptr;
  }

  std::vector<int> outLengths() {
    std::vector<int> lengths;
    for (const Call& call : device.calls)
      if (call.endpoint == kOut) lengths.push_back((int)call.data.size());
    return lengths;
  }
  Bytes sent() {
    Bytes all;
    for (const Call& call : device.calls)
      if (call.endpoint == kOut) all.insert(all.end(), call.data.begin(), call.data.end());
    return all;
  }
  void script(std::deque<Step>& queue, int count, Step step) {
    for (int i = 0; i < count; i++) queue.push_back(step);
  }

  FakeDevice device;
  qmusb_device* record = nullptr;
};

Bytes pattern(size_t length) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; i++) bytes[i] = (uint8_t)(i * 7 + 1);
  return bytes;
}

struct ChunkCase {
  uint16_t packetSize;
  size_t length;
  std::vector<int> chunks;
};

TEST_F(UsbDriverTest, WriteChunksByPacketSize) {
  const std::vector<ChunkCase> cases = {
      {512, 512, {511, 1}},
      {512, 1024, {511, 511, 2}},
      {512, 100, {100}},
      {512, 511, {511}},
      {64, 130, {64, 64, 2}},
      {64, 64, {64}},
      {1024, 512, {511, 1}},
      {512, 0, {}},
  };
  for (const ChunkCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.packetSize << "/" << c.length);
    device.calls.clear();
    record->outPacketSize = c.packetSize;
    const Bytes data = pattern(c.length);
    EXPECT_EQ(qmusb_write_to_device(record, data.data(), data.size()), aErrNone);
    EXPECT_EQ(outLengths(), c.chunks);
    EXPECT_EQ(sent(), data);
    for (const Call& call : device.calls) EXPECT_EQ(call.timeout, (unsigned)QMUSB_WRITE_TIMEOUT_MS);
  }
}

TEST_F(UsbDriverTest, FailedTransferIsRepeatedFromWhereTheDeviceStopped) {
  record->outPacketSize = 64;
  const Bytes data = pattern(100);
  device.out = {{LIBUSB_ERROR_TIMEOUT, 0, {}},    // nothing moved: resend all 64
                {LIBUSB_ERROR_TIMEOUT, 10, {}},   // 10 moved before the time-out
                {0, 64, {}}, {0, 26, {}}};
  EXPECT_EQ(qmusb_write_to_device(record, data.data(), data.size()), aErrNone);
  EXPECT_EQ(outLengths(), (std::vector<int>{0, 10, 64, 26}));
  EXPECT_EQ(sent(), data);  // every byte once, in order
}

TEST_F(UsbDriverTest, WriteGivesUpAfterTenFailedTransfers) {
  const Bytes data = pattern(20);
  script(device.out, 10, {LIBUSB_ERROR_IO, 0, {}});
  EXPECT_EQ(qmusb_write_to_device(record, data.data(), data.size()), aErrWrite);
  EXPECT_EQ(device.calls.size(), 10u);
  // Transfers that succeed without moving anything cannot keep it going.
  device.calls.clear();
  script(device.out, 10, {0, 0, {}});
  EXPECT_EQ(qmusb_write_to_device(record, data.data(), data.size()), aErrWrite);
  EXPECT_EQ(device.calls.size(), 10u);
  EXPECT_EQ(record->state, (uint32_t)kUsbReady);
}

TEST_F(UsbDriverTest, StalledOutEndpointIsClearedAndTheWriteCompletes) {
  const Bytes data = pattern(8);
  device.out = {{LIBUSB_ERROR_PIPE, 0, {}}};
  EXPECT_EQ(qmusb_write_to_device(record, data.data(), data.size()), aErrNone);
  EXPECT_EQ(device.clearedHalts, Bytes{kOut});
  EXPECT_EQ(sent(), data);
}

TEST_F(UsbDriverTest, WriteErrorsAreHiddenFourTimesThenTheDeviceFails) {
  // A halt that cannot be cleared is an I/O error.
  device.clearHaltResult = LIBUSB_ERROR_NO_DEVICE;
  const Bytes data = pattern(8);
  for (int i = 0; i < QMUSB_MAX_HIDDEN_ERRORS; i++) {
    device.out.push_back({LIBUSB_ERROR_PIPE, 0, {}});
    EXPECT_EQ(qmusb_write_to_device(record, data.data(), data.size()), aErrNone) << i;
  }
  device.out.push_back({LIBUSB_ERROR_PIPE, 0, {}});
  EXPECT_EQ(qmusb_write_to_device(record, data.data(), data.size()), aErrIO);
  EXPECT_EQ(record->state, (uint32_t)kUsbFailed);
  size_t calls = device.calls.size();
  EXPECT_EQ(qmusb_write_to_device(record, data.data(), data.size()), aErrIO);
  uint8_t byte = 0;
  EXPECT_EQ(qmusb_get_from_device(record, &byte), aErrIO);
  EXPECT_EQ(device.calls.size(), calls);  // nothing is tried any more
}

TEST_F(UsbDriverTest, ReadServesBytesFromOneTransfer) {
  const Bytes data = pattern(300);
  device.in = {{0, 0, data}};
  Bytes got;
  uint8_t byte = 0;
  for (size_t i = 0; i < data.size(); i++) {
    ASSERT_EQ(qmusb_get_from_device(record, &byte), aErrNone);
    got.push_back(byte);
  }
  EXPECT_EQ(got, data);
  ASSERT_EQ(device.calls.size(), 1u);
  EXPECT_EQ(device.calls[0].endpoint, kIn);
  EXPECT_EQ(device.calls[0].length, QMUSB_READ_BUFFER_SIZE);
  EXPECT_EQ(device.calls[0].timeout, (unsigned)QMUSB_READ_TIMEOUT_MS);
  // The buffer is empty now: the next read asks the device (time-out).
  EXPECT_EQ(qmusb_get_from_device(record, &byte), aErrNotReady);
  EXPECT_EQ(device.calls.size(), 2u);
}

TEST_F(UsbDriverTest, ReadOutcomes) {
  struct ReadCase {
    const char* name;
    Step step;
    aErr result;
    Bytes delivered;
  };
  const std::vector<ReadCase> cases = {
      {"time-out with part of a transfer", {LIBUSB_ERROR_TIMEOUT, 0, {0x11, 0x22}}, aErrNone, {0x11, 0x22}},
      {"time-out with nothing", {LIBUSB_ERROR_TIMEOUT, 0, {}}, aErrNotReady, {}},
      {"empty packet", {0, 0, {}}, aErrNotReady, {}},
      {"stall", {LIBUSB_ERROR_PIPE, 0, {}}, aErrNotReady, {}},
      {"error, hidden", {LIBUSB_ERROR_IO, 0, {}}, aErrNotReady, {}},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    device.in = {c.step};
    uint8_t byte = 0xEE;
    EXPECT_EQ(qmusb_get_from_device(record, &byte), c.result);
    Bytes got;
    if (c.result == aErrNone) {
      got.push_back(byte);
      while (got.size() < c.delivered.size() && qmusb_get_from_device(record, &byte) == aErrNone)
        got.push_back(byte);
    } else {
      EXPECT_EQ(byte, 0xEE);
    }
    EXPECT_EQ(got, c.delivered);
  }
  EXPECT_EQ(device.clearedHalts, Bytes{kIn});
}

TEST_F(UsbDriverTest, FifthConsecutiveReadErrorFailsTheDeviceForGood) {
  uint8_t byte = 0x5A;
  script(device.in, QMUSB_MAX_HIDDEN_ERRORS, {LIBUSB_ERROR_NO_DEVICE, 0, {}});
  for (int i = 0; i < QMUSB_MAX_HIDDEN_ERRORS; i++) {
    // Hidden: no byte delivered, and the caller is told so.
    EXPECT_EQ(qmusb_get_from_device(record, &byte), aErrNotReady) << i;
    EXPECT_EQ(byte, 0x5A);
  }
  device.in.push_back({LIBUSB_ERROR_NO_DEVICE, 0, {}});
  EXPECT_EQ(qmusb_get_from_device(record, &byte), aErrIO);
  EXPECT_EQ(record->state, (uint32_t)kUsbFailed);
  // The device is back, but the driver has given up on it.
  device.in.push_back({0, 0, {0x01}});
  for (int i = 0; i < 300; i++) ASSERT_EQ(qmusb_get_from_device(record, &byte), aErrIO);
}

TEST_F(UsbDriverTest, AnyOtherResultRestartsTheErrorCount) {
  uint8_t byte = 0;
  for (int round = 0; round < 3; round++) {
    script(device.in, QMUSB_MAX_HIDDEN_ERRORS, {LIBUSB_ERROR_IO, 0, {}});
    device.in.push_back({LIBUSB_ERROR_TIMEOUT, 0, {}});
    for (int i = 0; i <= QMUSB_MAX_HIDDEN_ERRORS; i++)
      EXPECT_EQ(qmusb_get_from_device(record, &byte), aErrNotReady);
  }
  EXPECT_EQ(record->state, (uint32_t)kUsbReady);
}

TEST_F(UsbDriverTest, TransfersOutsideTheReadyState) {
  struct StateCase {
    uint32_t state;
    aErr result;
  };
  const std::vector<StateCase> cases = {
      {kUsbClosed, aErrConnection}, {kUsbCreated, aErrNotReady}, {kUsbOpened, aErrNotReady}};
  const Bytes data = pattern(4);
  for (const StateCase& c : cases) {
    record->state = c.state;
    uint8_t byte = 0;
    EXPECT_EQ(qmusb_write_to_device(record, data.data(), data.size()), c.result);
    EXPECT_EQ(qmusb_get_from_device(record, &byte), c.result);
  }
  EXPECT_TRUE(device.calls.empty());
}

TEST_F(UsbDriverTest, CloseReleasesTheInterfaceOnce) {
  EXPECT_EQ(qmusb_close_quillomat_device(record), aErrNone);
  EXPECT_EQ(record->state, (uint32_t)kUsbClosed);
  EXPECT_EQ(record->handle, nullptr);
  EXPECT_EQ(record->inEndpoint, 0);
  EXPECT_EQ(record->outEndpoint, 0);
  EXPECT_EQ(device.releases, 1);
  EXPECT_EQ(device.closes, 1);
  EXPECT_EQ(qmusb_close_quillomat_device(record), aErrMode);
  uint8_t byte = 0;
  EXPECT_EQ(qmusb_get_from_device(record, &byte), aErrConnection);
}

TEST_F(UsbDriverTest, ReadsAndWritesOnTwoThreads) {
  // The link engine's input thread reads while its output thread writes.
  Bytes incoming = pattern(QMUSB_READ_BUFFER_SIZE);
  for (int i = 0; i < 20; i++) device.in.push_back({0, 0, incoming});
  std::thread writer([this] {
    const Bytes data = pattern(700);
    for (int i = 0; i < 200; i++) EXPECT_EQ(qmusb_write_to_device(record, data.data(), data.size()), aErrNone);
  });
  size_t got = 0;
  uint8_t byte = 0;
  while (got < 20 * incoming.size()) {
    aErr err = qmusb_get_from_device(record, &byte);
    ASSERT_EQ(err, aErrNone);
    ASSERT_EQ(byte, incoming[got % incoming.size()]);
    got++;
  }
  writer.join();
  EXPECT_EQ(sent().size(), 200u * 700u);
}

TEST(UsbDriver, IdentifiesQuillomatDevices) {
  struct IdCase {
    uint16_t vendor, product;
    bool ours;
  };
  const std::vector<IdCase> cases = {{0x24FF, 0x0001, true},  {0x24FF, 0x0000, true},
                                     {0x24FF, 0x7FFF, true},  {0x24FF, 0x8001, false},
                                     {0x24FF, 0xFFFF, false}, {0x24FE, 0x0001, false}};
  for (const IdCase& c : cases) {
    libusb_device_descriptor descriptor{};
    descriptor.idVendor = c.vendor;
    descriptor.idProduct = c.product;
    EXPECT_EQ(qmusb_is_quillomat_descriptor(&descriptor), c.ours) << std::hex << c.vendor << ":" << c.product;
  }
  EXPECT_FALSE(qmusb_is_quillomat_descriptor(nullptr));
  EXPECT_FALSE(is_quillomat_device(nullptr));
}

// A configuration descriptor built by hand: interfaces of one alternate
// setting each.
struct Config {
  std::vector<std::vector<libusb_endpoint_descriptor>> endpoints;
  std::vector<libusb_interface_descriptor> settings;
  std::vector<libusb_interface> interfaces;
  libusb_config_descriptor config{};

  void add(uint8_t number, uint8_t cls, uint8_t sub, uint8_t protocol,
           std::vector<libusb_endpoint_descriptor> eps) {
    endpoints.push_back(std::move(eps));
    libusb_interface_descriptor setting{};
    setting.bInterfaceNumber = number;
    setting.bInterfaceClass = cls;
    setting.bInterfaceSubClass = sub;
    setting.bInterfaceProtocol = protocol;
    settings.push_back(setting);
  }
  const libusb_config_descriptor* build() {
    interfaces.resize(settings.size());
    for (size_t i = 0; i < settings.size(); i++) {
      settings[i].bNumEndpoints = (uint8_t)endpoints[i].size();
      settings[i].endpoint = endpoints[i].data();
      interfaces[i].altsetting = &settings[i];
      interfaces[i].num_altsetting = 1;
    }
    config.bNumInterfaces = (uint8_t)interfaces.size();
    config.interface = interfaces.data();
    return &config;
  }
};

libusb_endpoint_descriptor endpoint(uint8_t address, uint8_t type, uint16_t size) {
  libusb_endpoint_descriptor e{};
  e.bEndpointAddress = address;
  e.bmAttributes = type;
  e.wMaxPacketSize = size;
  return e;
}

TEST(UsbDriver, FindsTheVendorInterfaceEndpoints) {
  const uint8_t bulk = LIBUSB_TRANSFER_TYPE_BULK, interrupt = LIBUSB_TRANSFER_TYPE_INTERRUPT,
                iso = LIBUSB_TRANSFER_TYPE_ISOCHRONOUS;
  {
    Config c;
    c.add(0, 0x03, 0x00, 0x00, {endpoint(0x83, interrupt, 8)});  // some other interface
    c.add(1, 0xFF, 0x88, 0x10, {endpoint(0x81, bulk, 512), endpoint(0x02, bulk, 64), endpoint(0x85, iso, 1023)});
    qmusb_device record{};
    EXPECT_TRUE(qmusb_find_endpoints_in_config(c.build(), &record));
    EXPECT_EQ(record.interface, 1);
    EXPECT_EQ(record.inEndpoint, 0x81);
    EXPECT_EQ(record.inPacketSize, 512);
    EXPECT_EQ(record.outEndpoint, 0x02);
    EXPECT_EQ(record.outPacketSize, 64);
  }
  {
    // A later matching interface overwrites an earlier one; interrupt
    // endpoints count as well.
    Config c;
    c.add(0, 0xFF, 0x88, 0x10, {endpoint(0x81, bulk, 64), endpoint(0x01, bulk, 64)});
    c.add(2, 0xFF, 0x88, 0x10, {endpoint(0x84, interrupt, 32)});
    qmusb_device record{};
    EXPECT_TRUE(qmusb_find_endpoints_in_config(c.build(), &record));
    EXPECT_EQ(record.interface, 2);
    EXPECT_EQ(record.inEndpoint, 0x84);
    EXPECT_EQ(record.outEndpoint, 0x01);
  }
  {
    Config c;  // vendor class, wrong protocol
    c.add(0, 0xFF, 0x88, 0x11, {endpoint(0x81, bulk, 64), endpoint(0x01, bulk, 64)});
    qmusb_device record{};
    EXPECT_FALSE(qmusb_find_endpoints_in_config(c.build(), &record));
  }
  {
    Config c;  // only an IN endpoint
    c.add(0, 0xFF, 0x88, 0x10, {endpoint(0x81, bulk, 64), endpoint(0x02, iso, 64)});
    qmusb_device record{};
    EXPECT_FALSE(qmusb_find_endpoints_in_config(c.build(), &record));
  }
}

TEST(UsbDriver, OpenWithoutAMatchingDevice) {
  qmusb_device* record = qmusb_create_usb(kUsbModeLibusb);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(qmusb_open_quillomat_device(record, "0BADF00D"), aErrNotFound);
  EXPECT_EQ(record->state, (uint32_t)kUsbCreated);
  EXPECT_EQ(qmusb_close_quillomat_device(record), aErrMode);
  EXPECT_EQ(qmusb_destroy(&record), aErrNone);
  EXPECT_EQ(record, nullptr);
  EXPECT_EQ(qmusb_destroy(&record), aErrParam);
  EXPECT_EQ(qmusb_destroy(nullptr), aErrParam);
  EXPECT_EQ(qmusb_create_usb(7), nullptr);
}

TEST(UsbDriver, CallsInTheOtherModeAreRefused) {
  qmusb_device* record = qmusb_create_usb(kUsbModeKernel);
  ASSERT_NE(record, nullptr);
  uint8_t byte = 0;
  EXPECT_EQ(qmusb_write_to_device(record, &byte, 1), aErrMode);  // no node open
  EXPECT_EQ(qmusb_get_from_device(record, &byte), aErrMode);
  EXPECT_EQ(qmusb_close_quillomat_device(record), aErrNone);    // nothing to close
  EXPECT_EQ(qmusb_destroy(&record), aErrNone);
}

}  // namespace
