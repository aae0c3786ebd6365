#include "aDefs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

const std::vector<int> kKnownModels = {4, 5, 13, 14, 15, 16, 17, 18, 19,
                                       20, 21, 22, 23, 24, 25, 26, 27};

// Firmware images carry the model name in a 16-byte field and match it by
// prefix, so names must fit and must not be prefixes of one another.
TEST(aDefs, KnownModelNames) {
  std::set<std::string> names;
  for (int model : kKnownModels) {
    const std::string name = aDefs_GetModelName(static_cast<uint8_t>(model));
    EXPECT_NE(name, "Unknown") << model;
    EXPECT_FALSE(name.empty()) << model;
    EXPECT_LE(name.size(), 15u) << model;
    EXPECT_NE(name.back(), ' ') << model;
    names.insert(name);
  }
  EXPECT_EQ(names.size(), kKnownModels.size());
  for (const auto& a : names)
    for (const auto& b : names)
      if (a != b) {
        EXPECT_NE(b.rfind(a, 0), 0u) << a << " is a prefix of " << b;
      }
}

TEST(aDefs, OtherCodesAreUnknown) {
  const std::set<int> known(kKnownModels.begin(), kKnownModels.end());
  for (int model = 0; model < 256; ++model)
    if (!known.count(model)) {
      EXPECT_STREQ(aDefs_GetModelName(static_cast<uint8_t>(model)), "Unknown") << model;
    }
}

TEST(aDefs, DebugSwitchesStartOff) {
  EXPECT_EQ(aQuillomatDebuggingEnable, 0);
  EXPECT_EQ(aQuillomatDebuggingLevel, 0u);
  EXPECT_FALSE(aDefs_DebugEnabled(aDEBUG_LINK));
}

class aDefsDebug : public ::testing::Test {
 protected:
  void TearDown() override {
    aQuillomatDebuggingEnable = 0;
    aQuillomatDebuggingLevel = 0;
  }
  static std::string sPrint(uint32_t bit) {
    ::testing::internal::CaptureStdout();
    aDefs_DebugPrintf(bit, "line %d %s\n", 7, "x");
    return ::testing::internal::GetCapturedStdout();
  }
};

TEST_F(aDefsDebug, PrintsOnlyWhenEnabledAndBitSet) {
  struct Case {
    uint8_t enable;
    uint32_t level;
    uint32_t bit;
    bool printed;
  };
  for (const Case& c : {Case{0, 0xFFFFFFFF, aDEBUG_LINK, false},
                        Case{1, 0, aDEBUG_LINK, false},
                        Case{1, aDEBUG_PACKET, aDEBUG_LINK, false},
                        Case{1, aDEBUG_LINK | aDEBUG_USBDRIVER, aDEBUG_USBDRIVER, true},
                        Case{1, aDEBUG_BEACON, aDEBUG_BEACON, true},
                        Case{5, 0xFFFFFFFF, aDEBUG_SERVER, true}}) {
    aQuillomatDebuggingEnable = c.enable;
    aQuillomatDebuggingLevel = c.level;
    EXPECT_EQ(aDefs_DebugEnabled(c.bit), c.printed) << int(c.enable) << " " << c.level;
    EXPECT_EQ(sPrint(c.bit), c.printed ? "line 7 x\n" : "") << int(c.enable) << " " << c.level;
  }
}

}  // namespace
