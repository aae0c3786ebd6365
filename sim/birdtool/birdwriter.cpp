#include "birdwriter.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace birdwriter {

namespace {

void putBE32(Bytes& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v >> 24));
  out.push_back(static_cast<uint8_t>(v >> 16));
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

uint32_t getBE32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

Bytes addressed(uint32_t address, const Bytes& image) {
  Bytes payload;
  payload.reserve(image.size() + 4);
  putBE32(payload, address);
  payload.insert(payload.end(), image.begin(), image.end());
  return payload;
}

void field(Bytes& out, const std::string& text) {
  for (size_t i = 0; i < 16; ++i) out.push_back(i < text.size() ? uint8_t(text[i]) : uint8_t(' '));
}

std::string hex8(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", v);
  return text;
}

}  // namespace

Block loaderBlock(uint32_t address, const Bytes& image, uint8_t flags) {
  return Block{LOADER, flags, addressed(address, image), std::nullopt};
}

Block firmwareBlock(uint32_t address, const Bytes& image, uint8_t flags) {
  return Block{FIRMWARE, flags, addressed(address, image), std::nullopt};
}

Block serialOffsetsBlock(uint32_t serialAddress, uint32_t descriptorAddress) {
  Block b{SERIAL_OFFSETS, 0, {}, std::nullopt};
  putBE32(b.payload, serialAddress);
  putBE32(b.payload, descriptorAddress);
  return b;
}

Block infoBlock(const std::string& build, const std::string& version,
                const std::string& serial, const std::string& model) {
  Block b{INFO, 0, {}, std::nullopt};
  field(b.payload, build);
  field(b.payload, version);
  field(b.payload, serial);
  field(b.payload, model);
  return b;
}

Block infoBlock(uint32_t build, const std::string& version, uint32_t serial,
                const std::string& model) {
  return infoBlock(std::to_string(build), version, hex8(serial), model);
}

Block loaderEntryBlock(uint32_t address) {
  Block b{LOADER_ENTRY, 0, {}, std::nullopt};
  putBE32(b.payload, address);
  return b;
}

Bytes body(const Image& image) {
  Bytes out;
  putBE32(out, image.reportedCount ? *image.reportedCount : uint32_t(image.blocks.size()));
  for (const Block& b : image.blocks) {
    out.push_back(uint8_t((b.type & 0x1F) | ((b.flags & 0x07) << 5)));
    putBE32(out, b.declaredLength ? *b.declaredLength : uint32_t(b.payload.size()));
    out.insert(out.end(), b.payload.begin(), b.payload.end());
  }
  uint32_t sum = image.checksum
                     ? *image.checksum
                     : uint32_t(crc32(0L, out.data(), static_cast<uInt>(out.size())));
  putBE32(out, sum);
  out.insert(out.end(), image.trailing.begin(), image.trailing.end());
  return out;
}

Bytes pack(const Image& image) {
  Bytes raw = body(image);
  uLongf capacity = compressBound(static_cast<uLong>(raw.size()));
  Bytes file(6 + capacity);
  for (size_t i = 0; i < 4; ++i)
    file[i] = i < image.signature.size() ? uint8_t(image.signature[i]) : 0;
  file[4] = uint8_t(image.version >> 8);
  file[5] = uint8_t(image.version);
  if (compress2(file.data() + 6, &capacity, raw.data(), static_cast<uLong>(raw.size()),
                image.level) != Z_OK)
    return {};
  file.resize(6 + capacity);
  if (image.truncateTo && *image.truncateTo < file.size()) file.resize(*image.truncateTo);
  return file;
}

Bytes patternBytes(size_t size, uint32_t start) {
  Bytes out(size);
  uint32_t x = start * 2654435761u + 12345u;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1664525u + 1013904223u;
    out[i] = uint8_t(x >> 24);
  }
  return out;
}

namespace {
std::array<uint8_t, 16> keyBytes(const std::array<uint32_t, 4>& key) {
  std::array<uint8_t, 16> k{};
  for (size_t i = 0; i < 4; ++i)
    for (size_t j = 0; j < 4; ++j) k[i * 4 + j] = uint8_t(key[i] >> (24 - 8 * j));
  return k;
}
}  // namespace

void scramble(Bytes& image, const std::array<uint32_t, 4>& key) {
  auto k = keyBytes(key);
  uint8_t previous = 0;
  for (size_t i = 0; i < image.size(); ++i) {
    uint8_t plain = image[i];
    image[i] = uint8_t(plain ^ k[i % 16] ^ previous);
    previous = plain;
  }
}

void unscramble(Bytes& image, const std::array<uint32_t, 4>& key) {
  auto k = keyBytes(key);
  uint8_t previous = 0;
  for (size_t i = 0; i < image.size(); ++i) {
    image[i] = uint8_t(image[i] ^ k[i % 16] ^ previous);
    previous = image[i];
  }
}

void putSerial(Bytes& image, size_t wordOffset, size_t textOffset, uint32_t serial) {
  if (wordOffset <= image.size() && image.size() - wordOffset >= 4)
    for (size_t i = 0; i < 4; ++i) image[wordOffset + i] = uint8_t(serial >> (8 * i));
  if (textOffset <= image.size() && image.size() - textOffset >= 16) {
    std::string digits = hex8(serial);
    for (size_t i = 0; i < 8; ++i) {
      image[textOffset + 2 * i] = uint8_t(digits[i]);
      image[textOffset + 2 * i + 1] = 0;
    }
  }
}

namespace {
const struct {
  Fault fault;
  const char* name;
} kFaults[] = {
    {Fault::None, "none"},
    {Fault::BadSignature, "bad-signature"},
    {Fault::ZeroVersion, "zero-version"},
    {Fault::TruncatedBody, "truncated"},
    {Fault::CountMismatch, "count-mismatch"},
    {Fault::TrailingBytes, "trailing-bytes"},
    {Fault::OverInflate, "over-inflate"},
    {Fault::BlockOverrun, "block-overrun"},
};
}  // namespace

std::optional<Fault> faultFromName(const std::string& name) {
  for (const auto& f : kFaults)
    if (name == f.name) return f.fault;
  return std::nullopt;
}

const char* faultName(Fault fault) {
  for (const auto& f : kFaults)
    if (fault == f.fault) return f.name;
  return "?";
}

Image makeImage(const Release& release) {
  Image image;
  std::vector<Region> firmware = release.firmware;
  if (firmware.empty()) firmware.push_back(Region{0x00000000, patternBytes(4096, release.build)});
  if (release.fault == Fault::OverInflate)
    for (Region& r : firmware) r.image.assign(std::max<size_t>(r.image.size(), 64 * 1024), 0);

  uint32_t base = firmware.front().address;
  uint32_t serialAddress = release.serialAddress ? *release.serialAddress : base + 0x100;
  uint32_t descriptorAddress =
      release.descriptorAddress ? *release.descriptorAddress : base + 0x110;
  uint32_t stamped = release.generic ? release.placeholderSerial : release.serial;
  // Every image that covers a location carries the serial there.
  for (Region& r : firmware) {
    size_t end = size_t(r.address) + r.image.size();
    auto offset = [&](uint32_t at) {
      return at >= r.address && at < end ? size_t(at - r.address) : r.image.size();
    };
    putSerial(r.image, offset(serialAddress), offset(descriptorAddress), stamped);
  }

  image.blocks.push_back(infoBlock(release.build, release.version,
                                   release.generic ? 0u : release.serial, release.model));
  if (release.generic) image.blocks.push_back(serialOffsetsBlock(serialAddress, descriptorAddress));
  for (const Region& r : release.loaders)
    image.blocks.push_back(loaderBlock(r.address, r.image, release.flags));
  if (release.loaderEntry) image.blocks.push_back(loaderEntryBlock(*release.loaderEntry));
  for (Region r : firmware) {
    if (release.scrambleKey) scramble(r.image, *release.scrambleKey);
    image.blocks.push_back(firmwareBlock(r.address, r.image, release.flags));
  }

  switch (release.fault) {
    case Fault::None:
    case Fault::OverInflate:
      break;
    case Fault::BadSignature:
      image.signature = "brid";
      break;
    case Fault::ZeroVersion:
      image.version = 0x0100;
      break;
    case Fault::TruncatedBody: {
      Bytes whole = pack(image);
      image.truncateTo = 6 + (whole.size() - 6) / 2;
      break;
    }
    case Fault::CountMismatch:
      image.reportedCount = uint32_t(image.blocks.size() + 1);
      break;
    case Fault::TrailingBytes:
      image.trailing = {0xA5, 0x5A, 0xA5};
      break;
    case Fault::BlockOverrun: {
      Block& last = image.blocks.back();
      last.declaredLength = uint32_t(last.payload.size() + 100);
      break;
    }
  }
  return image;
}

bool writeFile(const std::string& path, const Bytes& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

bool readFile(const std::string& path, Bytes& data) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  data.clear();
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + n);
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

namespace {

// Inflates with a growing buffer (no ratio limit, capped at 256 MiB) so
// `info` can show what is inside files the updater would refuse.
bool inflateAll(const uint8_t* data, size_t size, Bytes& out, std::string& error) {
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) {
    error = "zlib init failed";
    return false;
  }
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = static_cast<uInt>(size);
  out.clear();
  int rc = Z_OK;
  uint8_t chunk[65536];
  while (rc == Z_OK) {
    zs.next_out = chunk;
    zs.avail_out = sizeof chunk;
    rc = inflate(&zs, Z_NO_FLUSH);
    out.insert(out.end(), chunk, chunk + (sizeof chunk - zs.avail_out));
    if (rc == Z_BUF_ERROR && zs.avail_in == 0) break;
    if (out.size() > (256u << 20)) break;
  }
  inflateEnd(&zs);
  if (rc != Z_STREAM_END) {
    error = rc == Z_OK || rc == Z_BUF_ERROR ? "body ends early" : "body does not inflate";
    return false;
  }
  return true;
}

}  // namespace

Parsed parse(const Bytes& file) {
  Parsed p;
  if (file.size() < 6) {
    p.error = "shorter than the 6-byte header";
    return p;
  }
  p.signature.assign(file.begin(), file.begin() + 4);
  p.version = uint16_t((file[4] << 8) | file[5]);
  Bytes raw;
  if (!inflateAll(file.data() + 6, file.size() - 6, raw, p.error)) return p;
  if (raw.size() < 8) {
    p.error = "body too short";
    return p;
  }
  p.reportedCount = getBE32(raw.data());
  size_t pos = 4, end = raw.size() - 4;
  while (pos < end) {
    if (end - pos < 5) {
      p.error = "partial block header";
      break;
    }
    Block b;
    b.type = raw[pos] & 0x1F;
    b.flags = raw[pos] >> 5;
    uint32_t length = getBE32(&raw[pos + 1]);
    pos += 5;
    if (length > end - pos) {
      p.error = "block runs past the end of the body";
      break;
    }
    b.payload.assign(raw.begin() + pos, raw.begin() + pos + length);
    pos += length;
    p.blocks.push_back(std::move(b));
  }
  p.checksum = getBE32(&raw[end]);
  if (p.error.empty() && p.blocks.size() != p.reportedCount) p.error = "block count mismatch";
  return p;
}

std::string describe(const Parsed& parsed) {
  std::ostringstream out;
  char line[160];
  std::string sig;
  for (char c : parsed.signature) sig += std::isprint(uint8_t(c)) ? c : '.';
  std::snprintf(line, sizeof line, "signature: %s\nversion: 0x%04X\n", sig.c_str(), parsed.version);
  out << line;
  std::snprintf(line, sizeof line, "blocks: %zu (reported %u)\nchecksum: %08X\n",
                parsed.blocks.size(), parsed.reportedCount, parsed.checksum);
  out << line;
  for (size_t i = 0; i < parsed.blocks.size(); ++i) {
    const Block& b = parsed.blocks[i];
    std::snprintf(line, sizeof line, "block %zu: type %u flags %u length %zu", i, b.type, b.flags,
                  b.payload.size());
    out << line;
    if ((b.type == LOADER || b.type == FIRMWARE || b.type == LOADER_ENTRY ||
         b.type == SERIAL_OFFSETS) &&
        b.payload.size() >= 4) {
      std::snprintf(line, sizeof line, " address 0x%08X", getBE32(b.payload.data()));
      out << line;
    }
    if (b.type == SERIAL_OFFSETS && b.payload.size() >= 8) {
      std::snprintf(line, sizeof line, " descriptor 0x%08X", getBE32(b.payload.data() + 4));
      out << line;
    }
    out << "\n";
    if (b.type == INFO && b.payload.size() >= 64) {
      static const char* names[] = {"build", "version", "serial", "model"};
      for (size_t f = 0; f < 4; ++f) {
        std::string text(b.payload.begin() + 16 * f, b.payload.begin() + 16 * f + 16);
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out << "  " << names[f] << ": " << text << "\n";
      }
    }
  }
  if (!parsed.error.empty()) out << "error: " << parsed.error << "\n";
  return out.str();
}

}  // namespace birdwriter
