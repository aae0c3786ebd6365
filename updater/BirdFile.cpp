#include "BirdFile.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "Log.h"
#include "unix_file.h"

namespace {

uint32_t readBE32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

uint32_t readLE32(const uint8_t* p) {
  return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}

void writeLE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// The header test shared by VerifyFile and loading: the signature and two
// non-zero version bytes.
bool headerValid(const uint8_t* header) {
  return readBE32(header) == BirdFile::BIRD_FILE_SIGNATURE && header[4] != 0 && header[5] != 0;
}

// The image of a loader or firmware block covers device addresses
// [address, address + length - 4); true when [at, at + size) lies inside.
bool insideImage(const BirdBlock& block, uint32_t at, uint32_t size) {
  if (block.length < 4 || at < block.address) return false;
  uint64_t end = uint64_t(block.address) + (block.length - 4);
  return uint64_t(at) + size <= end;
}

}  // namespace

BirdFile::BirdFile(const std::string& file_path) : path(file_path) {
  if (!Load()) throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept { *this = std::move(other); }

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
  if (this == &other) return *this;
  path = std::move(other.path);
  signature = other.signature;
  version = other.version;
  checksum = other.checksum;
  block_count = other.block_count;
  blocks = std::move(other.blocks);
  has_serial_offsets = other.has_serial_offsets;
  serial_number_offset = other.serial_number_offset;
  descriptor_offset = other.descriptor_offset;
  body = std::move(other.body);  // the blocks' pointers move with it
  body_size = other.body_size;
  other.blocks.clear();
  other.block_count = 0;
  other.body_size = 0;
  other.has_serial_offsets = false;
  return *this;
}

bool BirdFile::VerifyFile(const std::string& file_path) {
  aFileRef file = aFile_Open(file_path.c_str(), aFileModeReadOnly);
  if (!file) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", file_path.c_str());
    return false;
  }
  uint8_t header[HEADER_SIZE];
  size_t count = 0;
  aErr err = aFile_Read(file, header, sizeof header, &count);
  bool result = err == aErrNone && count == sizeof header && headerValid(header);
  aFile_Close(&file);
  return result;
}

bool BirdFile::Load() {
  Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
  if (!aFile_Exists(path.c_str())) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
    return false;
  }
  aFileRef file = aFile_Open(path.c_str(), aFileModeReadOnly);
  if (!file) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
    return false;
  }
  size_t size = 0;
  aErr err = aFile_GetSize(file, &size);
  if (err != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", err,
             path.c_str());
    aFile_Close(&file);
    return false;
  }

  bool result = false;
  std::vector<uint8_t> buffer;
  try {
    buffer.resize(size);
  } catch (const std::bad_alloc&) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", aErrMemory, path.c_str());
    aFile_Close(&file);
    return false;
  }
  size_t count = 0;
  err = size ? aFile_Read(file, buffer.data(), size, &count) : aErrNone;
  if (err != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", err, path.c_str());
  } else if (count != size) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
             path.c_str(), count, size);
  } else {
    result = LoadFromMemory(buffer.data(), size);
  }
  aFile_Close(&file);
  return result;
}

bool BirdFile::LoadFromMemory(const uint8_t* file, size_t size) {
  blocks.clear();
  block_count = 0;
  checksum = 0;
  has_serial_offsets = false;
  serial_number_offset = 0;
  descriptor_offset = 0;

  bool result = false;
  if (file && size > HEADER_SIZE) {
    signature = readBE32(file);
    version = (uint32_t(file[4]) << 8) | file[5];
    // Only what VerifyFile accepts is loaded: a file given directly by the
    // user gets the same header check as one from the store.
    if (!headerValid(file)) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error - not a bird file: '%s'\n", path.c_str());
    } else if (DecompressData(file + HEADER_SIZE, size - HEADER_SIZE)) {
      // A body whose blocks do not add up is not sent to a device.
      result = ScanBlocks(body.get(), body_size);
      FindSerialNumberOffsets();
    }
  }
  if (!FindBlocks(BLOCK_SERIAL_OFFSETS).empty()) {
    has_serial_offsets = true;
    FindSerialNumberOffsets();
  }
  return result;
}

bool BirdFile::DecompressData(const uint8_t* data, size_t length) {
  // The body is inflated in one call into eight times the compressed size.
  uint32_t capacity = uint32_t(length) * 8u;
  blocks.clear();
  block_count = 0;
  body_size = 0;
  try {
    body = std::make_unique<uint8_t[]>(capacity);
  } catch (const std::bad_alloc&) {
    body.reset();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
    return false;
  }
  uLongf produced = capacity;
  int rc = uncompress(body.get(), &produced, data, uLong(length));
  if (rc != Z_OK) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
    return false;
  }
  body_size = uint32_t(produced);
  return true;
}

bool BirdFile::ScanBlocks(uint8_t* data, uint32_t size) {
  block_count = 0;
  blocks.clear();
  checksum = 0;
  if (!data || size < 4) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             size);
    return false;
  }
  uint32_t reported = readBE32(data);
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", reported);
  uint8_t* p = data + 4;
  uint32_t remaining = size - 4;
  Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

  bool overrun = false;
  while (remaining > 4) {
    BirdBlock block;
    block.type = p[0] & BIRD_FILE_TYPE_MASK;
    block.flags = uint8_t((p[0] & BIRD_FILE_FLAG_MASK) >> 5);
    block.length = readBE32(p + 1);
    if (block.length > remaining - 5) {
      // The payload would run past the end of the body: stop before it.
      overrun = true;
      break;
    }
    p += 5;
    remaining -= 5;
    block.data = p;
    if ((block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) && block.length >= 4)
      block.address = readBE32(p);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
             block.length);
    if (block.type == BLOCK_INFO)
      for (uint32_t at = 0; at + INFO_FIELD_SIZE <= block.length && at < 64; at += INFO_FIELD_SIZE)
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", reinterpret_cast<char*>(p + at));
    p += block.length;
    remaining -= block.length;
    ++block_count;
    blocks.push_back(block);
  }
  // A body too short for the trailing checksum is as broken as one with
  // bytes left over.
  bool complete = !overrun && remaining >= 4;
  if (complete) {
    checksum = readBE32(p);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
    remaining -= 4;
  }

  bool result = true;
  if (!complete || remaining != 0) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             remaining);
    result = false;
  }
  if (block_count != reported) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
             block_count, reported);
    result = false;
  }
  return result;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
  std::vector<BirdBlock> found;
  for (const BirdBlock& block : blocks)
    if (block.type == type) found.push_back(block);
  return found;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const {
  std::printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
  for (const BirdBlock& block : FindBlocks(type)) {
    std::string text;
    for (uint32_t i = 0; i < block.length; ++i) {
      if (i % 50 == 0) {
        std::printf(" %s\r\n%06d: ", text.c_str(), int(i));
        text.clear();
      }
      uint8_t byte = block.data[i];
      text += std::isprint(byte) ? char(byte) : ' ';
      std::printf("%02X ", byte);
    }
    std::printf(" %s\n", text.c_str());
  }
  std::printf("\n");
  return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, uint32_t count) const {
  Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
  bool found = false;
  if (pattern) {
    for (const BirdBlock& block : FindBlocks(BLOCK_FIRMWARE)) {
      int64_t last = int64_t(block.length) - int64_t(count);
      for (int64_t i = 0; i < last; ++i) {
        if (std::memcmp(block.data + i, pattern, count) == 0) {
          Log::log(DEBUG_BirdFile, "Found data at %d\n", int(i));
          found = true;
        }
      }
    }
  }
  Log::log(DEBUG_BirdFile, "\n");
  return found;
}

bool BirdFile::FindSerialNumberOffsets() {
  if (block_count == 0) return false;
  std::vector<BirdBlock> found = FindBlocks(BLOCK_SERIAL_OFFSETS);
  if (found.empty() || found.front().length < 8) return false;
  serial_number_offset = readBE32(found.front().data);
  descriptor_offset = readBE32(found.front().data + 4);
  Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
           serial_number_offset, descriptor_offset);
  return true;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08X", serial);
  // Success means every location the file names was written in some block:
  // an image whose serial word or descriptor lies outside all firmware
  // images would otherwise reach the device with its placeholder serial.
  bool wordWritten = false;
  bool textWritten = false;
  for (const BirdBlock& block : FindBlocks(BLOCK_FIRMWARE)) {
    if (serial_number_offset != 0 && insideImage(block, serial_number_offset, 4)) {
      uint8_t* word = block.data + (serial_number_offset - block.address) + 4;
      Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
               readLE32(word), serial);
      writeLE32(word, serial);
      wordWritten = true;
    }
    if (descriptor_offset != 0 && insideImage(block, descriptor_offset, 16)) {
      uint8_t* text = block.data + (descriptor_offset - block.address) + 4;
      for (int i = 0; i < 8; ++i) text[2 * i] = uint8_t(digits[i]);
      textWritten = true;
    }
  }
  if (serial_number_offset == 0 && descriptor_offset == 0) return false;
  return (serial_number_offset == 0 || wordWritten) && (descriptor_offset == 0 || textWritten);
}

bool BirdFile::ReplaceVectorChecksum() {
  for (const BirdBlock& block : FindBlocks(BLOCK_FIRMWARE)) {
    if (block.address != 0 || block.length < 4 + 32) continue;
    uint8_t* vectors = block.data + 4;
    uint32_t v[8];
    for (int i = 0; i < 8; ++i) v[i] = readLE32(vectors + 4 * i);
    uint32_t sum = v[0] + v[1] + v[2] + v[3] + v[4] + v[6];
    uint32_t value = 0u - sum;
    Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", v[7],
             value);
    writeLE32(vectors + 28, value);
  }
  return true;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t key[4]) {
  uint8_t k[16];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) k[4 * i + j] = uint8_t(key[i] >> (24 - 8 * j));
  for (const BirdBlock& block : FindBlocks(BLOCK_FIRMWARE)) {
    uint8_t chain = 0;
    for (uint32_t i = 4; i < block.length; ++i) {
      uint8_t y = uint8_t(block.data[i] ^ k[(i - 4) % 16] ^ chain);
      block.data[i] = y;
      chain = y;
    }
  }
  return true;
}

std::string BirdFile::InfoField(size_t index, size_t limit) const {
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_INFO) continue;
    size_t start = index * INFO_FIELD_SIZE;
    if (block.length < start + INFO_FIELD_SIZE) return std::string();
    const char* field = reinterpret_cast<const char*>(block.data + start);
    return std::string(field, std::min(limit, INFO_FIELD_SIZE));
  }
  return std::string();
}

bool BirdFile::ValidateModel(const std::string& model) const {
  // An empty name says nothing about the device, so it matches nothing; a
  // missing or short info block gives an empty field.
  std::string field = InfoField(3, INFO_FIELD_SIZE);
  field = field.c_str();  // the text ends at the first NUL
  while (!field.empty() && field.back() == ' ') field.pop_back();
  if (model.empty() || field.compare(0, model.size(), model) != 0) return false;
  Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field.c_str(),
           model.c_str());
  return true;
}

uint32_t BirdFile::GetSerialNumber() const {
  std::string text = InfoField(2, 8);
  return uint32_t(std::strtoul(text.c_str(), nullptr, 16));
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const { return serial == GetSerialNumber(); }

uint32_t BirdFile::GetBuild() const {
  std::string text = InfoField(0, 15);
  return uint32_t(std::strtoul(text.c_str(), nullptr, 10));
}

std::string BirdFile::GetVersion() const {
  std::string text = InfoField(1, 15);
  size_t end = text.find_first_of(std::string(" \0", 2));
  return end == std::string::npos ? text : text.substr(0, end);
}
