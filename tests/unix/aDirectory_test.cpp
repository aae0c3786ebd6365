#include "aDirectory.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "qm_process.h"
#include "qm_unprivileged.h"

namespace {

using qmtest::TempDir;

bool isDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

TEST(aDirectory, Exists) {
  TempDir dir;
  qmtest::writeFile(dir.file("f"), "x");
  EXPECT_TRUE(aDirectory_Exists(dir.path().c_str()));
  EXPECT_FALSE(aDirectory_Exists(dir.file("f").c_str()));
  EXPECT_FALSE(aDirectory_Exists(dir.file("missing").c_str()));
  EXPECT_FALSE(aDirectory_Exists(nullptr));
  EXPECT_STREQ(aDIR_PATH_SEP, "/");
}

TEST(aDirectory, EnsureCreatesEveryMissingLevel) {
  TempDir dir;
  struct Case {
    std::string path;
    std::vector<std::string> made;
  } cases[] = {
      {dir.path(), {}},
      {dir.file("x/y"), {dir.file("x"), dir.file("x/y")}},
      {dir.file("x/y/z/"), {dir.file("x/y/z")}},
      {dir.file("p//q"), {dir.file("p"), dir.file("p//q")}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(aDirectory_Ensure(c.path.c_str(), 0700), aErrNone) << c.path;
    for (const auto& level : c.made) {
      EXPECT_TRUE(isDir(level)) << level;
      struct stat st;
      ASSERT_EQ(stat(level.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0700u) << level;
    }
  }
}

TEST(aDirectory, EnsureFromRelativePath) {
  TempDir dir;
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  aErr err = aDirectory_Ensure("r1/r2", 0755);
  bool made = isDir(dir.file("r1/r2"));
  ASSERT_EQ(chdir(saved), 0);
  EXPECT_EQ(err, aErrNone);
  EXPECT_TRUE(made);
}

TEST(aDirectory, EnsureFailures) {
  TempDir dir;
  qmtest::writeFile(dir.file("file"), "x");
  // A file where a level should be is not a directory, at any depth.
  EXPECT_EQ(aDirectory_Ensure(dir.file("file").c_str(), 0755), aErrPermission);
  EXPECT_EQ(aDirectory_Ensure(dir.file("file/sub").c_str(), 0755), aErrPermission);
  EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
  EXPECT_EQ(aDirectory_Ensure(("/tmp/" + std::string(5000, 'd')).c_str(), 0755),
            aErrFileNameLength);
}

TEST(aDirectory, EnsureIsRefusedWithoutPermission) {
  if (!qmtest::canDropPrivileges()) GTEST_SKIP() << "needs root to act as another user";
  TempDir dir;
  chmod(dir.path().c_str(), 0755);  // nobody can look but not create
  std::string path = dir.file("a/b");
  auto child = qmtest::runUnprivileged([&] { return aDirectory_Ensure(path.c_str(), 0755); });
  EXPECT_EQ(child.exitCode, aErrPermission);
  EXPECT_FALSE(exists(dir.file("a")));
}

struct Listing {
  std::map<std::string, std::pair<uint32_t, uint32_t>> entries;  // name -> size, isDirectory
  size_t stopAfter = 1000;
};

bool collect(const aDirectoryListData* data, void* reference) {
  auto* listing = static_cast<Listing*>(reference);
  std::string path = data->path;
  listing->entries[path.substr(path.rfind('/') + 1)] = {data->size, data->isDirectory};
  return listing->entries.size() < listing->stopAfter;
}

TEST(aDirectory, ListReportsEveryReadableEntry) {
  TempDir dir;
  qmtest::writeFile(dir.file("five"), "12345");
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()), 0);
  Listing listing;
  EXPECT_EQ(aDirectory_List(dir.path().c_str(), collect, &listing), aErrNone);
  EXPECT_EQ(listing.entries.size(), 4u);  // ".", "..", five, sub; not the dangling link
  EXPECT_EQ(listing.entries["five"], std::make_pair(5u, 0u));
  EXPECT_EQ(listing.entries["sub"].second, 1u);
  EXPECT_EQ(listing.entries["."].second, 1u);
  EXPECT_EQ(listing.entries.count(".."), 1u);

  Listing first;
  first.stopAfter = 1;
  EXPECT_EQ(aDirectory_List(dir.path().c_str(), collect, &first), aErrNone);
  EXPECT_EQ(first.entries.size(), 1u);

  EXPECT_EQ(aDirectory_List(dir.file("missing").c_str(), collect, &listing), aErrNotFound);
  EXPECT_EQ(aDirectory_List(dir.path().c_str(), nullptr, &listing), aErrParam);
}

TEST(aDirectory, Delete) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("empty").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.file("full").c_str(), 0755), 0);
  qmtest::writeFile(dir.file("full/f"), "x");
  EXPECT_EQ(aDirectory_Delete(dir.file("empty").c_str()), aErrNone);
  EXPECT_FALSE(exists(dir.file("empty")));
  EXPECT_EQ(aDirectory_Delete(dir.file("full").c_str()), aErrUnknown);
  EXPECT_EQ(aDirectory_Delete(dir.file("missing").c_str()), aErrUnknown);
}

TEST(aDirectory, DeleteTreeRemovesEverythingBelow) {
  TempDir dir;
  TempDir outside;
  qmtest::writeFile(outside.file("keep"), "x");
  ASSERT_EQ(aDirectory_Ensure(dir.file("t/a/b").c_str(), 0755), aErrNone);
  qmtest::writeFile(dir.file("t/one"), "1");
  qmtest::writeFile(dir.file("t/a/two"), "2");
  qmtest::writeFile(dir.file("t/a/b/three"), "3");
  // A link to a directory elsewhere is removed, not followed.
  ASSERT_EQ(symlink(outside.path().c_str(), dir.file("t/a/link").c_str()), 0);
  EXPECT_EQ(aDirectory_DeleteTree(dir.file("t").c_str()), aErrNone);
  EXPECT_FALSE(exists(dir.file("t")));
  EXPECT_TRUE(exists(outside.file("keep")));
  EXPECT_EQ(aDirectory_DeleteTree(dir.file("t").c_str()), aErrNotFound);
}

TEST(aDirectory, DeleteTreeStopsAtAFileItCannotRemove) {
  if (!qmtest::canDropPrivileges()) GTEST_SKIP() << "needs root to act as another user";
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  std::string tree = dir.file("t");
  ASSERT_EQ(aDirectory_Ensure((tree + "/locked").c_str(), 0755), aErrNone);
  qmtest::writeFile(tree + "/locked/f", "x");
  ASSERT_EQ(chown(tree.c_str(), 65534, 65534), 0);  // nobody owns t, root owns t/locked
  auto child = qmtest::runUnprivileged([&] { return aDirectory_DeleteTree(tree.c_str()); });
  EXPECT_EQ(child.exitCode, aErrUnknown);
  EXPECT_EQ(child.out, "---error unlink-ing file [" + tree + "/locked/f]\n");
  EXPECT_EQ(child.err.rfind("aDirectory_DeleteTree: ", 0), 0u) << child.err;
  EXPECT_TRUE(exists(tree + "/locked/f"));
}

TEST(aDirectory, WorkingDirectoryAndProgramPath) {
  char buffer[4096];
  char expected[4096];
  ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
  EXPECT_EQ(aDirectory_CWD(buffer, sizeof buffer), aErrNone);
  EXPECT_STREQ(buffer, expected);
  EXPECT_EQ(aDirectory_CWD(buffer, 1), aErrParam);
  EXPECT_EQ(aDirectory_CWD(nullptr, sizeof buffer), aErrParam);

  EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof buffer), aErrNone);
  std::string path = buffer;
  EXPECT_EQ(path[0], '/');
  EXPECT_NE(path.find("aDirectory_test"), std::string::npos) << path;
  EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, 5), aErrNone);
  EXPECT_EQ(std::string(buffer), path.substr(0, 4));
}

TEST(aDirectory, HomeDirectoryComesFromThePasswordDatabase) {
  struct passwd* entry = getpwuid(getuid());
  if (!entry) GTEST_SKIP() << "no password entry for this user";
  std::string home = entry->pw_dir;
  char buffer[4096];
  EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof buffer), aErrNone);
  EXPECT_EQ(std::string(buffer), home);
  // Too small a buffer hands out nothing rather than a cut-off path.
  EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, home.size()), aErrOverrun);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(aDirectory_GetHomeDirectory(nullptr, 10), aErrParam);
}

TEST(aDirectory, HomeDirectoryFallsBackToTheEnvironment) {
  const unsigned uid = 54321;
  if (!qmtest::canDropPrivileges()) GTEST_SKIP() << "needs root to act as another user";
  if (getpwuid(uid)) GTEST_SKIP() << "uid " << uid << " has a password entry";
  auto child = qmtest::runUnprivileged(
      [] {
        char buffer[256];
        setenv("HOME", "/somewhere/else", 1);
        if (aDirectory_GetHomeDirectory(buffer, sizeof buffer) != aErrNone) return 1;
        if (std::string(buffer) != "/somewhere/else") return 2;
        unsetenv("HOME");
        return aDirectory_GetHomeDirectory(buffer, sizeof buffer) == aErrNotFound ? 0 : 3;
      },
      uid, uid);
  EXPECT_EQ(child.exitCode, 0);
}

TEST(aDirectory, BuildPathJoinsWithOneSeparator) {
  struct Case {
    std::vector<const char*> parts;
    const char* joined;
  } cases[] = {
      {{"a", "b/", "/c"}, "a/b//c"},
      {{"a/", "b"}, "a/b"},
      {{"a", "/b"}, "a/b"},
      {{"a", "b"}, "a/b"},
      {{"/", "x"}, "/x"},
      {{"only"}, "only"},
      {{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}, "1/2/3/4/5/6/7/8/9/10"},
  };
  for (const auto& c : cases) {
    char out[64] = "junk";
    std::vector<const char*> p = c.parts;
    p.resize(11, nullptr);
    EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, p[0], p[1], p[2], p[3], p[4], p[5], p[6],
                                   p[7], p[8], p[9], p[10], nullptr),
              aErrNone)
        << c.joined;
    EXPECT_STREQ(out, c.joined);
  }
  char out[16];
  EXPECT_EQ(aDirectory_JoinPath(out, sizeof out, "dir", "file"), aErrNone);
  EXPECT_STREQ(out, "dir/file");
}

TEST(aDirectory, BuildPathRefusals) {
  char out[8] = "junk";
  EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, "1", "2", "3", "4", "5", "6", "7", "8", "9",
                                 "10", "11", nullptr),
            aErrParam);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(aDirectory_BuildPath(nullptr, 8, "a", nullptr), aErrParam);

  // The destination may not be one of the components.
  char self[16] = "abc";
  EXPECT_EQ(aDirectory_JoinPath(self, sizeof self, self, "d"), aErrParam);
  EXPECT_EQ(aDirectory_JoinPath(self, sizeof self, "d", self + 1), aErrParam);
  EXPECT_STREQ(self, "abc");

  // `first` must be shorter than size - 1; the text so far stays on overrun.
  EXPECT_EQ(aDirectory_JoinPath(out, sizeof out, "1234567", "x"), aErrOverrun);
  EXPECT_EQ(aDirectory_JoinPath(out, sizeof out, "123456", "x"), aErrOverrun);
  EXPECT_STREQ(out, "123456");
  EXPECT_EQ(aDirectory_JoinPath(out, sizeof out, "ab", "cdef"), aErrOverrun);
  EXPECT_STREQ(out, "ab/");
  EXPECT_EQ(aDirectory_JoinPath(out, sizeof out, "ab", "cde"), aErrNone);
  EXPECT_STREQ(out, "ab/cde");
}

}  // namespace
