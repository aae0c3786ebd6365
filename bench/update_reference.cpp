// Minimal reference client for scripts/bench-update: performs the same
// firmware transfer as `Updater -U -f` over a bare TCP socket, single
// threaded, one blocking request and reply at a time, so the script can
// compare the tool's throughput against what the wire and the device allow.
//
// Wire format on TCP: address byte, data-length byte, data bytes. The
// sequence is: AD 00 (ask the device's module address), then the loader
// phase (INIT, PREPARE at the loader address, DATA packets, SUM, LOAD), then
// PREPARE at the firmware address and per block DATA packets (or UEI byte
// block set packets), SUM and WRITE, and finally REBOOT. The loader phase is
// included because Updater sends it too. The identification queries Updater
// makes along the way are left out.
//
// Payload bytes are deterministic filler; the device only sums and stores
// them, and the client checks each SUM against its own.
//
// Usage: update_reference HOST PORT FIRMWARE_BYTES [--uei] [--loader BYTES]
// Prints one line: "bytes N seconds S bytes_per_s R" where S runs from
// connect to REBOOT sent and R = N / S counts firmware bytes only.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr uint8_t kCmdUpgrade = 0x5F;
constexpr uint8_t kInit = 0x00, kData = 0x01, kLoad = 0x02, kPrepare = 0x03, kSum = 0x04, kWrite = 0x05,
                  kReboot = 0x06, kStatus = 0x07;
constexpr uint8_t kUeiSetData = 0x8A, kUeiSetReply = 0xCA;
constexpr uint32_t kLoaderAddress = 0x10000000, kFirmwareAddress = 0x8000;
constexpr size_t kDataMax = 26;  // payload bytes after the 5F 01 header
constexpr size_t kUeiMax = 24;   // payload bytes between 5F 8A 20 and the trailer

struct Reply {
  uint8_t address = 0;
  std::vector<uint8_t> data;
};

class Conn {
 public:
  Conn(const std::string& host, uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) throw std::runtime_error("socket failed");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) throw std::runtime_error("bad address " + host);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
      throw std::runtime_error("connect failed: " + std::string(std::strerror(errno)));
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~Conn() { ::close(fd_); }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;

  void send(uint8_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> wire;
    wire.reserve(data.size() + 2);
    wire.push_back(address);
    wire.push_back(uint8_t(data.size()));
    wire.insert(wire.end(), data.begin(), data.end());
    size_t off = 0;
    while (off < wire.size()) {
      ssize_t n = ::send(fd_, wire.data() + off, wire.size() - off, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send failed");
      off += size_t(n);
    }
  }

  Reply receive() {
    Reply r;
    r.address = byte();
    size_t len = byte();
    r.data.resize(len);
    for (size_t i = 0; i < len; ++i) r.data[i] = byte();
    return r;
  }

 private:
  uint8_t byte() {
    if (pos_ == end_) {
      ssize_t n;
      do n = ::recv(fd_, buf_, sizeof buf_, 0);
      while (n < 0 && errno == EINTR);
      if (n <= 0) throw std::runtime_error("connection closed");
      pos_ = 0;
      end_ = size_t(n);
    }
    return buf_[pos_++];
  }

  int fd_ = -1;
  uint8_t buf_[4096];
  size_t pos_ = 0, end_ = 0;
};

// Waits for a reply from `module` whose first two bytes are cmd, sub.
Reply expect(Conn& c, uint8_t module, uint8_t cmd, uint8_t sub) {
  for (;;) {
    Reply r = c.receive();
    if (r.address != module || r.data.size() < 2) continue;
    if (r.data[0] == cmd && r.data[1] == sub) return r;
  }
}

void put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int s = 24; s >= 0; s -= 8) v.push_back(uint8_t(x >> s));
}

uint16_t prepare(Conn& c, uint8_t m, uint32_t address) {
  std::vector<uint8_t> p{kCmdUpgrade, kPrepare, 0x00};
  put32(p, address);
  c.send(m, p);
  Reply r = expect(c, m, kCmdUpgrade, kStatus);
  if (r.data.size() < 5 || r.data[2] != 0) throw std::runtime_error("PREPARE refused");
  return uint16_t(r.data[3] << 8 | r.data[4]);
}

void sendData(Conn& c, uint8_t m, const uint8_t* d, size_t n) {
  for (size_t off = 0; off < n; off += kDataMax) {
    size_t k = std::min(kDataMax, n - off);
    std::vector<uint8_t> p{kCmdUpgrade, kData};
    p.insert(p.end(), d + off, d + off + k);
    c.send(m, p);
    Reply r = expect(c, m, kCmdUpgrade, kData);
    if (r.data.size() < 3 || r.data[2] != k) throw std::runtime_error("DATA count mismatch");
  }
}

void sendUei(Conn& c, uint8_t m, const uint8_t* d, size_t n) {
  uint8_t seq = 0;
  for (size_t off = 0; off < n; off += kUeiMax, ++seq) {
    size_t k = std::min(kUeiMax, n - off);
    std::vector<uint8_t> p{kCmdUpgrade, kUeiSetData, 0x20};
    p.insert(p.end(), d + off, d + off + k);
    p.push_back(uint8_t((off + k < n ? 0x80 : 0x00) | (seq & 0x7F)));
    c.send(m, p);
  }
  Reply r = expect(c, m, kCmdUpgrade, kUeiSetReply);
  if (r.data.size() < 3 || r.data[2] != 0) throw std::runtime_error("UEI block refused");
}

void checkSum(Conn& c, uint8_t m, const uint8_t* d, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += d[i];
  c.send(m, {kCmdUpgrade, kSum});
  Reply r = expect(c, m, kCmdUpgrade, kStatus);
  if (r.data.size() < 7 || r.data[2] != 0) throw std::runtime_error("SUM refused");
  uint32_t got = uint32_t(r.data[3]) << 24 | uint32_t(r.data[4]) << 16 | uint32_t(r.data[5]) << 8 | r.data[6];
  if (got != sum) throw std::runtime_error("SUM mismatch");
}

std::vector<uint8_t> filler(size_t n, uint32_t state) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) {
    state = state * 1664525u + 1013904223u;
    b = uint8_t(state >> 24);
  }
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s HOST PORT FIRMWARE_BYTES [--uei] [--loader BYTES]\n", argv[0]);
    return 2;
  }
  std::string host = argv[1];
  auto port = uint16_t(std::strtoul(argv[2], nullptr, 10));
  size_t size = std::strtoul(argv[3], nullptr, 0);
  bool uei = false;
  size_t loaderSize = 1024;
  for (int i = 4; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--uei")
      uei = true;
    else if (a == "--loader" && i + 1 < argc)
      loaderSize = std::strtoul(argv[++i], nullptr, 0);
    else {
      std::fprintf(stderr, "update_reference: unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  std::vector<uint8_t> loader = filler(loaderSize, 1), image = filler(size, 2);

  try {
    auto start = std::chrono::steady_clock::now();
    Conn c(host, port);
    // AD 00 is answered by an empty packet carrying the module address.
    c.send(0xAD, {});
    uint8_t m = 0;
    for (;;) {
      Reply r = c.receive();
      if (r.data.empty() && r.address != 0xAD) {
        m = r.address;
        break;
      }
    }
    c.send(m, {kCmdUpgrade, kInit});
    expect(c, m, kCmdUpgrade, kInit);

    uint16_t block = prepare(c, m, kLoaderAddress);
    if (block == 0) throw std::runtime_error("block size 0");
    sendData(c, m, loader.data(), loader.size());
    checkSum(c, m, loader.data(), loader.size());
    c.send(m, {kCmdUpgrade, kLoad});
    expect(c, m, kCmdUpgrade, kLoad);

    block = prepare(c, m, kFirmwareAddress);
    if (block == 0) throw std::runtime_error("block size 0");
    for (size_t off = 0; off < image.size(); off += block) {
      size_t n = std::min(size_t(block), image.size() - off);
      const uint8_t* d = image.data() + off;
      if (uei)
        sendUei(c, m, d, n);
      else
        sendData(c, m, d, n);
      checkSum(c, m, d, n);
      c.send(m, {kCmdUpgrade, kWrite, uint8_t(n >> 8), uint8_t(n)});
      Reply r = expect(c, m, kCmdUpgrade, kStatus);
      if (r.data.size() < 3 || r.data[2] != 0) throw std::runtime_error("WRITE refused");
    }
    c.send(m, {kCmdUpgrade, kReboot});
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("bytes %zu seconds %.3f bytes_per_s %.0f\n", image.size(), s, double(image.size()) / s);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "update_reference: %s\n", e.what());
    return 1;
  }
}
