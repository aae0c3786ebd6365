// Firmware repository served by the emulated update server. Layout of the
// root directory:
//
//   SSSSSSSS/            one directory per device serial number ("%08X")
//     NNNN.bird          a build offered for the device (version from its info block)
//     device.conf        optional "current=NNNN" and "firmware=NAME" lines
//   DEADDEAD/            the default recovery image for unknown fingerprints
//   fingerprints         lines "W0 W1 W2 W3 SERIAL [BUILD]" (hexadecimal words and
//                        serial, decimal build; no build: the device's current one)
//   tokens               lines "SERIAL TOKEN"
//
// Everything is read afresh for each request, so a mirror can be updated
// while the server runs. Lines starting with "#" are comments.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace updateserver {

struct Build {
  uint32_t number = 0;
  std::string path;
  std::string version;  // empty when the file has no readable info block
};

struct Device {
  uint32_t serial = 0;
  std::vector<Build> builds;  // ascending build number
  uint32_t current = 0;       // device.conf, else the highest build number; 0: none
  std::string firmware;       // device.conf, else "QM-FIRMWARE"
};

struct Recovery {
  uint32_t serial = 0;
  uint32_t build = 0;
};

class UpdateRepository {
 public:
  static constexpr uint32_t DEFAULT_RECOVERY_SERIAL = 0xDEADDEAD;

  explicit UpdateRepository(std::string root);

  const std::string& root() const { return root_; }
  std::optional<Device> device(uint32_t serial) const;
  // Serial number and build for a chip fingerprint; unknown fingerprints
  // get the default recovery image when there is one.
  std::optional<Recovery> recovery(const std::array<uint32_t, 4>& fingerprint) const;
  std::optional<std::string> token(uint32_t serial) const;

 private:
  std::string root_;
};

// Reads "%08X"-style hexadecimal text (1 to 8 digits, nothing else).
std::optional<uint32_t> parseSerial(const std::string& text);

}  // namespace updateserver
