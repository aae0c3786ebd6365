#include "base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<char, FreeDeleter>;

std::string Encode(const std::string& data) {
  size_t length = 123;
  Buffer out(base64_encode(data.data(), data.size(), &length));
  EXPECT_NE(out, nullptr);
  if (!out) return {};
  EXPECT_EQ(out.get()[length], '\0');
  return std::string(out.get(), length);
}

TEST(Base64, EncodesWithPadding) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"", ""},       {"a", "YQ=="},     {"ab", "YWI="}, {"abc", "YWJj"},
      {"abcd", "YWJjZA=="}, {std::string("\0\xff\xfe", 3), "AP/+"},
  };
  for (const auto& c : cases) EXPECT_EQ(Encode(c.in), c.out) << c.out;
}

TEST(Base64, DecodeGivesBytesAndTrailingZero) {
  size_t length = 0;
  Buffer out(base64_decode("YWI=", 4, &length));
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(std::string(out.get(), 2), "ab");
  EXPECT_EQ(out.get()[2], '\0');
}

TEST(Base64, RoundTripsEveryByteValueAndLength) {
  std::string data;
  for (int i = 0; i < 256 * 3 + 2; ++i) data.push_back(static_cast<char>((i * 37) & 0xFF));
  for (size_t n = 0; n <= data.size(); n += 7) {
    const std::string part = data.substr(0, n);
    const std::string text = Encode(part);
    size_t length = 0;
    Buffer out(base64_decode(text.data(), text.size(), &length));
    ASSERT_NE(out, nullptr) << n;
    ASSERT_EQ(std::string(out.get(), length), part) << n;
  }
}

TEST(Base64, RejectsBadInput) {
  // Length not a multiple of four, and characters outside the alphabet
  // (including high bytes that are negative as plain char).
  const std::string bad[] = {"YWJjZ", "YWI", "YW J", "YW\nJ", std::string("YW\0j", 4), "YW\xffj", "YW\x80j",
                             "YWJj-A==", "YWJj_A=="};
  for (const auto& text : bad) {
    size_t length = 99;
    Buffer out(base64_decode(text.data(), text.size(), &length));
    EXPECT_EQ(out, nullptr) << text;
  }
}

TEST(Base64, EmptyTextDecodesToEmptyOutput) {
  size_t length = 99;
  Buffer out(base64_decode("", 0, &length));
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(out.get()[0], '\0');
}

TEST(Base64, PadInsideGroupCountsAsZero) {
  size_t length = 0;
  Buffer out(base64_decode("Y=Jj", 4, &length));
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(static_cast<unsigned char>(out.get()[0]), 0x60);
}

}  // namespace
