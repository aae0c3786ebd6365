// birdtool: command-line front of birdwriter.
//   birdtool pack -o FILE [options]   writes a BIRD file
//   birdtool info FILE                prints its header, blocks and info fields
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "birdwriter.h"

namespace {

const char* kUsage =
    "usage: birdtool pack -o FILE [options]\n"
    "       birdtool info FILE\n"
    "pack options:\n"
    "  --model NAME            model name (default QM-HUB4)\n"
    "  --version TEXT          version text (default 1.0.0)\n"
    "  --build N               build number (default 1000)\n"
    "  --serial HEX            make a device-specific image for this serial number\n"
    "  --generic               make a generic image with serial offsets (default)\n"
    "  --firmware ADDR:SIZE    firmware image of SIZE filler bytes at ADDR (repeatable)\n"
    "  --firmware ADDR:@PATH   firmware image read from PATH\n"
    "  --loader ADDR:SIZE|@PATH  boot-loader image (repeatable)\n"
    "  --loader-entry ADDR     loader start address block\n"
    "  --serial-address ADDR   device address of the serial word\n"
    "  --descriptor-address ADDR  device address of the USB descriptor text\n"
    "  --placeholder HEX       serial held by a generic image (default FFFFFFFF)\n"
    "  --flags N               flags (0-7) of loader and firmware blocks\n"
    "  --scramble K0,K1,K2,K3  scramble firmware images with a chip key (hex words)\n"
    "  --fault NAME            bad-signature, zero-version, truncated, count-mismatch,\n"
    "                          trailing-bytes, over-inflate, block-overrun\n";

bool parseNumber(const char* text, uint32_t& value, int base = 0) {
  if (!text || !*text) return false;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, base);
  if (*end != '\0' || v > 0xFFFFFFFFull) return false;
  value = uint32_t(v);
  return true;
}

bool parseRegion(const char* text, birdwriter::Region& region) {
  std::string s = text;
  size_t colon = s.find(':');
  if (colon == std::string::npos) return false;
  if (!parseNumber(s.substr(0, colon).c_str(), region.address)) return false;
  std::string rest = s.substr(colon + 1);
  if (!rest.empty() && rest[0] == '@') return birdwriter::readFile(rest.substr(1), region.image);
  uint32_t size = 0;
  if (!parseNumber(rest.c_str(), size)) return false;
  region.image = birdwriter::patternBytes(size, region.address ^ size);
  return true;
}

int fail(const char* what, const char* arg) {
  std::fprintf(stderr, "birdtool: %s%s%s\n", what, arg ? ": " : "", arg ? arg : "");
  return 2;
}

int pack(int argc, char** argv) {
  birdwriter::Release release;
  const char* output = nullptr;
  for (int i = 0; i < argc; ++i) {
    std::string opt = argv[i];
    bool flag = opt == "--generic";
    if (!flag && i + 1 >= argc) return fail("missing value for", argv[i]);
    const char* value = flag ? nullptr : argv[++i];
    uint32_t n = 0;
    if (opt == "-o") {
      output = value;
    } else if (opt == "--model") {
      release.model = value;
    } else if (opt == "--version") {
      release.version = value;
    } else if (opt == "--build") {
      if (!parseNumber(value, release.build, 10)) return fail("bad build", value);
    } else if (opt == "--serial") {
      if (!parseNumber(value, release.serial, 16)) return fail("bad serial", value);
      release.generic = false;
    } else if (opt == "--generic") {
      release.generic = true;
    } else if (opt == "--firmware" || opt == "--loader") {
      birdwriter::Region region;
      if (!parseRegion(value, region)) return fail("bad region", value);
      (opt == "--firmware" ? release.firmware : release.loaders).push_back(region);
    } else if (opt == "--loader-entry") {
      if (!parseNumber(value, n)) return fail("bad address", value);
      release.loaderEntry = n;
    } else if (opt == "--serial-address") {
      if (!parseNumber(value, n)) return fail("bad address", value);
      release.serialAddress = n;
    } else if (opt == "--descriptor-address") {
      if (!parseNumber(value, n)) return fail("bad address", value);
      release.descriptorAddress = n;
    } else if (opt == "--placeholder") {
      if (!parseNumber(value, release.placeholderSerial, 16)) return fail("bad serial", value);
    } else if (opt == "--flags") {
      if (!parseNumber(value, n) || n > 7) return fail("bad flags", value);
      release.flags = uint8_t(n);
    } else if (opt == "--scramble") {
      std::array<uint32_t, 4> key{};
      std::string s = value;
      size_t pos = 0;
      for (size_t k = 0; k < 4; ++k) {
        size_t comma = s.find(',', pos);
        std::string word = s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        if (!parseNumber(word.c_str(), key[k], 16) || (k < 3 && comma == std::string::npos) ||
            (k == 3 && comma != std::string::npos))
          return fail("bad key", value);
        pos = comma + 1;
      }
      release.scrambleKey = key;
    } else if (opt == "--fault") {
      auto fault = birdwriter::faultFromName(value);
      if (!fault) return fail("unknown fault", value);
      release.fault = *fault;
    } else {
      return fail("unknown option", argv[i - 1]);
    }
  }
  if (!output) return fail("pack needs -o FILE", nullptr);
  birdwriter::Bytes file = birdwriter::packRelease(release);
  if (file.empty() || !birdwriter::writeFile(output, file)) return fail("cannot write", output);
  return 0;
}

int info(const char* path) {
  birdwriter::Bytes file;
  if (!birdwriter::readFile(path, file)) return fail("cannot read", path);
  birdwriter::Parsed parsed = birdwriter::parse(file);
  std::fputs(birdwriter::describe(parsed).c_str(), stdout);
  return parsed.error.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "pack") == 0) return pack(argc - 2, argv + 2);
  if (argc == 3 && std::strcmp(argv[1], "info") == 0) return info(argv[2]);
  std::fputs(kUsage, argc >= 2 && std::strcmp(argv[1], "--help") == 0 ? stdout : stderr);
  return argc >= 2 && std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
}
