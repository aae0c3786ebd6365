#include "unix_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <string>

#include "qm_process.h"
#include "qm_unprivileged.h"

namespace {

using qmtest::TempDir;

std::string longPath() { return "/tmp/" + std::string(aFILE_MAX_PATH, 'x'); }

// Opens a file holding `content` in `mode`; the handle is closed on scope exit.
struct OpenFile {
  OpenFile(const std::string& path, const std::string& content, aFileMode mode) {
    qmtest::writeFile(path, content);
    file = aFile_Open(path.c_str(), mode);
  }
  ~OpenFile() { aFile_Close(&file); }
  aFileRef file = nullptr;
};

size_t position(aFileRef file) {
  size_t pos = 12345;
  EXPECT_EQ(aFile_GetPosition(file, &pos), aErrNone);
  return pos;
}

TEST(aFile, ExistsOnlyForEntriesThatAreNotDirectories) {
  TempDir dir;
  qmtest::writeFile(dir.file("f"), "x");
  EXPECT_TRUE(aFile_Exists(dir.file("f").c_str()));
  EXPECT_FALSE(aFile_Exists(dir.path().c_str()));
  EXPECT_FALSE(aFile_Exists(dir.file("missing").c_str()));
  EXPECT_FALSE(aFile_Exists(nullptr));
  EXPECT_FALSE(aFile_Exists(longPath().c_str()));
}

TEST(aFile, OpenRefusesBadArguments) {
  TempDir dir;
  qmtest::writeFile(dir.file("f"), "x");
  struct Case {
    const char* what;
    std::string path;
    aFileMode mode;
  } cases[] = {
      {"empty path", "", aFileModeReadOnly},
      {"over-long path", longPath(), aFileModeWriteOnly},
      {"mode 3", dir.file("f"), 3},
      {"missing file", dir.file("missing"), aFileModeReadOnly},
      {"missing directory", dir.file("no/f"), aFileModeWriteOnly},
      {"directory for writing", dir.path(), aFileModeWriteOnly},
  };
  for (const auto& c : cases) {
    aFileRef file = aFile_Open(c.path.c_str(), c.mode);
    EXPECT_EQ(file, nullptr) << c.what;
    aFile_Close(&file);
  }
  EXPECT_EQ(aFile_Open(nullptr, aFileModeReadOnly), nullptr);
}

TEST(aFile, OpenIsRefusedWithoutPermission) {
  if (!qmtest::canDropPrivileges()) GTEST_SKIP() << "needs root to act as another user";
  TempDir dir;
  qmtest::writeFile(dir.file("secret"), "x");
  chmod(dir.path().c_str(), 0755);
  chmod(dir.file("secret").c_str(), 0600);
  std::string path = dir.file("secret");
  auto child = qmtest::runUnprivileged([&] {
    aFileRef file = aFile_Open(path.c_str(), aFileModeReadOnly);
    return file == nullptr ? 0 : 1;
  });
  EXPECT_EQ(child.exitCode, 0);
}

TEST(aFile, OperationsAreCheckedAgainstTheOpenMode) {
  TempDir dir;
  OpenFile reader(dir.file("r"), "abc\n", aFileModeReadOnly);
  OpenFile writer(dir.file("w"), "", aFileModeWriteOnly);
  ASSERT_NE(reader.file, nullptr);
  ASSERT_NE(writer.file, nullptr);
  uint8_t byte = 'x';
  char line[8];
  EXPECT_EQ(aFile_Write(reader.file, &byte, 1, nullptr), aErrMode);
  EXPECT_EQ(aFile_Printf(reader.file, "%d", 1), aErrMode);
  EXPECT_EQ(aFile_SetUnbuffered(reader.file), aErrMode);
  EXPECT_EQ(aFile_Read(writer.file, &byte, 1, nullptr), aErrMode);
  EXPECT_EQ(aFile_ReadLine(writer.file, line, sizeof line, nullptr), aErrMode);
}

TEST(aFile, NullAndClosedHandlesAreRefused) {
  TempDir dir;
  qmtest::writeFile(dir.file("f"), "abc");
  aFileRef file = aFile_Open(dir.file("f").c_str(), aFileModeAppend);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
  EXPECT_EQ(file, nullptr);
  uint8_t byte = 0;
  size_t value = 0;
  char line[4];
  EXPECT_EQ(aFile_Close(&file), aErrParam);
  EXPECT_EQ(aFile_Close(nullptr), aErrParam);
  EXPECT_EQ(aFile_Read(file, &byte, 1, nullptr), aErrParam);
  EXPECT_EQ(aFile_Write(file, &byte, 1, nullptr), aErrParam);
  EXPECT_EQ(aFile_ReadLine(file, line, sizeof line, nullptr), aErrParam);
  EXPECT_EQ(aFile_Printf(file, "x"), aErrParam);
  EXPECT_EQ(aFile_Seek(file, 0, aSeekStart), aErrParam);
  EXPECT_EQ(aFile_GetSize(file, &value), aErrParam);
  EXPECT_EQ(aFile_GetPosition(file, &value), aErrParam);
  EXPECT_EQ(aFile_SetUnbuffered(file), aErrParam);
}

TEST(aFile, ReadAtEndOfFile) {
  TempDir dir;
  OpenFile f(dir.file("f"), "ab", aFileModeReadOnly);
  uint8_t buffer[4] = {};
  size_t count = 99;
  EXPECT_EQ(aFile_Read(f.file, buffer, sizeof buffer, &count), aErrNone);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 2), "ab");
  EXPECT_EQ(aFile_Read(f.file, buffer, 0, &count), aErrNone);
  EXPECT_EQ(count, 0u);
  count = 99;
  EXPECT_EQ(aFile_Read(f.file, buffer, 1, &count), aErrEOF);
  EXPECT_EQ(count, 0u);
}

TEST(aFile, ReadErrorIsNotEndOfFile) {
  // A directory opens for reading on Linux, but every read of it fails.
  TempDir dir;
  aFileRef file = aFile_Open(dir.path().c_str(), aFileModeReadOnly);
  if (!file) GTEST_SKIP() << "directories do not open as files here";
  uint8_t byte;
  char line[8];
  EXPECT_EQ(aFile_Read(file, &byte, 1, nullptr), aErrIO);
  EXPECT_EQ(aFile_ReadLine(file, line, sizeof line, nullptr), aErrIO);
  aFile_Close(&file);
}

TEST(aFile, WriteFailuresAreReported) {
  // /dev/full refuses every byte with "no space left".
  aFileRef file = aFile_Open("/dev/full", aFileModeWriteOnly);
  if (!file) GTEST_SKIP() << "no /dev/full";
  const uint8_t data[3] = {1, 2, 3};
  size_t count = 99;
  // Buffered: the loss shows when the buffer is flushed at close.
  EXPECT_EQ(aFile_Write(file, data, sizeof data, &count), aErrNone);
  EXPECT_EQ(aFile_Close(&file), aErrIO);
  EXPECT_EQ(file, nullptr);

  file = aFile_Open("/dev/full", aFileModeWriteOnly);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(aFile_SetUnbuffered(file), aErrNone);
  EXPECT_EQ(aFile_Write(file, data, sizeof data, &count), aErrIO);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(aFile_Printf(file, "%s", "text"), aErrIO);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
}

TEST(aFile, WriteTruncatesAndAppendAppends) {
  TempDir dir;
  std::string path = dir.file("f");
  qmtest::writeFile(path, "old content");
  aFileRef file = aFile_Open(path.c_str(), aFileModeWriteOnly);
  ASSERT_NE(file, nullptr);
  size_t count = 0;
  EXPECT_EQ(aFile_Write(file, reinterpret_cast<const uint8_t*>("new"), 3, &count), aErrNone);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(aFile_Printf(file, " %d-%s", 42, "x"), aErrNone);
  aFile_Close(&file);
  EXPECT_EQ(qmtest::readFile(path), "new 42-x");

  file = aFile_Open(path.c_str(), aFileModeAppend);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(position(file), 8u);
  EXPECT_EQ(aFile_Printf(file, "!"), aErrNone);
  // Append mode reads too: back to the start, after a write.
  EXPECT_EQ(aFile_Seek(file, 0, aSeekStart), aErrNone);
  uint8_t buffer[16] = {};
  EXPECT_EQ(aFile_Read(file, buffer, sizeof buffer, &count), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), "new 42-x!");
  // A write straight after a read still goes to the end.
  EXPECT_EQ(aFile_Write(file, reinterpret_cast<const uint8_t*>("?"), 1, nullptr), aErrNone);
  aFile_Close(&file);
  EXPECT_EQ(qmtest::readFile(path), "new 42-x!?");
}

TEST(aFile, ReadLine) {
  TempDir dir;
  OpenFile f(dir.file("f"), "abcdef\nab\n\nlast", aFileModeReadOnly);
  char buffer[4];
  size_t length = 99;
  struct Step {
    aErr result;
    const char* text;
  } steps[] = {
      {aErrOverrun, "abc"}, {aErrOverrun, "def"}, {aErrNone, "\n"}, {aErrNone, "ab\n"},
      {aErrNone, "\n"},     {aErrOverrun, "las"}, {aErrNone, "t"},  {aErrEOF, ""},
  };
  for (const auto& step : steps) {
    EXPECT_EQ(aFile_ReadLine(f.file, buffer, sizeof buffer, &length), step.result) << step.text;
    EXPECT_STREQ(buffer, step.text);
    EXPECT_EQ(length, std::string(step.text).size());
  }
  EXPECT_EQ(aFile_ReadLine(f.file, buffer, 1, &length), aErrParam);
  EXPECT_EQ(aFile_ReadLine(f.file, nullptr, 4, &length), aErrParam);
}

TEST(aFile, SeekStaysInsideTheFile) {
  TempDir dir;
  OpenFile f(dir.file("f"), "0123456789", aFileModeReadOnly);
  struct Case {
    long offset;
    int origin;
    aErr result;
    size_t position;  // after the call, starting from 4
  } cases[] = {
      {1, aSeekEnd, aErrRange, 4},    {0, aSeekEnd, aErrNone, 10},
      {-10, aSeekEnd, aErrNone, 0},   {-11, aSeekEnd, aErrRange, 4},
      {-4, aSeekCurrent, aErrNone, 0}, {-5, aSeekCurrent, aErrRange, 4},
      {6, aSeekCurrent, aErrNone, 10}, {7, aSeekCurrent, aErrRange, 4},
      {10, aSeekStart, aErrNone, 10},  {11, aSeekStart, aErrRange, 4},
      {-1, aSeekStart, aErrRange, 4},  {0, 3, aErrParam, 4},
      {LONG_MAX, aSeekEnd, aErrRange, 4},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(aFile_Seek(f.file, 4, aSeekStart), aErrNone);
    EXPECT_EQ(aFile_Seek(f.file, c.offset, c.origin), c.result)
        << c.offset << " from " << c.origin;
    EXPECT_EQ(position(f.file), c.position) << c.offset << " from " << c.origin;
  }
}

TEST(aFile, SizeAndPosition) {
  TempDir dir;
  OpenFile f(dir.file("f"), "0123456789", aFileModeReadOnly);
  EXPECT_EQ(position(f.file), 0u);  // written even at position 0
  ASSERT_EQ(aFile_Seek(f.file, 3, aSeekStart), aErrNone);
  size_t size = 0;
  EXPECT_EQ(aFile_GetSize(f.file, &size), aErrNone);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(position(f.file), 3u);
  EXPECT_EQ(aFile_GetSize(f.file, nullptr), aErrParam);
  EXPECT_EQ(aFile_GetPosition(f.file, nullptr), aErrParam);
}

TEST(aFile, Delete) {
  TempDir dir;
  qmtest::writeFile(dir.file("f"), "x");
  EXPECT_EQ(aFile_Delete(dir.file("f").c_str()), aErrNone);
  EXPECT_FALSE(aFile_Exists(dir.file("f").c_str()));
  EXPECT_EQ(aFile_Delete(dir.file("f").c_str()), aErrNotFound);
  EXPECT_EQ(aFile_Delete(dir.path().c_str()), aErrIO);
  EXPECT_EQ(aFile_Delete(longPath().c_str()), aErrFileNameLength);
  EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
}

TEST(aFile, DeleteIsRefusedWithoutPermission) {
  if (!qmtest::canDropPrivileges()) GTEST_SKIP() << "needs root to act as another user";
  TempDir dir;
  std::string path = dir.file("f");
  qmtest::writeFile(path, "x");
  chmod(dir.path().c_str(), 0555);  // nobody may remove entries here
  auto child = qmtest::runUnprivileged([&] { return aFile_Delete(path.c_str()); });
  chmod(dir.path().c_str(), 0755);
  EXPECT_EQ(child.exitCode, aErrPermission);
  EXPECT_TRUE(aFile_Exists(path.c_str()));
}

}  // namespace
