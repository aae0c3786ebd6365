// The updater store: directory creation, device lookup, build listing,
// stored files and BIRD reading.
#include "UpdaterStore.h"

#include <dirent.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <stdexcept>

#include "birdwriter.h"
#include "log_capture.h"
#include "path.h"
#include "qm_process.h"

namespace bw = birdwriter;

namespace {

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::set<std::string> entriesOf(const std::string& dir) {
  std::set<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d ? readdir(d) : nullptr)
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
  if (d) closedir(d);
  return names;
}

std::string thrown(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

TEST(BuildPath, JoinsEveryPartAfterASeparator) {
  EXPECT_EQ(BuildPath("/a", "b", ".settings", nullptr), "/a/b/.settings");
  EXPECT_EQ(BuildPath("a/", "b", nullptr), "a//b");  // nothing merged
  EXPECT_EQ(BuildPath("home", nullptr), "home");
  EXPECT_EQ(BuildPath("", "x", nullptr), "/x");
}

TEST(UpdaterStore, CreatesMissingDirectoriesAndRefusesFiles) {
  qmtest::TempDir dir;
  std::string base = dir.file("a/b/updater");
  {
    LogCapture log(DEBUG_Updater);
    UpdaterStore store(base);
    EXPECT_EQ(store.BasePath(), base);
    EXPECT_TRUE(isDirectory(base));
    EXPECT_EQ(log.text(), "UpdaterStore: Created directory [" + base + "].\n");
  }
  {
    LogCapture log(DEBUG_Updater);
    UpdaterStore again(base);
    EXPECT_EQ(log.text(), "UpdaterStore: [" + base + "] already exists.\n");
  }
  qmtest::writeFile(dir.file("file"), "x");
  EXPECT_EQ(thrown([&] { UpdaterStore s(dir.file("file")); }),
            "UpdaterStore: " + dir.file("file") + " exists and is a file");
  // A parent that is a file can't hold directories.
  EXPECT_EQ(thrown([&] { UpdaterStore s(dir.file("file/sub")); }),
            "UpdaterStore: Could not create directory " + dir.file("file/sub") + " error 12");
}

TEST(UpdaterStore, AddDeviceMakesTheDirectoryAndSettings) {
  qmtest::TempDir dir;
  UpdaterStore store(dir.path());
  UpdaterStoreItem item = store.AddDevice(uint32_t(0x12AB));
  EXPECT_TRUE(item.IsValid());
  EXPECT_FALSE(UpdaterStoreItem().IsValid());
  EXPECT_EQ(UpdaterStoreItem().kind, ITEM_NONE);
  EXPECT_EQ(item.base_path, dir.path());
  EXPECT_EQ(item.name, "000012AB");
  EXPECT_EQ(item.kind, ITEM_DIRECTORY);
  std::string settings = qmtest::readFile(dir.file("000012AB/.settings"));
  EXPECT_EQ(settings.rfind("CREATED_TIME=", 0), 0u) << settings;
  EXPECT_NE(settings.find("\nUPDATED_TIME="), std::string::npos) << settings;

  // The item's settings write back to the device's file.
  item.settings.Add("LATEST_DOWNLOAD", "1234.bird");
  item.settings.Save(nullptr);
  UpdaterStoreItem found;
  ASSERT_TRUE(store.FindDevice(0x12AB, &found));
  EXPECT_EQ(found.settings.GetInt("LATEST_DOWNLOAD", 0), 1234);

  qmtest::writeFile(dir.file("ABCDEF01"), "a file, not a device directory");
  EXPECT_EQ(thrown([&] { store.AddDevice("ABCDEF01"); }),
            "UpdaterStore: " + dir.file("ABCDEF01") + " exists and is a file");
}

TEST(UpdaterStore, FindDeviceMatchesNamesContainingTheSerial) {
  qmtest::TempDir dir;
  UpdaterStore store(dir.path());
  UpdaterStoreItem item;
  LogCapture log(DEBUG_Updater);
  EXPECT_FALSE(store.FindDevice(0x12AB, &item));
  EXPECT_FALSE(item.IsValid());
  EXPECT_NE(log.text().find("UpdaterStore: FindDevice Not Found 000012AB.\n"), std::string::npos);

  ASSERT_EQ(mkdir(dir.file("000012AB-old").c_str(), 0755), 0);
  ASSERT_TRUE(store.FindDevice(0x12AB, &item));
  EXPECT_EQ(item.name, "000012AB-old");
  EXPECT_EQ(item.base_path, dir.path());
  EXPECT_EQ(item.kind, ITEM_DIRECTORY);
  EXPECT_NE(log.text().find("_find_item([" + dir.file("000012AB-old") + "], 1, "),
            std::string::npos);

  // With the device's own directory present, it wins over near matches
  // whatever the listing order.
  store.AddDevice(0x12AB);
  ASSERT_EQ(mkdir(dir.file("x000012ABx").c_str(), 0755), 0);
  ASSERT_TRUE(store.FindDevice("000012AB", &item));
  EXPECT_EQ(item.name, "000012AB");
  EXPECT_TRUE(store.FindDevice("12AB", nullptr));
}

TEST(UpdaterStore, FindLocalBuildsListsVisibleEntries) {
  qmtest::TempDir dir;
  UpdaterStore store(dir.path());
  UpdaterStoreItem device = store.AddDevice(0x40F5849A);
  ASSERT_EQ(device.WriteFile("1234.bird", reinterpret_cast<const uint8_t*>("a"), 1), aErrNone);
  ASSERT_EQ(device.WriteFile("1235.bird", reinterpret_cast<const uint8_t*>("b"), 1), aErrNone);
  ASSERT_EQ(device.WriteFile(".hidden", reinterpret_cast<const uint8_t*>("c"), 1), aErrNone);

  std::vector<UpdaterStoreItem> builds;
  LogCapture log(DEBUG_Updater | DEBUG_Attributes);
  EXPECT_TRUE(store.FindLocalBuilds(0x40F5849A, builds));
  std::vector<std::string> names;
  for (const auto& b : builds) {
    names.push_back(b.name);
    EXPECT_EQ(b.base_path, dir.file("40F5849A"));
    EXPECT_EQ(b.kind, ITEM_FILE);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"1234.bird", "1235.bird"}));
  EXPECT_NE(log.text().find("_find_items([" + dir.file("40F5849A/1234.bird") + "], 0, 1)\n"),
            std::string::npos)
      << log.text();
  // Settings of a plain file can't be created; nothing appears beside it.
  EXPECT_NE(log.text().find("cannot open attributes file for writting: '" +
                            dir.file("40F5849A/1234.bird/.settings") + "'"),
            std::string::npos);
  EXPECT_EQ(entriesOf(dir.file("40F5849A")),
            (std::set<std::string>{".hidden", ".settings", "1234.bird", "1235.bird"}));

  std::vector<UpdaterStoreItem> none;
  EXPECT_TRUE(store.FindLocalBuilds(0x1, none));
  EXPECT_TRUE(none.empty());
}

TEST(UpdaterStoreItem, WriteFileReplacesWholeFiles) {
  qmtest::TempDir dir;
  UpdaterStore store(dir.path());
  UpdaterStoreItem device = store.AddDevice(0x1);
  const uint8_t data[] = {1, 2, 3, 0, 5};
  EXPECT_EQ(device.WriteFile("null.bird", nullptr, 5), aErrNotFound);
  EXPECT_EQ(device.WriteFile("1.bird", data, sizeof data), aErrNone);
  EXPECT_EQ(qmtest::readFile(dir.file("00000001/1.bird")), std::string("\1\2\3\0\5", 5));
  EXPECT_EQ(device.WriteFile("1.bird", data, 2), aErrNone);
  EXPECT_EQ(qmtest::readFile(dir.file("00000001/1.bird")), std::string("\1\2", 2));
  EXPECT_EQ(device.WriteFile("../escape.bird", data, 2), aErrParam);
  EXPECT_EQ(entriesOf(dir.file("00000001")), (std::set<std::string>{".settings", "1.bird"}));

  UpdaterStoreItem gone(dir.path(), "missing", ITEM_DIRECTORY);
  EXPECT_EQ(gone.WriteFile("1.bird", data, 2), aErrNotFound);

  EXPECT_TRUE(device.FileExists("1.bird"));
  EXPECT_TRUE(device.FileExists(".bird"));  // a part of a name is enough
  EXPECT_FALSE(device.FileExists("2.bird"));
}

TEST(UpdaterStoreItem, ReadBirdFileChecksAndLoads) {
  qmtest::TempDir dir;
  UpdaterStore store(dir.path());
  UpdaterStoreItem device = store.AddDevice(0x40F5849A);
  bw::Release release;
  release.build = 77;
  release.version = "3.1.4";
  bw::Bytes good = bw::packRelease(release);
  ASSERT_EQ(device.WriteFile("77.bird", good.data(), good.size()), aErrNone);
  BirdFile file = device.ReadBirdFile("77.bird");
  EXPECT_EQ(file.GetVersion(), "3.1.4");
  EXPECT_EQ(file.path, dir.file("40F5849A/77.bird"));

  ASSERT_EQ(device.WriteFile("78.bird", reinterpret_cast<const uint8_t*>("<html>"), 6), aErrNone);
  EXPECT_EQ(thrown([&] { device.ReadBirdFile("78.bird"); }),
            "Invalid bird " + dir.file("40F5849A/78.bird"));
  EXPECT_EQ(thrown([&] { device.ReadBirdFile("79.bird"); }),
            "Invalid bird " + dir.file("40F5849A/79.bird"));
  release.fault = bw::Fault::TruncatedBody;
  bw::Bytes cut = bw::packRelease(release);
  ASSERT_EQ(device.WriteFile("80.bird", cut.data(), cut.size()), aErrNone);
  EXPECT_EQ(thrown([&] { device.ReadBirdFile("80.bird"); }), "Failed to load bird data");
}

}  // namespace
