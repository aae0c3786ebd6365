#include "Updater.h"

#include <gtest/gtest.h>

#include <string>

#include "UpdaterStore.h"
#include "qm_process.h"
#include "qm_recording_display.h"

namespace {

TEST(UpdaterObject, StoreThatIsAFileIsReportedOnceWithTheCaller) {
  qmtest::TempDir dir;
  std::string file = dir.file("store");
  qmtest::writeFile(file, "x");
  qmtest::RecordingDisplay display;
  EXPECT_EQ(_createUpdaterStore(display, file, "Download_Firmware"), nullptr);
  EXPECT_EQ(display.errors(),
            std::vector<std::string>{"Failed to Create UpdaterStore in: Download_Firmware - "
                                     "Exception: UpdaterStore: " +
                                     file + " exists and is a file"});
}

TEST(UpdaterObject, StoreIsCreatedWithItsParents) {
  qmtest::TempDir dir;
  qmtest::RecordingDisplay display;
  auto store = _createUpdaterStore(display, dir.file("a/b/updater"), "Update_Firmware");
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->BasePath(), dir.file("a/b/updater"));
  EXPECT_TRUE(display.lines.empty());
}

TEST(UpdaterObject, LocalBuildListOfAnUnusableStoreIsEmpty) {
  qmtest::TempDir dir;
  std::string file = dir.file("store");
  qmtest::writeFile(file, "x");
  qmtest::RecordingDisplay display;
  Updater updater("http://127.0.0.1:1/cgi/u", file.c_str(), display);
  EXPECT_TRUE(updater.Get_BuildListLocal(0x1234ABCD).empty());
  ASSERT_EQ(display.errors().size(), 1u);
  EXPECT_EQ(display.errors()[0].rfind("Failed to Create UpdaterStore in: Get_BuildListLocal - ", 0),
            0u);
}

}  // namespace
