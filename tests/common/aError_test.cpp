#include "aError.h"

#include <gtest/gtest.h>

#include <string>

TEST(aError, TextsOfKnownCodes) {
  EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
  EXPECT_STREQ(aError_GetErrorDescription(aErrNone), "Success, no error");
  EXPECT_STREQ(aError_GetErrorText(aErrTimeout), "aErrTimeout");
  EXPECT_STREQ(aError_GetErrorDescription(aErrShortCommand), "Quillomat command to short");
  EXPECT_STREQ(aError_GetErrorText(aErrUnknown), "aErrUnknown");
}

TEST(aError, EveryCodeHasBothTexts) {
  for (aErr code = aErrNone; code <= aErrUnknown; ++code) {
    EXPECT_EQ(std::string(aError_GetErrorText(code)).rfind("aErr", 0), 0u) << code;
    EXPECT_GT(std::string(aError_GetErrorDescription(code)).size(), 0u) << code;
  }
}

TEST(aError, OutOfRangeCodesReadAsUnknown) {
  for (aErr code : {35, 200, -1, INT32_MIN}) {
    EXPECT_STREQ(aError_GetErrorText(code), "aErrUnknown") << code;
    EXPECT_STREQ(aError_GetErrorDescription(code), "Unknown error") << code;
  }
}
