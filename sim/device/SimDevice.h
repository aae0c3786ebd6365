// One emulated device: its system entity, device information queries, echo,
// I2C bus with routed devices behind it, and the boot loader that takes
// firmware upgrades. The device sees complete packets and answers with
// packets; the transports around it (SimServer) move the bytes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SimCodec.h"
#include "SimConfig.h"

namespace qmsim {

// Per-link state a device keeps for the host on the other end.
struct Session {
  std::string name;  // "tcp:3", "pty:1", "node:1"
  int route = -1;    // last route request (0 or 1), -1 before any
  // A byte block being received (sets of byte-block options).
  struct BlockIn {
    uint8_t module = 0, command = 0, option = 0, index = 0;
    uint8_t nextSequence = 0;
    std::vector<uint8_t> bytes;
  };
  std::optional<BlockIn> block;
};

// A fault the boot loader plays once (or `count` times) for tests.
struct Fault {
  std::string kind;  // see Device::addFault
  int value = 0;
  int count = 1;     // how many more times; < 0 = every time
};

// When a device drops its links and for how long it is unreachable.
struct Outage {
  int ms = 0;
  bool newFirmware = false;  // comes back running the written firmware
};

class Device {
 public:
  using Clock = std::chrono::steady_clock;
  using Note = std::function<void(const std::string&)>;

  explicit Device(const DeviceConfig& config, Device* router = nullptr);

  uint32_t serial() const { return config_.serial; }
  uint8_t module() const { return config_.module; }
  const DeviceConfig& config() const { return config_; }
  Version version() const { return version_; }
  uint32_t build() const { return build_; }
  bool routing() const { return routing_; }
  std::vector<std::unique_ptr<Device>>& routed() { return routed_; }
  void setNote(Note note);

  // A complete packet that arrived on one of this device's links; replies go
  // to `out` in the order they are sent.
  void receive(const Packet& in, Session& session, std::vector<Packet>& out);

  // The outage the last packets asked for (reset, REBOOT, LOAD, a fault).
  std::optional<Outage> takeOutage();
  // Called when the device comes back after an outage.
  void restart(bool newFirmware);

  // Fault injection. Kinds: no-reply (value: upgrade sub-command, 10 = the
  // UEI block), data-count, sum, prepare-status, write-status, block-size,
  // drop-load, drop-data (value: DATA packets before the drop), and for the
  // link: no-sync (synchronisation requests go unanswered) and sync-address
  // (they are answered from address `value`).
  bool addFault(const Fault& fault);
  void clearFaults() { faults_.clear(); }
  void setNextFirmware(const Version& v, uint32_t build);

  // The emulated flash (erased bytes are 0xFF).
  const std::vector<uint8_t>& flash() const { return flash_; }
  uint32_t flashBase() const { return config_.loader.flashBase; }
  std::string status() const;

 private:
  enum class Kind { U8, U16, U32, Bytes, Call };
  struct OptionDef {
    uint8_t option;
    Kind kind;
    bool get, set;
  };
  static const OptionDef* systemOption(uint8_t option);

  void handleOwn(const Packet& in, Session& session, std::vector<Packet>& out);
  void handleSystem(const Packet& in, Session& session, std::vector<Packet>& out);
  void handleStore(const Packet& in, std::vector<Packet>& out);
  void handleI2C(const Packet& in, std::vector<Packet>& out);
  void handleInfo(const Packet& in, std::vector<Packet>& out);
  void handleUpgrade(const Packet& in, Session& session, std::vector<Packet>& out);
  // Collects one packet of a byte-block set; true with the block when complete.
  bool collectBlock(const Packet& in, Session& session, std::vector<uint8_t>& block, std::vector<Packet>& out);
  void sendBlock(uint8_t command, uint8_t option, uint8_t index, const std::vector<uint8_t>& bytes,
                 std::vector<Packet>& out);
  void error(const Packet& in, uint8_t code, std::vector<Packet>& out);
  uint8_t hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const;
  uint8_t classCount(uint8_t command) const;
  bool hasName() const { return version_.atLeast(2, 10, 4); }
  uint32_t systemValue(uint8_t option) const;
  void resetSettings();
  const Fault* fault(const std::string& kind, int value = -1);  // consumes one use
  void note(const std::string& text) const;

  DeviceConfig config_;
  Device* router_;
  std::vector<std::unique_ptr<Device>> routed_;
  Note note_;
  Version version_;
  uint32_t build_;
  Clock::time_point started_;
  bool routing_ = false;
  std::map<uint8_t, uint32_t> settings_;  // settable system options
  std::string name_;
  std::vector<uint8_t> powerConfig_;
  std::vector<Fault> faults_;
  std::optional<Outage> outage_;
  Clock::time_point downUntil_;  // routed devices: silent while rebooting
  // Boot loader.
  bool loaderInitialised_ = false;
  uint32_t address_ = 0;   // where the next WRITE goes
  uint8_t blockFlags_ = 0;
  std::vector<uint8_t> received_;  // bytes since PREPARE or the last WRITE
  uint32_t dataPackets_ = 0;       // DATA packets since start (drop-data fault)
  bool firmwareWritten_ = false;
  std::vector<uint8_t> flash_;
  Version nextVersion_;
  uint32_t nextBuild_;
};

}  // namespace qmsim
