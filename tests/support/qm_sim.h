// Helpers for driving quillomat-sim from tests: start it with a config,
// find its ports and paths in the ready lines, and talk raw bytes to it.
// Header-only: each test program includes it once.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "qm_process.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

inline std::string deviceJson(const std::string& extra = "") {
  return R"({"serial": "40F5849A", "module": 2, "model": 13, "firmware": "2.12.1", "build": 4711,
             "name": "bench hub", "tcp": true)" +
         (extra.empty() ? std::string() : ", " + extra) + "}";
}

inline std::string configJson(const std::string& devices, const std::string& more = "") {
  return R"({"devices": [)" + devices + "]" + (more.empty() ? "" : ", " + more) + "}";
}

// A running emulator with its packet log and control socket in a temp dir.
class Sim {
 public:
  explicit Sim(const std::string& config, const qmtest::RunOptions& options = {},
               const std::vector<std::string>& extraArgs = {}) {
    qmtest::writeFile(dir_.file("config.json"), config);
    std::vector<std::string> argv{qmtest::binPath("quillomat-sim"), "--log-packets", dir_.file("packets.log"),
                                  "--control", dir_.file("control.sock")};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    argv.push_back(dir_.file("config.json"));
    process_ = std::make_unique<qmtest::Background>(argv, options);
    ready_ = !process_->waitForLine("ready", milliseconds(20000)).empty();
  }
  bool ready() const { return ready_; }
  // The first standard-output line that starts with `prefix`.
  std::string line(const std::string& prefix) {
    std::string out = process_->output();
    for (size_t at = 0; at < out.size();) {
      size_t end = out.find('\n', at);
      if (end == std::string::npos) end = out.size();
      std::string l = out.substr(at, end - at);
      if (l.rfind(prefix, 0) == 0) return l;
      at = end + 1;
    }
    return "";
  }
  uint16_t tcpPort() {
    std::string l = line("listening tcp ");
    size_t colon = l.find(':');
    return colon == std::string::npos ? 0 : uint16_t(std::stoi(l.substr(colon + 1)));
  }
  std::string ptyPath() {
    std::string l = line("pty ");
    return l.substr(4, l.find(' ', 4) - 4);
  }
  std::string control(const std::string& command) {
    auto r = qmtest::run({qmtest::binPath("quillomat-sim"), "ctl", dir_.file("control.sock"), command});
    return r.out.substr(0, r.out.find('\n'));
  }
  std::string packetLog() const { return qmtest::readFile(dir_.file("packets.log")); }
  bool waitLog(const std::string& text, milliseconds timeout = milliseconds(10000)) {
    auto end = Clock::now() + timeout;
    while (Clock::now() < end) {
      if (packetLog().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
  }
  qmtest::Background& process() { return *process_; }
  const qmtest::TempDir& dir() const { return dir_; }

 private:
  qmtest::TempDir dir_;
  std::unique_ptr<qmtest::Background> process_;
  bool ready_ = false;
};

// A raw TCP connection to the emulator.
class Tcp {
 public:
  explicit Tcp(uint16_t port, const std::string& address = "127.0.0.1") {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Tcp() {
    if (fd_ >= 0) close(fd_);
  }
  Tcp(const Tcp&) = delete;
  Tcp& operator=(const Tcp&) = delete;
  bool connected() const { return fd_ >= 0; }
  void send(const Bytes& bytes) {
    if (fd_ >= 0) {
      ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      (void)n;
    }
  }
  // One packet in byte form (address, length, data); nullopt on time-out or
  // when the peer closed.
  std::optional<Bytes> packet(milliseconds timeout = milliseconds(3000)) {
    auto end = Clock::now() + timeout;
    for (;;) {
      if (pending_.size() >= 2 && pending_.size() >= size_t(pending_[1]) + 2) {
        Bytes p(pending_.begin(), pending_.begin() + pending_[1] + 2);
        pending_.erase(pending_.begin(), pending_.begin() + pending_[1] + 2);
        return p;
      }
      auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
      if (left.count() <= 0 || !readSome(left)) return std::nullopt;
    }
  }
  // The next packet that is not a heartbeat (data length 2, command 0).
  std::optional<Bytes> reply(milliseconds timeout = milliseconds(3000)) {
    auto end = Clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
      auto p = packet(left.count() > 0 ? left : milliseconds(0));
      if (!p || !((*p)[1] == 2 && (*p)[2] == 0)) return p;
    }
  }
  // True when the peer closes or resets the connection within the time-out.
  bool closedByPeer(milliseconds timeout = milliseconds(5000)) {
    auto end = Clock::now() + timeout;
    while (!eof_ && Clock::now() < end) readSome(milliseconds(100));
    return eof_;
  }

 private:
  bool readSome(milliseconds timeout) {
    if (fd_ < 0 || eof_) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, int(timeout.count())) <= 0) return false;
    uint8_t buffer[4096];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      eof_ = true;
      return false;
    }
    pending_.insert(pending_.end(), buffer, buffer + n);
    return true;
  }
  int fd_ = -1;
  Bytes pending_;
  bool eof_ = false;
};

// The host end of a pseudo-terminal the emulator offers.
class Pty {
 public:
  explicit Pty(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) return;
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
  }
  ~Pty() {
    if (fd_ >= 0) close(fd_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  bool open() const { return fd_ >= 0; }
  void write(const Bytes& bytes) {
    ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    (void)n;
  }
  // Bytes that arrive within the time-out; with `untilZero` it returns once a
  // zero byte (the end of a frame) has arrived.
  Bytes read(milliseconds timeout, bool untilZero) {
    Bytes out;
    auto end = Clock::now() + timeout;
    while (Clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
      if (poll(&p, 1, int(std::max<long>(1, left.count()))) <= 0) continue;
      uint8_t buffer[256];
      ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) {
        if (n < 0 && errno != EAGAIN) break;
        continue;
      }
      out.insert(out.end(), buffer, buffer + n);
      if (untilZero && !out.empty() && out.back() == 0) break;
    }
    return out;
  }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// CRC-8 (reflected polynomial 0x8C, initial 0) and COBS written out bitwise
// here, independent of the emulator's table-driven codec.
inline uint8_t crc8(const Bytes& data) {
  uint8_t crc = 0;
  for (uint8_t byte : data) {
    for (int bit = 0; bit < 8; ++bit) {
      bool mix = (crc ^ byte) & 1;
      crc >>= 1;
      if (mix) crc ^= 0x8C;
      byte >>= 1;
    }
  }
  return crc;
}

inline Bytes frameOf(const Bytes& packet) {
  Bytes raw = packet;
  raw.push_back(crc8(packet));
  Bytes out{0};
  size_t code = 0;
  for (uint8_t b : raw) {
    if (b == 0) {
      out[code] = uint8_t(out.size() - code);
      code = out.size();
      out.push_back(0);
    } else {
      out.push_back(b);
    }
  }
  out[code] = uint8_t(out.size() - code);
  out.push_back(0);
  return out;
}

// Decodes one frame (without its trailing zero) and checks its CRC.
inline std::optional<Bytes> unframe(const Bytes& frame) {
  Bytes out;
  for (size_t i = 0; i < frame.size();) {
    size_t code = frame[i++];
    if (code == 0 || i + code - 1 > frame.size()) return std::nullopt;
    out.insert(out.end(), frame.begin() + long(i), frame.begin() + long(i + code - 1));
    i += code - 1;
    if (i < frame.size()) out.push_back(0);
  }
  if (out.size() < 3 || crc8(Bytes(out.begin(), out.end() - 1)) != out.back()) return std::nullopt;
  out.pop_back();
  return out;
}

// Splits a byte run at zero bytes into decoded packets (bad frames dropped).
inline std::vector<Bytes> unframeAll(const Bytes& bytes) {
  std::vector<Bytes> out;
  Bytes frame;
  for (uint8_t b : bytes) {
    if (b != 0) {
      frame.push_back(b);
      continue;
    }
    if (!frame.empty())
      if (auto p = unframe(frame)) out.push_back(*p);
    frame.clear();
  }
  return out;
}

}  // namespace simtest
