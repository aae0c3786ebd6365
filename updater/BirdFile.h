// BIRD firmware files: a 6-byte header ("bird", 16-bit format version) and a
// zlib-compressed body of typed blocks (boot loaders, firmware images with
// their flash addresses, serial-number locations, an info text block).
// BirdFile holds the inflated body; BirdBlock records point into it, and the
// personalisation operations change the body in place before it is sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One parsed block. `data` points at the first payload byte inside the
// owning BirdFile's body (for loader and firmware blocks at the address).
struct BirdBlock {
  uint8_t type = 0;
  uint8_t flags = 0;
  uint32_t length = 0;
  uint32_t address = 0;
  uint8_t* data = nullptr;
};

class BirdFile {
 public:
  static constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264;  // "bird"
  static constexpr uint32_t BIRD_FILE_VERSION = 0x0101;
  static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
  static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
  static constexpr size_t HEADER_SIZE = 6;
  static constexpr size_t INFO_FIELD_SIZE = 16;

  enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,
    BLOCK_FIRMWARE = 1,
    BLOCK_SERIAL_OFFSETS = 2,
    BLOCK_INFO = 4,
    BLOCK_LOADER_ENTRY = 5,
  };

  BirdFile() = default;
  // Loads `path`; throws std::runtime_error("Failed to load bird data").
  explicit BirdFile(const std::string& path);
  BirdFile(BirdFile&& other) noexcept;
  BirdFile& operator=(BirdFile&& other) noexcept;
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;

  // Header check without inflating: "bird" and two non-zero version bytes.
  static bool VerifyFile(const std::string& path);

  bool Load();
  // The part of Load after the file is read: header, inflation, blocks.
  // Works on any bytes, so it is also the entry point for fuzzing.
  bool LoadFromMemory(const uint8_t* file, size_t size);
  bool DecompressData(const uint8_t* data, size_t length);
  bool ScanBlocks(uint8_t* data, uint32_t size);

  std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
  bool DumpBlocks(BLOCK_TYPE type) const;
  bool ValidateData(const uint8_t* pattern, uint32_t count) const;

  // Serial-number locations and personalisation.
  bool FindSerialNumberOffsets();
  bool ReplaceSerialNumber(uint32_t serial);
  bool ReplaceVectorChecksum();
  bool DecodeFirmwareBlocks(const uint32_t key[4]);

  // Identity from the first info block.
  bool ValidateModel(const std::string& model) const;
  uint32_t GetSerialNumber() const;
  bool ValidateSerialNumber(uint32_t serial) const;
  uint32_t GetBuild() const;
  std::string GetVersion() const;

  std::string path;
  uint32_t signature = 0;
  uint32_t version = 0;
  uint32_t checksum = 0;
  uint32_t block_count = 0;
  std::vector<BirdBlock> blocks;
  bool has_serial_offsets = false;
  uint32_t serial_number_offset = 0;
  uint32_t descriptor_offset = 0;
  std::unique_ptr<uint8_t[]> body;
  uint32_t body_size = 0;

 private:
  // Field `index` (0..3) of the first info block, cut to `limit` characters;
  // empty when there is no info block or it is too short.
  std::string InfoField(size_t index, size_t limit) const;
};
