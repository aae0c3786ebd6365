// birdwriter: produces BIRD firmware files for tests, the demo and the
// emulated update server. It writes good images (generic, device-specific,
// with loader blocks, scrambled for chip recovery) and deliberately broken
// ones, and reads files back for `birdtool info`.
//
// File: "bird", 16-bit format version, then one zlib stream holding the
// body: block count, blocks (type/flags byte, 32-bit length, payload) and a
// 32-bit checksum. All numbers big-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace birdwriter {

using Bytes = std::vector<uint8_t>;

enum BlockType : uint8_t {
  LOADER = 0,
  FIRMWARE = 1,
  SERIAL_OFFSETS = 2,
  INFO = 4,
  LOADER_ENTRY = 5,
};

struct Block {
  uint8_t type = 0;   // 0..31
  uint8_t flags = 0;  // 0..7, stored in the top three bits of the type byte
  Bytes payload;      // loader/firmware payloads start with their 4 address bytes
  // Length written in the block header; when unset, payload.size(). A larger
  // value makes a block that runs past the end of the body.
  std::optional<uint32_t> declaredLength;
};

// Block constructors. Images are the bytes after the address.
Block loaderBlock(uint32_t address, const Bytes& image, uint8_t flags = 0);
Block firmwareBlock(uint32_t address, const Bytes& image, uint8_t flags = 0);
Block serialOffsetsBlock(uint32_t serialAddress, uint32_t descriptorAddress);
// Four 16-character blank-padded fields; texts longer than 16 are cut.
Block infoBlock(const std::string& build, const std::string& version,
                const std::string& serial, const std::string& model);
Block infoBlock(uint32_t build, const std::string& version, uint32_t serial,
                const std::string& model);
Block loaderEntryBlock(uint32_t address);

struct Image {
  std::string signature = "bird";  // first four bytes (cut or zero-padded to 4)
  uint16_t version = 0x0101;
  std::vector<Block> blocks;
  // Checksum written after the blocks; unset: CRC-32 of the body before it.
  std::optional<uint32_t> checksum;
  std::optional<uint32_t> reportedCount;  // unset: blocks.size()
  Bytes trailing;                         // bytes after the checksum, inside the body
  std::optional<size_t> truncateTo;       // cut the finished file to this many bytes
  int level = 9;                          // zlib compression level
};

// The uncompressed body of an image.
Bytes body(const Image& image);
// The complete file.
Bytes pack(const Image& image);

// Deterministic, poorly compressible filler (an LCG), so ordinary images
// stay well inside the reader's eight-to-one inflation limit.
Bytes patternBytes(size_t size, uint32_t start = 1);

// Scrambles an image for chip recovery with the 4-word key: the key bytes
// are the words most significant byte first; each stored byte is
// plain ^ key[i % 16] ^ previous plain byte (0 before the first).
void scramble(Bytes& image, const std::array<uint32_t, 4>& key);
// The reverse operation, as the updater applies it before programming.
void unscramble(Bytes& image, const std::array<uint32_t, 4>& key);

// Writes the serial number into an image the way a device-specific build
// carries it: a little-endian word at `wordOffset` and eight UTF-16LE
// hexadecimal digits at `textOffset` (offsets into the image; out-of-range
// locations are left alone).
void putSerial(Bytes& image, size_t wordOffset, size_t textOffset, uint32_t serial);

enum class Fault {
  None,
  BadSignature,     // signature "brid"
  ZeroVersion,      // format version 0x0100 (second version byte zero)
  TruncatedBody,    // file cut in the middle of the zlib stream
  CountMismatch,    // block count field one more than the blocks present
  TrailingBytes,    // three bytes after the checksum
  OverInflate,      // zero-filled firmware: inflates past eight times its size
  BlockOverrun,     // last block's length runs past the end of the body
};
// "bad-signature", "zero-version", "truncated", "count-mismatch",
// "trailing-bytes", "over-inflate", "block-overrun"; nullopt for others.
std::optional<Fault> faultFromName(const std::string& name);
const char* faultName(Fault fault);

struct Region {
  uint32_t address = 0;
  Bytes image;
};

// A release described the way a build server would: identity, images and
// whether it is generic (serial offsets block, placeholder serial) or made
// for one device.
struct Release {
  uint32_t build = 1000;
  std::string version = "1.0.0";
  std::string model = "QM-HUB4";
  bool generic = true;
  uint32_t serial = 0;                   // device-specific builds
  std::vector<Region> firmware;          // empty: one 4 KiB image at 0x00000000
  std::vector<Region> loaders;
  std::optional<uint32_t> loaderEntry;
  // Device addresses of the serial word and descriptor text; unset: 0x100
  // and 0x110 past the first firmware image's address.
  std::optional<uint32_t> serialAddress;
  std::optional<uint32_t> descriptorAddress;
  uint32_t placeholderSerial = 0xFFFFFFFF;  // what a generic image holds there
  uint8_t flags = 0;                        // flags of loader and firmware blocks
  std::optional<std::array<uint32_t, 4>> scrambleKey;  // recovery images
  Fault fault = Fault::None;
};

Image makeImage(const Release& release);
inline Bytes packRelease(const Release& release) { return pack(makeImage(release)); }

// Writes bytes to a file; false on any error.
bool writeFile(const std::string& path, const Bytes& data);
bool readFile(const std::string& path, Bytes& data);

// A file read back for inspection.
struct Parsed {
  std::string signature;
  uint16_t version = 0;
  uint32_t reportedCount = 0;
  uint32_t checksum = 0;
  std::vector<Block> blocks;
  std::string error;  // empty when the file parsed cleanly
};
Parsed parse(const Bytes& file);
// Text report of a parsed file: header, each block and the info fields.
std::string describe(const Parsed& parsed);

}  // namespace birdwriter
