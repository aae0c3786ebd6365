#include "qm_fake_device.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace qmtest {

FakeDevice::FakeDevice(uint8_t moduleAddress, Handler handler)
    : moduleAddress_(moduleAddress), handler_(std::move(handler)) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener_, 4) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
    throw std::runtime_error("FakeDevice: cannot listen");
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { serve(); });
}

FakeDevice::~FakeDevice() {
  stop_ = true;
  thread_.join();
  if (client_ >= 0) close(client_);
  close(listener_);
}

uint32_t FakeDevice::address() { return htonl(INADDR_LOOPBACK); }

void FakeDevice::setHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

std::vector<WirePacket> FakeDevice::received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void FakeDevice::send(const std::vector<WirePacket>& packets) {
  std::lock_guard<std::mutex> lock(mutex_);
  writePackets(packets);
}

void FakeDevice::writePackets(const std::vector<WirePacket>& packets) {
  if (client_ < 0) return;
  std::vector<uint8_t> bytes;
  for (const auto& p : packets) {
    bytes.push_back(p.address);
    bytes.push_back(static_cast<uint8_t>(p.data.size()));
    bytes.insert(bytes.end(), p.data.begin(), p.data.end());
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(client_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Accepts one connection at a time and parses the byte stream into packets
// (address, length, data); a new connection replaces the old one.
void FakeDevice::serve() {
  std::vector<uint8_t> pending;
  while (!stop_) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {client_, POLLIN, 0}};
    int count = client_ >= 0 ? 2 : 1;
    if (poll(fds, count, 20) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      std::lock_guard<std::mutex> lock(mutex_);
      if (client_ >= 0) close(client_);
      client_ = fd;
      pending.clear();
      continue;
    }
    if (count < 2 || !(fds[1].revents & (POLLIN | POLLHUP))) continue;
    uint8_t buffer[512];
    ssize_t n = recv(client_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      close(client_);
      client_ = -1;
      continue;
    }
    pending.insert(pending.end(), buffer, buffer + n);
    while (pending.size() >= 2 && pending.size() >= 2u + pending[1]) {
      WirePacket packet;
      packet.address = pending[0];
      packet.data.assign(pending.begin() + 2, pending.begin() + 2 + pending[1]);
      pending.erase(pending.begin(), pending.begin() + 2 + pending[1]);
      std::lock_guard<std::mutex> lock(mutex_);
      if (packet.address == 0xAD && packet.data.empty()) {
        ++addressQueries_;
        writePackets({{moduleAddress_, {}}});
        continue;
      }
      if (packet.address == 0xAF) continue;  // route request
      received_.push_back(packet);
      if (handler_) writePackets(handler_(packet));
    }
  }
}

}  // namespace qmtest
