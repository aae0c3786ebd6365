#include "SimCodec.h"

#include <cctype>
#include <cstring>

namespace qmsim {

Packet::Packet(uint8_t addr, std::initializer_list<uint8_t> bytes) : address(addr) {
  for (uint8_t b : bytes)
    if (length < kMaxData) data[length++] = b;
}

Packet::Packet(uint8_t addr, const std::vector<uint8_t>& bytes) : address(addr) {
  for (uint8_t b : bytes)
    if (length < kMaxData) data[length++] = b;
}

std::vector<uint8_t> Packet::bytes() const {
  std::vector<uint8_t> out(size_t(length) + 2);
  out[0] = address;
  out[1] = length;
  std::memcpy(out.data() + 2, data, length);
  return out;
}

PacketAssembler::Step PacketAssembler::feed(uint8_t byte) {
  if (fill_ == 0) {
    if (byte == 0) return Step::Dropped;
    packet_ = Packet();
    packet_.address = byte;
    fill_ = 1;
    return Step::Pending;
  }
  if (fill_ == 1) {
    if (byte > kMaxData) {
      fill_ = 0;
      return Step::Dropped;
    }
    packet_.length = byte;
    fill_ = 2;
  } else {
    packet_.data[fill_ - 2] = byte;
    ++fill_;
  }
  if (fill_ == size_t(packet_.length) + 2) {
    fill_ = 0;
    return Step::Complete;
  }
  return Step::Pending;
}

namespace {

// CRC-8 with the reflected polynomial 0x8C (0x31 reversed), initial value 0.
struct CrcTable {
  uint8_t entry[256];
  CrcTable() {
    for (int i = 0; i < 256; ++i) {
      uint8_t crc = uint8_t(i);
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? uint8_t((crc >> 1) ^ 0x8C) : uint8_t(crc >> 1);
      entry[i] = crc;
    }
  }
};
const CrcTable kCrc;

}  // namespace

uint8_t crc8(const uint8_t* data, size_t length) {
  uint8_t crc = 0;
  for (size_t i = 0; i < length; ++i) crc = kCrc.entry[crc ^ data[i]];
  return crc;
}

std::vector<uint8_t> cobsEncode(const uint8_t* data, size_t length) {
  std::vector<uint8_t> out;
  out.reserve(length + length / 254 + 2);
  size_t codeAt = out.size();
  out.push_back(0);
  uint8_t code = 1;
  for (size_t i = 0; i < length; ++i) {
    if (data[i] == 0) {
      out[codeAt] = code;
      codeAt = out.size();
      out.push_back(0);
      code = 1;
      continue;
    }
    out.push_back(data[i]);
    if (++code == 0xFF) {
      out[codeAt] = code;
      codeAt = out.size();
      out.push_back(0);
      code = 1;
    }
  }
  out[codeAt] = code;
  return out;
}

std::optional<std::vector<uint8_t>> cobsDecode(const uint8_t* data, size_t length) {
  std::vector<uint8_t> out;
  size_t i = 0;
  while (i < length) {
    uint8_t code = data[i++];
    if (code == 0) return std::nullopt;
    size_t run = size_t(code) - 1;
    if (i + run > length) return std::nullopt;
    for (size_t k = 0; k < run; ++k) {
      if (data[i + k] == 0) return std::nullopt;
      out.push_back(data[i + k]);
    }
    i += run;
    if (code != 0xFF && i < length) out.push_back(0);
  }
  return out;
}

std::vector<uint8_t> encodeFrame(const Packet& packet) {
  std::vector<uint8_t> raw = packet.bytes();
  raw.push_back(crc8(raw.data(), raw.size()));
  std::vector<uint8_t> frame = cobsEncode(raw.data(), raw.size());
  frame.push_back(0);
  return frame;
}

FrameDecoder::Step FrameDecoder::feed(uint8_t byte) {
  if (byte != 0) {
    if (frame_.size() < kMaxFrame)
      frame_.push_back(byte);
    else
      overlong_ = true;
    return Step::Pending;
  }
  if (frame_.empty()) return Step::Pending;
  std::vector<uint8_t> frame;
  frame.swap(frame_);
  bool overlong = overlong_;
  overlong_ = false;
  auto decoded = overlong ? std::nullopt : cobsDecode(frame.data(), frame.size());
  if (!decoded || decoded->size() < 3 || decoded->size() != size_t((*decoded)[1]) + 3 ||
      (*decoded)[1] > kMaxData || crc8(decoded->data(), decoded->size() - 1) != decoded->back()) {
    bad_ = std::move(frame);
    return Step::Bad;
  }
  packet_ = Packet();
  packet_.address = (*decoded)[0];
  packet_.length = (*decoded)[1];
  std::memcpy(packet_.data, decoded->data() + 2, packet_.length);
  return Step::Complete;
}

std::string hex(const uint8_t* data, size_t length) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(length * 3);
  for (size_t i = 0; i < length; ++i) {
    if (i) out.push_back(' ');
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 15]);
  }
  return out;
}

std::optional<std::vector<uint8_t>> parseHex(const std::string& text) {
  std::vector<uint8_t> out;
  int pending = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (std::isspace(static_cast<unsigned char>(c)) || c == ',') {
      if (pending >= 0) return std::nullopt;  // odd number of digits in a group
      continue;
    }
    if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') && pending < 0) {
      ++i;
      continue;
    }
    int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
            : (c >= 'a' && c <= 'f')                    ? c - 'a' + 10
            : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
                                                        : -1;
    if (v < 0) return std::nullopt;
    if (pending < 0) {
      pending = v;
    } else {
      out.push_back(uint8_t(pending * 16 + v));
      pending = -1;
    }
  }
  if (pending >= 0) return std::nullopt;
  return out;
}

uint32_t packVersion(unsigned major, unsigned minor, unsigned patch) {
  if (major > 2 || (major == 2 && minor > 14))
    return 0x2F000000u | ((major & 0xFF) << 16) | ((minor & 0xFF) << 8) | (patch & 0xFF);
  return ((major & 0x0F) << 28) | ((minor & 0x0F) << 24) | (patch & 0xFF);
}

}  // namespace qmsim
