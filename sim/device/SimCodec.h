// Device-side byte codecs: the packet byte form, the COBS frame with its
// CRC-8 used on serial lines, and hex text for logs and control commands.
// Kept separate from the library's own codecs on purpose: the emulator is the
// reference the library's host side is tested against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qmsim {

constexpr size_t kMaxData = 28;

struct Packet {
  uint8_t address = 0;
  uint8_t length = 0;
  uint8_t data[kMaxData] = {};

  Packet() = default;
  Packet(uint8_t addr, std::initializer_list<uint8_t> bytes);
  Packet(uint8_t addr, const std::vector<uint8_t>& bytes);
  std::vector<uint8_t> bytes() const;  // address, length, data
};

// Assembles packets from a raw byte stream. A zero address byte is skipped
// and a length above 28 drops the packet, so a stream that lost its place
// falls back into step on the host's synchronisation requests (AD 00).
class PacketAssembler {
 public:
  enum class Step { Pending, Complete, Dropped };
  Step feed(uint8_t byte);
  const Packet& packet() const { return packet_; }
  bool midPacket() const { return fill_ > 0; }
  void reset() { fill_ = 0; }

 private:
  Packet packet_;
  size_t fill_ = 0;  // bytes taken for the packet in assembly
};

uint8_t crc8(const uint8_t* data, size_t length);
std::vector<uint8_t> cobsEncode(const uint8_t* data, size_t length);
// Empty result for malformed input.
std::optional<std::vector<uint8_t>> cobsDecode(const uint8_t* data, size_t length);

// One frame on the wire: COBS(packet bytes, CRC-8) followed by 0x00.
std::vector<uint8_t> encodeFrame(const Packet& packet);

// Collects frame bytes up to each zero delimiter and checks the frame.
class FrameDecoder {
 public:
  enum class Step { Pending, Complete, Bad };
  Step feed(uint8_t byte);
  const Packet& packet() const { return packet_; }
  // The encoded bytes of the last bad frame, for the log.
  const std::vector<uint8_t>& badFrame() const { return bad_; }

 private:
  static constexpr size_t kMaxFrame = 64;  // longest good frame is 33 bytes
  std::vector<uint8_t> frame_;
  std::vector<uint8_t> bad_;
  bool overlong_ = false;
  Packet packet_;
};

std::string hex(const uint8_t* data, size_t length);
inline std::string hex(const std::vector<uint8_t>& bytes) { return hex(bytes.data(), bytes.size()); }
// Parses whitespace-separated hex bytes ("06 02 00 00" or "06020000").
std::optional<std::vector<uint8_t>> parseHex(const std::string& text);
// Packs a firmware version the way devices report it.
uint32_t packVersion(unsigned major, unsigned minor, unsigned patch);

}  // namespace qmsim
