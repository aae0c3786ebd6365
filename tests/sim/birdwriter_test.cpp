// The BIRD writer checked against the file format byte by byte (with zlib
// directly, not through any reader), and the birdtool command.
#include "birdwriter.h"

#include <zlib.h>

#include <gtest/gtest.h>

#include "qm_process.h"

namespace bw = birdwriter;

namespace {

bw::Bytes inflateBody(const bw::Bytes& file) {
  bw::Bytes out(1 << 20);
  uLongf size = out.size();
  EXPECT_EQ(uncompress(out.data(), &size, file.data() + 6, uLong(file.size() - 6)), Z_OK);
  out.resize(size);
  return out;
}

TEST(BirdWriter, FileLayoutIsBigEndianAndCompressed) {
  bw::Image image;
  image.blocks = {bw::firmwareBlock(0x01020304, {0xAA, 0xBB}, 6), bw::loaderEntryBlock(0x20000400)};
  image.checksum = 0xC0FFEE11;
  bw::Bytes file = bw::pack(image);
  ASSERT_GT(file.size(), 6u);
  EXPECT_EQ(bw::Bytes(file.begin(), file.begin() + 6), (bw::Bytes{'b', 'i', 'r', 'd', 0x01, 0x01}));
  bw::Bytes want = {0, 0, 0, 2,                                   // block count
                    0xC1, 0, 0, 0, 6, 1, 2, 3, 4, 0xAA, 0xBB,     // type 1, flags 6
                    0x05, 0, 0, 0, 4, 0x20, 0x00, 0x04, 0x00,     // loader entry
                    0xC0, 0xFF, 0xEE, 0x11};                      // checksum
  EXPECT_EQ(inflateBody(file), want);
  EXPECT_EQ(bw::body(image), want);
}

TEST(BirdWriter, InfoBlockIsFourPaddedFields) {
  bw::Block info = bw::infoBlock(1234, "2.10.3", 0x0012ABCD, "A-VERY-LONG-MODEL-NAME");
  std::string text(info.payload.begin(), info.payload.end());
  EXPECT_EQ(text,
            "1234            2.10.3          0012ABCD        A-VERY-LONG-MODE");
  EXPECT_EQ(info.type, bw::INFO);
}

TEST(BirdWriter, GenericAndDeviceImagesCarryTheSerialWhereTheOffsetsSay) {
  bw::Release release;
  release.firmware = {{0x8000, bw::patternBytes(1024, 2)}};
  bw::Image generic = bw::makeImage(release);
  ASSERT_EQ(generic.blocks.size(), 3u);
  EXPECT_EQ(generic.blocks[1].type, bw::SERIAL_OFFSETS);
  EXPECT_EQ(generic.blocks[1].payload, (bw::Bytes{0, 0, 0x81, 0, 0, 0, 0x81, 0x10}));
  const bw::Bytes& fw = generic.blocks[2].payload;  // 4 address bytes first
  EXPECT_EQ(bw::Bytes(fw.begin() + 4 + 0x100, fw.begin() + 4 + 0x104), (bw::Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(fw[4 + 0x110], 'F');
  EXPECT_EQ(fw[4 + 0x111], 0);

  release.generic = false;
  release.serial = 0x40F5849A;
  bw::Image device = bw::makeImage(release);
  ASSERT_EQ(device.blocks.size(), 2u);  // no serial offsets block
  std::string info(device.blocks[0].payload.begin() + 32, device.blocks[0].payload.begin() + 40);
  EXPECT_EQ(info, "40F5849A");
  const bw::Bytes& dfw = device.blocks[1].payload;
  EXPECT_EQ(bw::Bytes(dfw.begin() + 4 + 0x100, dfw.begin() + 4 + 0x104), (bw::Bytes{0x9A, 0x84, 0xF5, 0x40}));
  std::string digits;
  for (int i = 0; i < 8; ++i) digits += char(dfw[4 + 0x110 + 2 * i]);
  EXPECT_EQ(digits, "40F5849A");
}

TEST(BirdWriter, ScrambleIsTheInverseOfTheChipDecoding) {
  std::array<uint32_t, 4> key{0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
  bw::Bytes plain = bw::patternBytes(100, 3);
  bw::Bytes data = plain;
  bw::scramble(data, key);
  EXPECT_NE(data, plain);
  // Device side: out = in ^ key ^ previous out.
  uint8_t previous = 0;
  for (size_t i = 0; i < data.size(); ++i) {
    uint8_t k = uint8_t(key[(i % 16) / 4] >> (24 - 8 * (i % 4)));
    uint8_t out = uint8_t(data[i] ^ k ^ previous);
    EXPECT_EQ(out, plain[i]) << i;
    previous = out;
  }
  bw::unscramble(data, key);
  EXPECT_EQ(data, plain);
}

TEST(BirdWriter, BrokenImagesBreakTheWayTheyAreNamed) {
  struct Case {
    bw::Fault fault;
    const char* error;
  } cases[] = {
      {bw::Fault::None, ""},
      {bw::Fault::BadSignature, ""},
      {bw::Fault::ZeroVersion, ""},
      {bw::Fault::TruncatedBody, "body ends early"},
      {bw::Fault::CountMismatch, "block count mismatch"},
      {bw::Fault::TrailingBytes, "partial block header"},
      {bw::Fault::OverInflate, ""},
      {bw::Fault::BlockOverrun, "block runs past the end of the body"},
  };
  for (const Case& c : cases) {
    bw::Release release;
    release.fault = c.fault;
    bw::Bytes file = bw::packRelease(release);
    bw::Parsed parsed = bw::parse(file);
    EXPECT_EQ(parsed.error, c.error) << bw::faultName(c.fault);
    EXPECT_EQ(bw::faultFromName(bw::faultName(c.fault)), c.fault);
    switch (c.fault) {
      case bw::Fault::BadSignature:
        EXPECT_EQ(parsed.signature, "brid");
        break;
      case bw::Fault::ZeroVersion:
        EXPECT_EQ(file[5], 0);
        EXPECT_NE(file[4], 0);
        break;
      case bw::Fault::OverInflate: {
        bw::Bytes body = inflateBody(file);
        EXPECT_GT(body.size(), 8 * (file.size() - 6));
        break;
      }
      default:
        break;
    }
  }
}

TEST(Birdtool, PacksAndDescribes) {
  qmtest::TempDir dir;
  std::string out = dir.file("x.bird");
  auto r = qmtest::run({qmtest::binPath("birdtool"), "pack", "-o", out, "--build", "4321", "--version",
                        "1.2.3", "--model", "QM-SW8", "--serial", "40f5849a", "--firmware",
                        "0x10000:2048", "--loader", "0x20000000:256", "--loader-entry", "0x20000400",
                        "--flags", "3"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto info = qmtest::run({qmtest::binPath("birdtool"), "info", out});
  EXPECT_EQ(info.exitCode, 0) << info.err;
  EXPECT_NE(info.out.find("signature: bird\nversion: 0x0101\nblocks: 4 (reported 4)\n"),
            std::string::npos)
      << info.out;
  EXPECT_NE(info.out.find("  build: 4321\n  version: 1.2.3\n  serial: 40F5849A\n  model: QM-SW8\n"),
            std::string::npos)
      << info.out;
  EXPECT_NE(info.out.find("type 0 flags 3 length 260 address 0x20000000"), std::string::npos);
  EXPECT_NE(info.out.find("type 1 flags 3 length 2052 address 0x00010000"), std::string::npos);

  // Firmware from a file, scrambled.
  bw::Bytes image = bw::patternBytes(64, 9);
  ASSERT_TRUE(bw::writeFile(dir.file("fw.bin"), image));
  r = qmtest::run({qmtest::binPath("birdtool"), "pack", "-o", out, "--firmware",
                   "0:@" + dir.file("fw.bin"), "--scramble", "1,2,3,4"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  bw::Bytes file;
  ASSERT_TRUE(bw::readFile(out, file));
  bw::Parsed parsed = bw::parse(file);
  ASSERT_EQ(parsed.blocks.size(), 3u);
  bw::Bytes fw(parsed.blocks[2].payload.begin() + 4, parsed.blocks[2].payload.end());
  bw::unscramble(fw, {1, 2, 3, 4});
  bw::putSerial(image, 0x100, 0x110, 0xFFFFFFFF);  // outside a 64-byte image: unchanged
  EXPECT_EQ(fw, image);
}

TEST(Birdtool, RejectsBadArgumentsAndReportsBrokenFiles) {
  qmtest::TempDir dir;
  std::string out = dir.file("x.bird");
  for (std::vector<std::string> args :
       {std::vector<std::string>{"pack"}, {"pack", "-o", out, "--fault", "nonsense"},
        {"pack", "-o", out, "--firmware", "zz"}, {"pack", "-o", out, "--flags", "8"},
        {"pack", "-o", out, "--scramble", "1,2,3"}, {"frobnicate"}}) {
    args.insert(args.begin(), qmtest::binPath("birdtool"));
    auto r = qmtest::run(args);
    EXPECT_EQ(r.exitCode, 2) << args[1];
  }
  auto r = qmtest::run({qmtest::binPath("birdtool"), "pack", "-o", out, "--fault", "block-overrun"});
  ASSERT_EQ(r.exitCode, 0);
  auto info = qmtest::run({qmtest::binPath("birdtool"), "info", out});
  EXPECT_EQ(info.exitCode, 1);
  EXPECT_NE(info.out.find("error: block runs past the end of the body\n"), std::string::npos);
}

}  // namespace
