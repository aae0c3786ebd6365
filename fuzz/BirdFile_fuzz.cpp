// BIRD files from raw bytes: the first byte chooses whether the rest is a
// whole file (header and zlib body) or an already inflated body, so block
// scanning is reached without the fuzzer having to produce valid zlib.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "BirdFile.h"

namespace {

void exercise(BirdFile& file) {
  file.GetBuild();
  file.GetSerialNumber();
  file.GetVersion();
  file.ValidateModel("QM-HUB4");
  file.ValidateModel("Q");
  const uint8_t pattern[] = {0xFF, 0xFF};
  file.ValidateData(pattern, sizeof pattern);
  file.FindSerialNumberOffsets();
  file.ReplaceSerialNumber(0x40F5849A);
  file.ReplaceVectorChecksum();
  const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
  file.DecodeFirmwareBlocks(key);
  for (int type = 0; type < 32; ++type) file.FindBlocks(BirdFile::BLOCK_TYPE(type));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  BirdFile file;
  file.path = "fuzz.bird";
  if (data[0] & 1) {
    // An exact-size copy, so any read past the body is caught.
    size_t length = size - 1;
    auto body = std::make_unique<uint8_t[]>(length ? length : 1);
    if (length) std::memcpy(body.get(), data + 1, length);
    file.ScanBlocks(body.get(), uint32_t(length));
    file.has_serial_offsets = !file.FindBlocks(BirdFile::BLOCK_SERIAL_OFFSETS).empty();
    exercise(file);
  } else {
    file.LoadFromMemory(data + 1, size - 1);
    exercise(file);
    BirdFile moved = std::move(file);
    exercise(moved);
  }
  return 0;
}
