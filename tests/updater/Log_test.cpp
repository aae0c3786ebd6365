#include "Log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// Points the log at a temporary file and returns what was written to it.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    Log::DeactivatePackage(0xFFFFFFFFu);
    Log::SetOutput(file);
  }
  void TearDown() override {
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(0xFFFFFFFFu);
    std::fclose(file);
  }
  std::string written() {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    return text;
  }
  FILE* file = nullptr;
};

TEST_F(LogTest, WritesOnlyActivePackagesAndPackageZero) {
  struct Case {
    uint32_t active;
    uint32_t package;
    bool written;
  };
  const Case cases[] = {
      {0, 0, true},                                  // package 0: always
      {0, DEBUG_Updater, false},                     // nothing active
      {DEBUG_ServerComm, DEBUG_ServerComm, true},    // -X 0x20
      {DEBUG_ServerComm, DEBUG_Updater, false},
      {DEBUG_Updater | DEBUG_NXPSerial, DEBUG_NXPSerial, true},
      {DEBUG_Network, DEBUG_Updater | DEBUG_Network, true},  // a mask: either bit
      {DEBUG_APP, DEBUG_Updater | DEBUG_Network, false},
  };
  for (const Case& c : cases) {
    Log::DeactivatePackage(0xFFFFFFFFu);
    Log::ActivatePackage(c.active);
    long before = std::ftell(file);
    Log::log(c.package, "line %d\n", 7);
    bool grew = std::ftell(file) != before;
    EXPECT_EQ(grew, c.written) << "active " << c.active << " package " << c.package;
  }
}

TEST_F(LogTest, FormatsWithoutAddingANewline) {
  Log::log(0, "a=%d ", 1);
  Log::log(0, "b=%s", "x");
  EXPECT_EQ(written(), "a=1 b=x");
}

TEST_F(LogTest, NullStreamWritesNothing) {
  Log::SetOutput(nullptr);
  Log::log(0, "dropped\n");
  Log::SetOutput(file);
  EXPECT_EQ(written(), "");
}

TEST_F(LogTest, LongTextIsCutTo2047Characters) {
  std::string text(3000, 'x');
  Log::log(0, "%s", text.c_str());
  EXPECT_EQ(written(), std::string(2047, 'x'));
}

TEST_F(LogTest, DeactivateClearsOnlyTheGivenBits) {
  Log::ActivatePackage(DEBUG_Updater | DEBUG_APP);
  Log::DeactivatePackage(DEBUG_Updater);
  EXPECT_EQ(Log::package_bitmask, DEBUG_APP);
}

TEST_F(LogTest, TimestampGoesBeforeTheLineOnTheSameStream) {
  Log::timestamped = true;
  Log::log(0, "a long enough line\n");
  Log::log(0, "short\n");
  Log::timestamped = false;
  std::string text = written();
  // "YYYY:MM:DD:HH:MM:SS | a long enough line\nshort\n"
  ASSERT_EQ(text.size(), 19 + 3 + 19 + 6);
  EXPECT_EQ(text.substr(19, 3), " | ");
  EXPECT_EQ(text.substr(22), "a long enough line\nshort\n");
  EXPECT_EQ(text[4], ':');
}

}  // namespace
