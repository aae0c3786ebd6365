#include "aVersion.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

TEST(aVersion, Pack) {
  struct Case {
    uint8_t major, minor, patch;
    uint32_t packed;
  };
  for (const Case& c : {Case{2, 15, 3, 0x2F020F03}, Case{2, 14, 3, 0x2E000003},
                        Case{1, 4, 7, 0x14000007}, Case{3, 0, 0, 0x2F030000},
                        Case{0, 0, 0, 0x00000000}, Case{255, 255, 255, 0x2FFFFFFF}}) {
    EXPECT_EQ(aVersion_Pack(c.major, c.minor, c.patch), c.packed)
        << int(c.major) << "." << int(c.minor) << "." << int(c.patch);
  }
}

TEST(aVersion, Parse) {
  struct Case {
    uint32_t value;
    bool legacy;
    int major, minor;
    uint32_t patch;
    const char* text;
  };
  for (const Case& c : {Case{0x2F020F03, false, 2, 15, 3, "2.15.3"},
                        Case{0x21000102, true, 2, 1, 258, "2.1.258"},
                        Case{0x2E000003, true, 2, 14, 3, "2.14.3"},
                        Case{0x14000007, true, 1, 4, 7, "1.4.7"},
                        Case{0x2F0A0B0C, false, 10, 11, 12, "10.11.12"},
                        Case{0x3F010203, false, 1, 2, 3, "1.2.3"}}) {
    EXPECT_EQ(aVersion_IsLegacyFormat(c.value), c.legacy) << std::hex << c.value;
    EXPECT_EQ(aVersion_ParseMajor(c.value), c.major) << std::hex << c.value;
    EXPECT_EQ(aVersion_ParseMinor(c.value), c.minor) << std::hex << c.value;
    EXPECT_EQ(aVersion_ParsePatch(c.value), c.patch) << std::hex << c.value;
    char buffer[32];
    ASSERT_EQ(aVersion_ParseString(c.value, buffer, sizeof buffer), aErrNone);
    EXPECT_STREQ(buffer, c.text);
  }
}

TEST(aVersion, PackParseRoundTrip) {
  for (int major = 0; major < 16; ++major)
    for (int minor = 0; minor < 16; ++minor) {
      const uint32_t packed = aVersion_Pack(major, minor, 200);
      EXPECT_EQ(aVersion_ParseMajor(packed), major);
      EXPECT_EQ(aVersion_ParseMinor(packed), minor);
      EXPECT_EQ(aVersion_ParsePatch(packed), 200u);
    }
}

TEST(aVersion, ParseStringTruncates) {
  char buffer[4] = {'x', 'x', 'x', 'x'};
  ASSERT_EQ(aVersion_ParseString(0x2F020F03, buffer, sizeof buffer), aErrNone);
  EXPECT_STREQ(buffer, "2.1");
  EXPECT_EQ(aVersion_ParseString(0x2F020F03, nullptr, 8), aErrParam);
  EXPECT_EQ(aVersion_ParseString(0x2F020F03, buffer, 0), aErrParam);
}

TEST(aVersion, IsAtLeastCompare) {
  struct Case {
    uint8_t a[3], b[3];
    bool atLeast;
  };
  for (const Case& c : {Case{{2, 12, 1}, {2, 12, 1}, true}, Case{{2, 12, 1}, {2, 13, 0}, false},
                        Case{{2, 12, 1}, {2, 12, 2}, false}, Case{{2, 12, 1}, {2, 11, 255}, true},
                        Case{{3, 0, 0}, {2, 255, 255}, true}, Case{{1, 255, 255}, {2, 0, 0}, false},
                        Case{{200, 0, 0}, {100, 0, 0}, true}}) {
    EXPECT_EQ(aVersion_IsAtLeastCompare(c.a[0], c.a[1], c.a[2], c.b[0], c.b[1], c.b[2]), c.atLeast)
        << int(c.a[0]) << "." << int(c.a[1]) << "." << int(c.a[2]) << " vs " << int(c.b[0])
        << "." << int(c.b[1]) << "." << int(c.b[2]);
  }
}

TEST(aVersion, LibraryVersion) {
  EXPECT_EQ(aVersion_GetMajor(), 2);
  EXPECT_EQ(aVersion_GetMinor(), 12);
  EXPECT_EQ(aVersion_GetPatch(), 1);
  EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 1));
  EXPECT_TRUE(aVersion_IsAtLeast(2, 10, 4));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 2));
  EXPECT_STREQ(aVersion_GetString(), "2.12.1");
  EXPECT_EQ(aVersion_GetString(), aVersion_GetString());
}

// First calls from several threads all see the finished text.
TEST(aVersion, StringFromManyThreads) {
  std::vector<std::string> seen(4);
  std::vector<std::thread> threads;
  for (auto& text : seen) threads.emplace_back([&text] { text = aVersion_GetString(); });
  for (auto& thread : threads) thread.join();
  for (const auto& text : seen) EXPECT_EQ(text, "2.12.1");
}

TEST(aVersion, Features) {
  EXPECT_TRUE(aVersion_HasFeature("VERSION"));
  EXPECT_FALSE(aVersion_HasFeature("version"));
  EXPECT_FALSE(aVersion_HasFeature(""));
  EXPECT_FALSE(aVersion_HasFeature(nullptr));

  char* list = aVersion_GetFeatureList();
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list, "VERSION - Version Query API");
  EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrNone);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrParam);
  EXPECT_EQ(aVersion_DestroyFeatureList(nullptr), aErrParam);
}

}  // namespace
