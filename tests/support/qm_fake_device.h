// A scripted device on a TCP socket on 127.0.0.1, for tests that need
// replies the emulator would never send (wrong lengths, skipped sequences,
// silence). It answers address queries (AD 00) with its module address and
// hands every other packet to the test's handler, which returns the packets
// to send back. Written from the wire format only; it shares no code with
// the library.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qmtest {

struct WirePacket {
  uint8_t address = 0;
  std::vector<uint8_t> data;
  bool operator==(const WirePacket& other) const {
    return address == other.address && data == other.data;
  }
};

class FakeDevice {
 public:
  using Handler = std::function<std::vector<WirePacket>(const WirePacket& request)>;

  explicit FakeDevice(uint8_t moduleAddress = 2, Handler handler = nullptr);
  ~FakeDevice();
  FakeDevice(const FakeDevice&) = delete;
  FakeDevice& operator=(const FakeDevice&) = delete;

  uint16_t port() const { return port_; }
  // 127.0.0.1 in network byte order.
  static uint32_t address();

  void setHandler(Handler handler);
  // Every packet received so far except address queries and route requests.
  std::vector<WirePacket> received();
  int addressQueries() const { return addressQueries_; }
  // Sends packets without a request (unrequested replies, heartbeats).
  void send(const std::vector<WirePacket>& packets);

 private:
  void serve();
  void writePackets(const std::vector<WirePacket>& packets);

  uint8_t moduleAddress_;
  int listener_ = -1;
  int client_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> addressQueries_{0};
  std::mutex mutex_;
  Handler handler_;
  std::vector<WirePacket> received_;
  std::thread thread_;
};

}  // namespace qmtest
