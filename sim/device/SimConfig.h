// The emulator's configuration: which devices it plays and how each one is
// reached. Read from a JSON file (format in README, sample in example.json).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qmsim {

struct Version {
  unsigned major = 2, minor = 12, patch = 1;
  uint32_t packed() const;
  std::string text() const;
  bool atLeast(unsigned ma, unsigned mi, unsigned pa) const;
};

// Settings of the boot loader that takes firmware upgrades.
struct LoaderConfig {
  uint32_t loadBase = 0x10000000;
  uint16_t blockSize = 1024;
  bool ueiData = false;          // accepts block data as a UEI byte block (option 10)
  bool pooledPackets = false;    // protocol feature bit 31
  uint32_t flashSize = 0x100000; // bytes of emulated flash
  uint32_t flashBase = 0;        // flash address of the first byte
  bool loadReplies = true;       // LOAD is answered before the loader starts
  int loadDropMs = 0;            // > 0: LOAD drops the link for that long
  int rebootMs = 1000;           // unreachable time after REBOOT or a reset
  Version newVersion{0, 0, 0};   // version after REBOOT when the image does not tell
  uint32_t newBuild = 0;         // build after REBOOT when the image does not tell
  bool hasNewVersion = false;
  bool hasNewBuild = false;
};

// A fault armed from the start (the same kinds as the control command).
struct FaultConfig {
  std::string kind;
  int value = 0;
  int count = 1;
};

struct DeviceConfig {
  uint32_t serial = 0;
  uint8_t module = 2;
  uint8_t model = 13;
  Version version;
  uint32_t build = 1;
  std::string name;
  uint8_t router = 0;            // reported router address; 0 = own (or the router's) address
  uint8_t i2cAddress = 0;        // routed devices: bus address; 0 = the module address
  uint32_t protocolFeatures = 0;
  std::map<uint8_t, uint8_t> classCounts;  // overrides of the entity class counts
  // How the device is reached (routed devices have none of their own).
  bool tcp = false;
  std::string tcpAddress = "127.0.0.1";
  int tcpPort = 0;
  bool serialPty = false;
  bool usbNode = false;
  int heartbeatMs = 0;           // 0: no heartbeats
  std::string heartbeat = "up";  // up, down or alternate
  int silentMs = 0;              // > 0: silent for that long after start
  LoaderConfig loader;
  std::vector<FaultConfig> faults;
  std::vector<DeviceConfig> routed;
};

struct DiscoveryConfig {
  bool enabled = false;
  std::string interfaceAddress;  // IPv4 address of the interface to join 232.2.2.2 on
};

struct Config {
  std::vector<DeviceConfig> devices;
  DiscoveryConfig discovery;
};

// Throws std::runtime_error with a readable message for a bad file.
Config loadConfig(const std::string& path);
Config parseConfig(const std::string& text);
uint32_t parseSerial(const std::string& text);  // "40F5849A" or "0x40F5849A"; throws

}  // namespace qmsim
