// Settings files: line syntax, typed getters, change tracking, time stamps,
// and writing that never leaves a broken file behind.
#include "KeyValueStore.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <set>

#include "log_capture.h"
#include "qm_process.h"

namespace {

// ctime's form without the newline: "Fri Dec 11 09:05:07 2026", day padded with a blank.
bool isTimeText(const std::string& text) {
  const std::string form = "Aaa Aaa _9 99:99:99 9999";
  if (text.size() != form.size()) return false;
  for (size_t i = 0; i < form.size(); ++i) {
    char c = text[i];
    bool ok = form[i] == 'A'   ? std::isupper(static_cast<unsigned char>(c))
              : form[i] == 'a' ? std::islower(static_cast<unsigned char>(c))
              : form[i] == '9' ? std::isdigit(static_cast<unsigned char>(c))
              : form[i] == '_' ? c == ' ' || std::isdigit(static_cast<unsigned char>(c))
                               : c == form[i];
    if (!ok) return false;
  }
  return true;
}

// The value of `key` in settings text, or "(absent)".
std::string valueIn(const std::string& text, const std::string& key) {
  size_t at = text.rfind(key + "=", 0) == 0 ? 0 : text.find("\n" + key + "=");
  if (at == std::string::npos) return "(absent)";
  if (at != 0) ++at;
  at += key.size() + 1;
  return text.substr(at, text.find('\n', at) - at);
}

std::set<std::string> entriesOf(const std::string& dir) {
  std::set<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d ? readdir(d) : nullptr)
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
  if (d) closedir(d);
  return names;
}

TEST(KeyValueStoreParse, LineSyntax) {
  struct Case {
    const char* line;
    bool entry;
    const char* key;
    const char* value;
  } cases[] = {
      {"  NAME = some value  \n", true, "NAME", "some value"},
      {"#COMMENT=1\n", false, "", ""},
      {"X=\n", true, "X", ""},
      {"A=b=c\n", true, "A", "b=c"},
      {"K=v", true, "K", "v"},  // last line without a newline
      {"\tTAB\t=\tx y\t\r\n", true, "TAB", "x y"},
      {"=\n", false, "", ""},  // shorter than 3 characters
      {"=v\n", true, "", "v"},
      {"no equals sign here\n", false, "", ""},
      {"\n", false, "", ""},
      {"   \n", false, "", ""},
  };
  for (const Case& c : cases) {
    std::string key = "?", value = "?";
    EXPECT_EQ(KeyValueStore::ParseLine(c.line, key, value), c.entry) << c.line;
    if (c.entry) {
      EXPECT_EQ(key, c.key) << c.line;
      EXPECT_EQ(value, c.value) << c.line;
    }
  }
}

TEST(KeyValueStoreLoad, ReadsEntriesAndStopsAtALineThatDoesNotFit) {
  qmtest::TempDir dir;
  std::string path = dir.file(".settings");
  qmtest::writeFile(path, "# written by hand\n"
                          "LATEST_DOWNLOAD=1234.bird\n"
                          "junk line\n"
                          "A=first\n"
                          "A = second\n"
                          "B=1\n" +
                              std::string(3000, 'L') + "=long\n"
                              "AFTER=never read\n");
  KeyValueStore store(path.c_str());
  EXPECT_EQ(store.filename, path);
  EXPECT_FALSE(store.dirty);
  EXPECT_EQ(store.entries.size(), 3u);
  EXPECT_STREQ(store["LATEST_DOWNLOAD"], "1234.bird");
  EXPECT_STREQ(store["A"], "second");
  EXPECT_EQ(store["AFTER"], nullptr);
  EXPECT_EQ(store.GetInt("LATEST_DOWNLOAD", 0), 1234);
}

TEST(KeyValueStoreLoad, MergesIntoExistingEntries) {
  qmtest::TempDir dir;
  qmtest::writeFile(dir.file("s"), "B=file\n");
  KeyValueStore store;
  store.Add("A", "memory");
  store.Add("B", "memory");
  EXPECT_EQ(store.Load(dir.file("s").c_str()), aErrNone);
  EXPECT_STREQ(store["A"], "memory");
  EXPECT_STREQ(store["B"], "file");
  EXPECT_FALSE(store.dirty);
}

TEST(KeyValueStoreLoad, MissingFileIsCreatedWithBothTimeStamps) {
  qmtest::TempDir dir;
  std::string path = dir.file(".settings");
  LogCapture log(DEBUG_Attributes);
  KeyValueStore store;
  EXPECT_EQ(store.Load(path.c_str()), aErrParam);
  EXPECT_NE(log.text().find("Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n"),
            std::string::npos)
      << log.text();
  std::string text = qmtest::readFile(path);
  std::string created = valueIn(text, "CREATED_TIME");
  EXPECT_TRUE(isTimeText(created)) << text;
  EXPECT_EQ(text, "CREATED_TIME=" + created + "\nUPDATED_TIME=" + created + "\n");
  EXPECT_FALSE(store.dirty);
  EXPECT_EQ(entriesOf(dir.path()), std::set<std::string>{".settings"});
}

TEST(KeyValueStoreGet, TypedGettersAndDefaults) {
  KeyValueStore store;
  store.Add("one", "1");
  store.Add("zero", "0");
  store.Add("true", "true");
  store.Add("yes", "yes");
  store.Add("num", "42abc");
  store.Add("neg", "-7");
  store.Add("hex", "0x0000ABCD");
  store.Add("bare", "ff");
  store.Add("pi", "3.25");
  store.Add("empty", "");
  store.dirty = false;

  EXPECT_TRUE(store.GetBOOL("one", false));
  EXPECT_FALSE(store.GetBOOL("zero", true));
  EXPECT_FALSE(store.GetBOOL("true", true));
  EXPECT_FALSE(store.GetBOOL("yes", true));
  EXPECT_TRUE(store.GetBOOL("empty", true));
  EXPECT_EQ(store.GetInt("num", 5), 42);
  EXPECT_EQ(store.GetInt("neg", 5), -7);
  EXPECT_EQ(store.GetInt("true", 5), 0);
  EXPECT_EQ(store.GetInt("empty", 5), 5);
  EXPECT_EQ(store.GetHex("hex", 1), 0xABCDu);
  EXPECT_EQ(store.GetHex("bare", 1), 0xFFu);
  EXPECT_DOUBLE_EQ(store.GetDouble("pi", 1.0), 3.25);
  EXPECT_DOUBLE_EQ(store.GetDouble("empty", 1.5), 1.5);
  EXPECT_EQ(store.GetString("empty", "def"), "");  // stored empty is not absent
  EXPECT_EQ(store.GetString("num"), "42abc");
  EXPECT_FALSE(store.dirty);
}

TEST(KeyValueStoreGet, AbsentKeyIsAddedEmptyByTypedGettersOnly) {
  qmtest::TempDir dir;
  KeyValueStore store;
  EXPECT_EQ(store.GetString("S", nullptr), "");
  EXPECT_EQ(store.GetString("S", "fallback"), "fallback");
  EXPECT_EQ(store["S"], nullptr);
  EXPECT_TRUE(store.entries.empty());

  EXPECT_EQ(store.GetInt("LATEST_TRANSFER", 9), 9);
  EXPECT_EQ(store.GetHex("H", 0x10), 0x10u);
  EXPECT_STREQ(store["LATEST_TRANSFER"], "");
  EXPECT_FALSE(store.dirty);
  store.Save(dir.file("s").c_str());
  EXPECT_EQ(qmtest::readFile(dir.file("s")), "H=\nLATEST_TRANSFER=\n");
  KeyValueStore again(dir.file("s").c_str());
  EXPECT_EQ(again.GetInt("LATEST_TRANSFER", 3), 3);
}

TEST(KeyValueStoreAdd, FormatsAndChangeTracking) {
  KeyValueStore store;
  EXPECT_TRUE(store.AddHex("H", 0xABCD));
  EXPECT_STREQ(store["H"], "0x0000ABCD");
  EXPECT_TRUE(store.Add("I", -12));
  EXPECT_STREQ(store["I"], "-12");
  EXPECT_TRUE(store.Add("D", 2.5));
  EXPECT_STREQ(store["D"], "2.500000");
  EXPECT_TRUE(store.Add("S", std::string("text")));
  EXPECT_TRUE(store.dirty);

  store.dirty = false;
  store.Add("S", "text");
  EXPECT_FALSE(store.dirty);  // same text: no change
  store.Add("E", "");
  EXPECT_FALSE(store.dirty);  // an absent key counts as empty
  EXPECT_STREQ(store["E"], "");
  store.Add("E", "x");
  EXPECT_TRUE(store.dirty);

  KeyValueStore other;
  other.Add("S", "text");
  other.Add("N", "new");
  store.dirty = false;
  EXPECT_TRUE(store.Add(other));
  EXPECT_TRUE(store.dirty);
  EXPECT_STREQ(store["N"], "new");

  KeyValueStore copy = store;
  copy.Add("S", "changed");
  EXPECT_STREQ(store["S"], "text");
  store.dirty = false;
  EXPECT_TRUE(store.Clear());
  EXPECT_TRUE(store.entries.empty());
  EXPECT_TRUE(store.dirty);
}

TEST(KeyValueStoreSave, WritesSortedEntriesAndStampsOnlyChanges) {
  qmtest::TempDir dir;
  std::string path = dir.file(".settings");
  KeyValueStore store;
  store.Add("b", "2");
  store.Add("B", "1");
  store.Add("a", "x y");
  store.Save(path.c_str());
  std::string text = qmtest::readFile(path);
  std::string stamp = valueIn(text, "UPDATED_TIME");
  EXPECT_TRUE(isTimeText(stamp)) << text;
  EXPECT_EQ(text, "B=1\nUPDATED_TIME=" + stamp + "\na=x y\nb=2\n");
  EXPECT_FALSE(store.dirty);

  // Unchanged: the same entries again, the stamp kept.
  store.entries["UPDATED_TIME"] = "kept";
  store.dirty = false;
  store.Save();
  EXPECT_EQ(qmtest::readFile(path), "B=1\nUPDATED_TIME=kept\na=x y\nb=2\n");

  // The first of two equal Adds marks the change; the Save stamps it.
  store.Add("c", "3");
  store.Add("c", "3");
  store.Save();
  EXPECT_EQ(qmtest::readFile(path).find("UPDATED_TIME=kept"), std::string::npos);
  EXPECT_EQ(entriesOf(dir.path()), std::set<std::string>{".settings"});  // no temporary left
}

TEST(KeyValueStoreSave, UnwritablePathKeepsEntriesAndChange) {
  qmtest::TempDir dir;
  qmtest::writeFile(dir.file("plain"), "not a directory");
  std::string bad = dir.file("plain/.settings");
  KeyValueStore store;
  store.Add("K", "v");
  LogCapture log(DEBUG_Attributes);
  store.Save(bad.c_str());
  EXPECT_NE(log.text().find("Attibutes: Error - cannot open attributes file for writting: '" + bad +
                            "' (20)\n"),
            std::string::npos)
      << log.text();
  EXPECT_TRUE(store.dirty);
  EXPECT_STREQ(store["K"], "v");
  EXPECT_EQ(qmtest::readFile(dir.file("plain")), "not a directory");

  // Retrying to a good place works.
  store.Save(dir.file("good").c_str());
  EXPECT_FALSE(store.dirty);
  EXPECT_EQ(qmtest::readFile(dir.file("good")).substr(0, 4), "K=v\n");
}

TEST(KeyValueStoreSave, FailedReplaceLeavesTheOldFile) {
  qmtest::TempDir dir;
  std::string path = dir.file("target");
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);  // a directory can't be replaced by a file
  KeyValueStore store;
  store.Add("K", "v");
  store.Save(path.c_str());
  EXPECT_TRUE(store.dirty);
  EXPECT_EQ(entriesOf(dir.path()), std::set<std::string>{"target"});
}

TEST(KeyValueStoreSave, NoNameMeansDefaultFileInCurrentDirectory) {
  qmtest::TempDir dir;
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  LogCapture log(DEBUG_Attributes);
  KeyValueStore store;
  store.Add("K", "v");
  store.Save(nullptr);
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(log.text(), "Attibutes: no filename given for attributes, using default:[.settings]\n");
  EXPECT_EQ(store.filename, ".settings");
  EXPECT_EQ(qmtest::readFile(dir.file(".settings")).substr(0, 4), "K=v\n");
}

}  // namespace
