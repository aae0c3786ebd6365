// BIRD file reading: header check, inflation, block scanning, malformed
// files, and the accessors. Files are made with the birdwriter library.
#include "BirdFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "birdwriter.h"
#include "log_capture.h"
#include "qm_process.h"

namespace bw = birdwriter;

namespace {

std::string put(const qmtest::TempDir& dir, const std::string& name, const bw::Bytes& bytes) {
  std::string path = dir.file(name);
  EXPECT_TRUE(bw::writeFile(path, bytes));
  return path;
}

BirdFile::BLOCK_TYPE BLOCK_TYPE_ABSENT() { return BirdFile::BLOCK_TYPE(3); }

bw::Bytes asBytes(const std::string& text) { return bw::Bytes(text.begin(), text.end()); }

// A loaded file made from `image` in memory.
BirdFile loaded(const bw::Image& image, bool expectOk = true) {
  BirdFile file;
  bw::Bytes bytes = bw::pack(image);
  EXPECT_EQ(file.LoadFromMemory(bytes.data(), bytes.size()), expectOk);
  return file;
}

TEST(BirdFileVerify, ChecksOnlyTheHeader) {
  qmtest::TempDir dir;
  struct Case {
    const char* name;
    std::string bytes;
    bool valid;
  } cases[] = {
      {"good", std::string("bird\x01\x01", 6), true},
      {"other version", std::string("bird\x02\x07garbage", 13), true},
      {"low byte zero", std::string("bird\x01\x00", 6), false},
      {"high byte zero", std::string("bird\x00\x01", 6), false},
      {"five bytes", std::string("bird\x01", 5), false},
      {"empty", std::string(), false},
      {"wrong signature", std::string("BIRD\x01\x01", 6), false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(BirdFile::VerifyFile(put(dir, "f.bird", asBytes(c.bytes))), c.valid) << c.name;
}

TEST(BirdFileVerify, MissingFileIsLogged) {
  qmtest::TempDir dir;
  LogCapture log(DEBUG_BirdFile);
  EXPECT_FALSE(BirdFile::VerifyFile(dir.file("none.bird")));
  EXPECT_EQ(log.text(), "BIRDFILE: Error - cannot open bird file: '" + dir.file("none.bird") + "'\n");
}

TEST(BirdFileLoad, ReadsBlocksAndIdentity) {
  qmtest::TempDir dir;
  bw::Release release;
  release.build = 1234;
  release.version = "2.10.3";
  release.model = "QM-IO8";
  release.loaders = {{0x20000000, bw::patternBytes(300, 7)}};
  release.loaderEntry = 0x20000400;
  release.firmware = {{0x8000, bw::patternBytes(1000, 8)}, {0x20000, bw::patternBytes(500, 9)}};
  release.flags = 5;
  std::string path = put(dir, "1234.bird", bw::packRelease(release));

  LogCapture log(DEBUG_BirdFile);
  BirdFile file(path);
  EXPECT_EQ(file.path, path);
  EXPECT_EQ(file.signature, BirdFile::BIRD_FILE_SIGNATURE);
  EXPECT_EQ(file.version, BirdFile::BIRD_FILE_VERSION);
  ASSERT_EQ(file.block_count, 6u);
  ASSERT_EQ(file.blocks.size(), 6u);

  auto firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(firmware.size(), 2u);  // in file order
  EXPECT_EQ(firmware[0].address, 0x8000u);
  EXPECT_EQ(firmware[0].length, 1004u);
  EXPECT_EQ(firmware[0].flags, 5);
  EXPECT_EQ(firmware[1].address, 0x20000u);
  bw::Bytes second = bw::patternBytes(500, 9);
  EXPECT_EQ(0, std::memcmp(firmware[1].data + 4, second.data(), second.size()));

  auto loader = file.FindBlocks(BirdFile::BLOCK_LOADER);
  ASSERT_EQ(loader.size(), 1u);
  EXPECT_EQ(loader[0].address, 0x20000000u);
  auto entry = file.FindBlocks(BirdFile::BLOCK_LOADER_ENTRY);
  ASSERT_EQ(entry.size(), 1u);
  EXPECT_EQ(entry[0].address, 0u);  // only loader and firmware blocks carry an address
  EXPECT_EQ(entry[0].length, 4u);
  EXPECT_TRUE(file.FindBlocks(BLOCK_TYPE_ABSENT()).empty());

  EXPECT_TRUE(file.has_serial_offsets);
  EXPECT_EQ(file.serial_number_offset, 0x8100u);
  EXPECT_EQ(file.descriptor_offset, 0x8110u);
  EXPECT_EQ(file.GetBuild(), 1234u);
  EXPECT_EQ(file.GetVersion(), "2.10.3");
  EXPECT_EQ(file.GetSerialNumber(), 0u);
  EXPECT_TRUE(file.ValidateModel("QM-IO8"));

  std::string text = log.text();
  EXPECT_NE(text.find("BIRDFILE: Loading File [" + path + "]\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE:\t\t File reports 6 blocks\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE:\t\t \t[1234            ]\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE:\t\t 01   05   1004\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE: Offsets: Serial number: 33024, Descriptor: 33040\n"),
            std::string::npos);
  EXPECT_EQ(text.find("mismatch"), std::string::npos);
}

TEST(BirdFileScan, FirmwareBlockOfEightBytes) {
  bw::Image image;
  image.blocks = {bw::firmwareBlock(0x12345678, {0xA1, 0xA2, 0xA3, 0xA4})};
  bw::Bytes body = bw::body(image);
  BirdFile file;
  ASSERT_TRUE(file.ScanBlocks(body.data(), uint32_t(body.size())));
  ASSERT_EQ(file.blocks.size(), 1u);
  const BirdBlock& b = file.blocks[0];
  EXPECT_EQ(b.type, 1);
  EXPECT_EQ(b.length, 8u);
  EXPECT_EQ(b.address, 0x12345678u);
  EXPECT_EQ(b.data, body.data() + 9);  // points at the address bytes
  EXPECT_EQ(b.data[4], 0xA1);
}

TEST(BirdFileScan, TypeByteSplitsIntoTypeAndFlags) {
  struct Case {
    uint8_t byte, type, flags;
  } cases[] = {{0xE1, 1, 7}, {0x24, 4, 1}, {0x1F, 31, 0}, {0x43, 3, 2}};
  for (const Case& c : cases) {
    bw::Bytes body = {0, 0, 0, 1, c.byte, 0, 0, 0, 4, 1, 2, 3, 4, 9, 9, 9, 9};
    BirdFile file;
    ASSERT_TRUE(file.ScanBlocks(body.data(), uint32_t(body.size())));
    EXPECT_EQ(file.blocks[0].type, c.type) << int(c.byte);
    EXPECT_EQ(file.blocks[0].flags, c.flags) << int(c.byte);
    EXPECT_EQ(file.checksum, 0x09090909u);
  }
}

// Bodies that don't add up. Each buffer is exactly as long as the body, so
// AddressSanitizer reports any read past its end.
TEST(BirdFileScan, MalformedBodiesFailInsideTheBuffer) {
  struct Case {
    const char* name;
    bw::Bytes body;
    const char* message;
    size_t blocks;
  } cases[] = {
      {"trailing bytes", {0, 0, 0, 1, 1, 0, 0, 0, 4, 0, 0, 0, 0, 1, 2, 3, 4, 7, 7},
       "BIRDFILE: Block parsing mismatch in data size.", 1},
      {"count too high", {0, 0, 0, 2, 1, 0, 0, 0, 4, 0, 0, 0, 0, 1, 2, 3, 4},
       "BIRDFILE: Block parsing mismatch in number of blocks. (1 != 2)\n", 1},
      {"length past end", {0, 0, 0, 1, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 1, 2, 3, 4},
       "BIRDFILE: Block parsing mismatch in data size.", 0},
      {"no room for checksum", {0, 0, 0, 1, 1, 0, 0, 0, 2, 0xAA, 0xBB, 1, 2},
       "BIRDFILE: Block parsing mismatch in data size. (2 bytes remaining)\n", 1},
      {"count only", {0, 0, 0, 0}, "BIRDFILE: Block parsing mismatch in data size. (0 bytes", 0},
      {"too short for count", {0, 0}, "BIRDFILE: Block parsing mismatch in data size.", 0},
  };
  for (const Case& c : cases) {
    LogCapture log(DEBUG_BirdFile);
    auto exact = std::make_unique<uint8_t[]>(c.body.size());
    std::memcpy(exact.get(), c.body.data(), c.body.size());
    BirdFile file;
    EXPECT_FALSE(file.ScanBlocks(exact.get(), uint32_t(c.body.size()))) << c.name;
    EXPECT_NE(log.text().find(c.message), std::string::npos) << c.name << "\n" << log.text();
    EXPECT_EQ(file.blocks.size(), c.blocks) << c.name;
    for (const BirdBlock& b : file.blocks) {
      EXPECT_LE(b.data + b.length, exact.get() + c.body.size()) << c.name;
      if (b.length < 4) {
        EXPECT_EQ(b.address, 0u) << c.name;
      }
    }
  }
}

TEST(BirdFileScan, BothMismatchesAreReported) {
  // Count says 5, one block, then trailing bytes.
  bw::Bytes body = {0, 0, 0, 5, 2, 0, 0, 0, 0, 1, 2, 3, 4, 0xEE};
  LogCapture log(DEBUG_BirdFile);
  BirdFile file;
  EXPECT_FALSE(file.ScanBlocks(body.data(), uint32_t(body.size())));
  std::string text = log.text();
  EXPECT_NE(text.find("mismatch in data size"), std::string::npos) << text;
  EXPECT_NE(text.find("mismatch in number of blocks"), std::string::npos) << text;
}

TEST(BirdFileLoad, BrokenFilesDoNotLoad) {
  qmtest::TempDir dir;
  struct Case {
    bw::Fault fault;
    const char* logged;
  } cases[] = {
      {bw::Fault::BadSignature, "BIRDFILE: Error - not a bird file"},
      {bw::Fault::ZeroVersion, "BIRDFILE: Error - not a bird file"},
      {bw::Fault::TruncatedBody, "decompressing bird file"},
      {bw::Fault::CountMismatch, "BIRDFILE: Block parsing mismatch in number of blocks. (3 != 4)"},
      {bw::Fault::TrailingBytes, "BIRDFILE: Block parsing mismatch"},
      {bw::Fault::OverInflate, "BIRDFILE: Error (-5) decompressing bird file.\n"},
      {bw::Fault::BlockOverrun, "BIRDFILE: Block parsing mismatch in data size."},
  };
  for (const Case& c : cases) {
    bw::Release release;
    release.fault = c.fault;
    std::string path = put(dir, std::string(bw::faultName(c.fault)) + ".bird", bw::packRelease(release));
    LogCapture log(DEBUG_BirdFile);
    try {
      BirdFile file(path);
      ADD_FAILURE() << bw::faultName(c.fault) << " loaded";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Failed to load bird data");
    }
    EXPECT_NE(log.text().find(c.logged), std::string::npos) << bw::faultName(c.fault) << "\n"
                                                           << log.text();
  }
}

TEST(BirdFileLoad, FileProblemsAreLogged) {
  qmtest::TempDir dir;
  struct Case {
    std::string name;
    bw::Bytes bytes;
    std::string logged;
  } cases[] = {
      {"missing.bird", {}, "BIRDFILE: BIRD file not found ["},
      {"six.bird", asBytes(std::string("bird\x01\x01", 6)), "BIRDFILE: Loading File ["},
      {"junk.bird", asBytes(std::string("bird\x01\x01not zlib at all", 21)),
       "BIRDFILE: Error (-3) decompressing bird file.\n"},
  };
  for (const Case& c : cases) {
    std::string path = dir.file(c.name);
    if (c.name != "missing.bird") put(dir, c.name, c.bytes);
    LogCapture log(DEBUG_BirdFile);
    BirdFile file;
    file.path = path;
    EXPECT_FALSE(file.Load()) << c.name;
    EXPECT_NE(log.text().find(c.logged), std::string::npos) << c.name << "\n" << log.text();
  }
  // A directory is not a BIRD file.
  BirdFile file;
  file.path = dir.path();
  EXPECT_FALSE(file.Load());
}

TEST(BirdFileLoad, DefaultObjectIsEmpty) {
  BirdFile file;
  EXPECT_TRUE(file.blocks.empty());
  EXPECT_EQ(file.block_count, 0u);
  EXPECT_EQ(file.body_size, 0u);
  EXPECT_FALSE(file.has_serial_offsets);
  EXPECT_EQ(file.GetVersion(), "");
  EXPECT_EQ(file.GetBuild(), 0u);
  EXPECT_FALSE(file.ValidateModel("QM-HUB4"));
  EXPECT_FALSE(file.ReplaceSerialNumber(1));
}

TEST(BirdFileLoad, MovedFileKeepsValidBlocks) {
  bw::Release release;
  release.firmware = {{0x4000, bw::patternBytes(2000, 3)}};
  BirdFile source = loaded(bw::makeImage(release));
  const uint8_t* body = source.body.get();
  BirdFile target;
  target = std::move(source);
  EXPECT_TRUE(source.blocks.empty());
  ASSERT_EQ(target.body.get(), body);  // moved, not copied
  auto firmware = target.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(firmware.size(), 1u);
  EXPECT_GE(firmware[0].data, target.body.get());
  EXPECT_LE(firmware[0].data + firmware[0].length, target.body.get() + target.body_size);
  BirdFile constructed(std::move(target));
  EXPECT_EQ(constructed.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0].address, 0x4000u);
  EXPECT_TRUE(constructed.ReplaceSerialNumber(0x11223344));
}

TEST(BirdFileDump, PrintsHexAndTextToStandardOutput) {
  bw::Image image;
  image.blocks = {bw::Block{3, 0, asBytes("Hi!\x01"), std::nullopt},
                  bw::Block{3, 0, bw::Bytes(51, 'x'), std::nullopt}};
  BirdFile file = loaded(image);
  file.path = "f.bird";
  testing::internal::CaptureStdout();
  EXPECT_TRUE(file.DumpBlocks(BirdFile::BLOCK_TYPE(3)));
  std::string out = testing::internal::GetCapturedStdout();
  std::string row;
  for (int i = 0; i < 50; ++i) row += "78 ";
  EXPECT_EQ(out, "BIRDFILE: BLOCK DUMP [f.bird]\n"
                 " \r\n000000: 48 69 21 01  Hi! \n"
                 " \r\n000000: " + row + " " + std::string(50, 'x') + "\r\n000050: 78  x\n"
                 "\n");
}

TEST(BirdFileValidateData, FindsEveryMatchButNotAtTheVeryEnd) {
  bw::Image image;
  image.blocks = {bw::firmwareBlock(0, {0xCA, 0xFE, 0x00, 0xCA, 0xFE, 0x11, 0xCA, 0xFE})};
  BirdFile file = loaded(image);
  const uint8_t pattern[] = {0xCA, 0xFE};
  LogCapture log(DEBUG_BirdFile);
  EXPECT_TRUE(file.ValidateData(pattern, 2));
  std::string text = log.text();
  EXPECT_NE(text.find("Found data at 4\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Found data at 7\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("Found data at 10\n"), std::string::npos) << text;  // ends at the end
  const uint8_t tail[] = {0x11, 0xCA, 0xFE};
  EXPECT_FALSE(file.ValidateData(tail, 3));
  const uint8_t longer[20] = {};
  EXPECT_FALSE(file.ValidateData(longer, sizeof longer));
}

// --- identity and personalisation ---

BirdFile withInfo(const std::string& build, const std::string& version,
                  const std::string& serial, const std::string& model) {
  bw::Image image;
  image.blocks = {bw::infoBlock(build, version, serial, model), bw::firmwareBlock(0, {1, 2})};
  return loaded(image);
}

TEST(BirdFileInfo, FieldsAreParsedLikeTheDeviceTools) {
  struct Case {
    std::string build, version, serial;
    uint32_t wantBuild;
    std::string wantVersion;
    uint32_t wantSerial;
  } cases[] = {
      {"1234", "2.10.3", "0012ABCD", 1234, "2.10.3", 0x0012ABCD},
      {"", "", "", 0, "", 0},
      {"77abc", "1.2 beta", "DEADBEEF", 77, "1.2", 0xDEADBEEF},
      // Only 15 build and version characters count; 8 serial digits.
      {"1234567890123456", "123456789012345X", "123456789", uint32_t(123456789012345ull),
       "123456789012345", 0x12345678},
  };
  for (const Case& c : cases) {
    BirdFile file = withInfo(c.build, c.version, c.serial, "M");
    EXPECT_EQ(file.GetBuild(), c.wantBuild) << c.build;
    EXPECT_EQ(file.GetVersion(), c.wantVersion) << c.version;
    EXPECT_EQ(file.GetSerialNumber(), c.wantSerial) << c.serial;
    EXPECT_TRUE(file.ValidateSerialNumber(c.wantSerial));
    EXPECT_FALSE(file.ValidateSerialNumber(c.wantSerial + 1));
  }
}

TEST(BirdFileInfo, OnlyTheFirstInfoBlockCountsAndShortOnesAreIgnored) {
  bw::Image image;
  image.blocks = {bw::infoBlock("1", "1.0", "00000001", "FIRST"),
                  bw::infoBlock("2", "2.0", "00000002", "SECOND")};
  BirdFile file = loaded(image);
  EXPECT_EQ(file.GetBuild(), 1u);
  EXPECT_TRUE(file.ValidateModel("FIRST"));
  EXPECT_FALSE(file.ValidateModel("SECOND"));

  bw::Image shortInfo;
  shortInfo.blocks = {bw::Block{bw::INFO, 0, asBytes("42              1.0"), std::nullopt}};
  BirdFile partial = loaded(shortInfo);
  EXPECT_EQ(partial.GetBuild(), 42u);  // wholly present field
  EXPECT_EQ(partial.GetVersion(), "");  // cut short
  EXPECT_EQ(partial.GetSerialNumber(), 0u);
  EXPECT_FALSE(partial.ValidateModel("1.0"));
}

TEST(BirdFileInfo, ModelMatchesByPrefixOfTheTrimmedField) {
  BirdFile file = withInfo("1", "1", "0", "ABC1");
  struct Case {
    const char* name;
    bool match;
  } cases[] = {{"ABC1", true}, {"AB", true}, {"ABC12", false}, {"abc1", false},
               {"ABC1 ", false}, {"", false}};
  for (const Case& c : cases) EXPECT_EQ(file.ValidateModel(c.name), c.match) << c.name;

  LogCapture log(DEBUG_BirdFile);
  file.ValidateModel("AB");
  EXPECT_EQ(log.text(), "Model matches model number ([ABC1] == [AB])\n");
}

// A firmware image at 0x1000 of 256 bytes with a known word at 0x10F8.
bw::Bytes image256() {
  bw::Bytes image = bw::patternBytes(256, 4);
  image[0xF8] = 0x78;
  image[0xF9] = 0x56;
  image[0xFA] = 0x34;
  image[0xFB] = 0x12;
  return image;
}

BirdFile generic(std::vector<bw::Block> firmware, uint32_t serialAt, uint32_t textAt) {
  bw::Image image;
  image.blocks = {bw::serialOffsetsBlock(serialAt, textAt)};
  for (auto& b : firmware) image.blocks.push_back(b);
  return loaded(image);
}

TEST(BirdFileSerial, WordIsReplacedOnlyWhenWhollyInsideAnImage) {
  bw::Bytes original = image256();
  {
    BirdFile file = generic({bw::firmwareBlock(0x1000, original)}, 0x10F8, 0);
    ASSERT_TRUE(file.has_serial_offsets);
    LogCapture log(DEBUG_BirdFile);
    EXPECT_TRUE(file.ReplaceSerialNumber(0xCAFE0001));
    EXPECT_EQ(log.text(), "BIRDFILE: updating serial number from 12345678 ==> CAFE0001\n");
    BirdBlock b = file.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0];
    EXPECT_EQ(b.length, 0x104u);
    bw::Bytes want = original;
    want[0xF8] = 0x01, want[0xF9] = 0x00, want[0xFA] = 0xFE, want[0xFB] = 0xCA;
    EXPECT_EQ(bw::Bytes(b.data + 4, b.data + b.length), want);
  }
  for (uint32_t at : {0x10FDu, 0x0FFEu, 0x2000u}) {
    // Crossing the end or the start, or outside: nothing is written, and
    // the image is not personalised, so that is a failure.
    BirdFile file = generic({bw::firmwareBlock(0x1000, original)}, at, 0);
    EXPECT_FALSE(file.ReplaceSerialNumber(0xCAFE0001)) << std::hex << at;
    BirdBlock b = file.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0];
    EXPECT_EQ(bw::Bytes(b.data + 4, b.data + b.length), original) << std::hex << at;
  }
  {
    BirdFile file = generic({bw::firmwareBlock(0x1000, original)}, 0x10FC, 0);  // last fitting word
    EXPECT_TRUE(file.ReplaceSerialNumber(0xA0B0C0D0));
    BirdBlock b = file.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0];
    EXPECT_EQ(b.data[b.length - 1], 0xA0);
  }
}

TEST(BirdFileSerial, OnlyTheBlockHoldingTheWordChanges) {
  bw::Bytes first = bw::patternBytes(64, 1), second = bw::patternBytes(64, 2);
  BirdFile file = generic({bw::firmwareBlock(0x0, first), bw::firmwareBlock(0x100, second)},
                          0x110, 0);
  ASSERT_TRUE(file.ReplaceSerialNumber(0x01020304));
  auto blocks = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  EXPECT_EQ(bw::Bytes(blocks[0].data + 4, blocks[0].data + blocks[0].length), first);
  bw::Bytes want = second;
  want[0x10] = 4, want[0x11] = 3, want[0x12] = 2, want[0x13] = 1;
  EXPECT_EQ(bw::Bytes(blocks[1].data + 4, blocks[1].data + blocks[1].length), want);
}

TEST(BirdFileSerial, DescriptorTextGetsTheDigits) {
  bw::Bytes image(64, 0x55);
  const uint8_t text[16] = {0x30, 0, 0x31, 0, 0x32, 0, 0x33, 0, 0x34, 0, 0x35, 0, 0x36, 0, 0x37, 0};
  std::memcpy(&image[0x20], text, 16);
  BirdFile file = generic({bw::firmwareBlock(0x8000, image)}, 0, 0x8020);
  EXPECT_TRUE(file.ReplaceSerialNumber(0xCAFE0001));
  BirdBlock b = file.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0];
  const uint8_t want[16] = {0x43, 0, 0x41, 0, 0x46, 0, 0x45, 0, 0x30, 0, 0x30, 0, 0x30, 0, 0x31, 0};
  EXPECT_EQ(0, std::memcmp(b.data + 4 + 0x20, want, 16));
  EXPECT_EQ(b.data[4 + 0x1F], 0x55);
  EXPECT_EQ(b.data[4 + 0x30], 0x55);

  // The bytes between the digits are left alone.
  image.assign(64, 0x77);
  BirdFile odd = generic({bw::firmwareBlock(0x8000, image)}, 0, 0x8030);  // exactly at the end
  EXPECT_TRUE(odd.ReplaceSerialNumber(0x0000ABCD));
  BirdBlock o = odd.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0];
  EXPECT_EQ(o.data[4 + 0x30], '0');
  EXPECT_EQ(o.data[4 + 0x31], 0x77);
  EXPECT_EQ(o.data[4 + 0x3E], 'D');

  BirdFile past = generic({bw::firmwareBlock(0x8000, image)}, 0, 0x8031);
  EXPECT_FALSE(past.ReplaceSerialNumber(0x0000ABCD));
}

TEST(BirdFileSerial, NothingToPersonaliseIsAFailure) {
  EXPECT_FALSE(generic({bw::firmwareBlock(0, bw::Bytes(64, 0))}, 0, 0).ReplaceSerialNumber(1));
  EXPECT_FALSE(generic({bw::loaderBlock(0, bw::Bytes(64, 0))}, 0x10, 0x20).ReplaceSerialNumber(1));
  // A serial offsets block too short to hold both offsets leaves them 0.
  bw::Image image;
  image.blocks = {bw::Block{bw::SERIAL_OFFSETS, 0, {0, 0, 0, 8}, std::nullopt},
                  bw::firmwareBlock(0, bw::Bytes(64, 0))};
  BirdFile file = loaded(image);
  EXPECT_TRUE(file.has_serial_offsets);
  EXPECT_EQ(file.serial_number_offset, 0u);
  EXPECT_FALSE(file.ReplaceSerialNumber(1));
}

TEST(BirdFileSerial, GenericImageBecomesTheDeviceImage) {
  // The writer's device-specific build for a serial is the oracle for the
  // personalised generic build.
  bw::Release release;
  release.firmware = {{0x10000, bw::patternBytes(3000, 5)}};
  BirdFile file = loaded(bw::makeImage(release));
  ASSERT_TRUE(file.ReplaceSerialNumber(0x40F5849A));
  release.generic = false;
  release.serial = 0x40F5849A;
  BirdFile device = loaded(bw::makeImage(release));
  BirdBlock a = file.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0];
  BirdBlock b = device.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0];
  ASSERT_EQ(a.length, b.length);
  EXPECT_EQ(0, std::memcmp(a.data, b.data, a.length));
  EXPECT_FALSE(device.has_serial_offsets);
  EXPECT_TRUE(device.ValidateSerialNumber(0x40F5849A));
}

TEST(BirdFileVector, ChecksumWordIsTheNegatedSum) {
  bw::Bytes vectors;
  for (uint32_t v : {0x10008000u, 0x101u, 0x103u, 0x105u, 0x107u, 0x109u, 0x10Bu, 0u, 0xEEEEu})
    for (int i = 0; i < 4; ++i) vectors.push_back(uint8_t(v >> (8 * i)));
  bw::Image image;
  image.blocks = {bw::firmwareBlock(0, vectors), bw::firmwareBlock(0x100, vectors)};
  BirdFile file = loaded(image);
  LogCapture log(DEBUG_BirdFile);
  EXPECT_TRUE(file.ReplaceVectorChecksum());
  EXPECT_EQ(log.text(), "BIRDFILE: updating vector checksum from 00000000 ==> EFFF7AE5\n");
  auto blocks = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  const uint8_t want[4] = {0xE5, 0x7A, 0xFF, 0xEF};
  EXPECT_EQ(0, std::memcmp(blocks[0].data + 4 + 28, want, 4));
  EXPECT_EQ(bw::Bytes(blocks[1].data + 4, blocks[1].data + blocks[1].length), vectors);
  // A vector table cut short is left alone.
  bw::Image small;
  small.blocks = {bw::firmwareBlock(0, bw::Bytes(31, 1))};
  BirdFile tiny = loaded(small);
  EXPECT_TRUE(tiny.ReplaceVectorChecksum());
  EXPECT_EQ(tiny.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0].data[4 + 30], 1);
}

TEST(BirdFileDecode, ChainsKeyBytesAndRestartsPerBlock) {
  const uint32_t key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
  const uint8_t k[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  bw::Image image;
  image.blocks = {bw::firmwareBlock(0xAABBCCDD, bw::Bytes(17, 0)), bw::loaderBlock(0, bw::Bytes(8, 0)),
                  bw::firmwareBlock(0x100, bw::Bytes(3, 0))};
  BirdFile file = loaded(image);
  EXPECT_TRUE(file.DecodeFirmwareBlocks(key));
  auto blocks = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  const uint8_t* out = blocks[0].data + 4;
  EXPECT_EQ(blocks[0].data[0], 0xAA);  // address bytes untouched
  EXPECT_EQ(blocks[0].address, 0xAABBCCDDu);
  EXPECT_EQ(out[0], k[0]);
  for (int i = 1; i < 17; ++i) EXPECT_EQ(out[i], k[i % 16] ^ out[i - 1]) << i;
  EXPECT_EQ(out[16], k[0] ^ out[15]);
  const uint8_t* second = blocks[1].data + 4;
  EXPECT_EQ(second[0], k[0]);
  EXPECT_EQ(second[1], k[1] ^ k[0]);
  auto loader = file.FindBlocks(BirdFile::BLOCK_LOADER)[0];
  EXPECT_EQ(bw::Bytes(loader.data + 4, loader.data + loader.length), bw::Bytes(8, 0));
}

TEST(BirdFileDecode, UndoesTheRecoveryScrambling) {
  bw::Release release;
  release.generic = false;
  release.serial = 0x12345678;
  release.firmware = {{0, bw::patternBytes(1500, 11)}, {0x10000, bw::patternBytes(700, 12)}};
  release.scrambleKey = std::array<uint32_t, 4>{0x11111111, 0xA5A5A5A5, 0x0BADF00D, 0x12345678};
  BirdFile file = loaded(bw::makeImage(release));
  const uint32_t key[4] = {0x11111111, 0xA5A5A5A5, 0x0BADF00D, 0x12345678};
  file.DecodeFirmwareBlocks(key);
  release.scrambleKey.reset();
  BirdFile plain = loaded(bw::makeImage(release));
  auto a = file.FindBlocks(BirdFile::BLOCK_FIRMWARE), b = plain.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(a.size(), 2u);
  for (size_t i = 0; i < 2; ++i) EXPECT_EQ(0, std::memcmp(a[i].data, b[i].data, a[i].length)) << i;
}

}  // namespace
