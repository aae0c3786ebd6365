#include "aStream.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "qm_process.h"

namespace {

std::string text(const uint8_t* data, size_t length) {
  return std::string(reinterpret_cast<const char*>(data), length);
}

// A scripted transport: get hands out the script's bytes, or the error codes
// placed in it (as negative numbers), and then EOF. put and write record.
struct Transport {
  std::deque<int> script;
  int gets = 0;
  int puts = 0;
  int writes = 0;
  int deletes = 0;
  std::string written;
  aErr putResult = aErrNone;
  int putFailsAt = -1;  // put number that fails with putResult
  aErr deleteResult = aErrNone;

  void add(const std::string& data) {
    for (unsigned char c : data) script.push_back(c);
  }
  void fail(aErr err) { script.push_back(-err); }
};

aErr scriptGet(uint8_t* byte, void* reference) {
  auto* t = static_cast<Transport*>(reference);
  ++t->gets;
  if (t->script.empty()) return aErrEOF;
  int step = t->script.front();
  t->script.pop_front();
  if (step < 0) return -step;
  *byte = static_cast<uint8_t>(step);
  return aErrNone;
}

aErr scriptPut(const uint8_t* byte, void* reference) {
  auto* t = static_cast<Transport*>(reference);
  if (t->puts++ == t->putFailsAt) return t->putResult;
  t->written.push_back(static_cast<char>(*byte));
  return aErrNone;
}

aErr scriptWrite(const uint8_t* data, size_t length, void* reference) {
  auto* t = static_cast<Transport*>(reference);
  ++t->writes;
  t->written.append(reinterpret_cast<const char*>(data), length);
  return aErrNone;
}

aErr scriptDelete(void* reference) {
  auto* t = static_cast<Transport*>(reference);
  ++t->deletes;
  return t->deleteResult;
}

// The stream under test, destroyed at the end of the test.
struct Stream {
  explicit Stream(Transport& t, bool get = true, bool put = true, bool write = true)
      : ref(aStream_Create(get ? scriptGet : nullptr, put ? scriptPut : nullptr,
                           write ? scriptWrite : nullptr, scriptDelete, &t)) {}
  ~Stream() { aStream_Destroy(&ref); }
  aStreamRef ref;
};

TEST(aStream, NotReadyReturnsTheBytesToTheStream) {
  Transport t;
  t.add("ab");
  t.fail(aErrNotReady);
  Stream s(t);
  uint8_t out[4] = {'-', '-', '-', '-'};
  EXPECT_EQ(aStream_Read(s.ref, out, 4), aErrNotReady);
  EXPECT_EQ(text(out, 4), "----");
  EXPECT_EQ(t.gets, 3);
  EXPECT_EQ(aStream_Read(s.ref, out, 2), aErrNone);
  EXPECT_EQ(text(out, 2), "ab");
  EXPECT_EQ(t.gets, 3);  // both came from the push-back ring
}

TEST(aStream, ReadErrors) {
  Transport t;
  t.add("xy");
  t.fail(aErrIO);
  t.add("z");
  Stream s(t);
  uint8_t out[4] = {'-', '-', '-', '-'};
  EXPECT_EQ(aStream_Read(s.ref, out, 4), aErrIO);
  EXPECT_EQ(text(out, 4), "----");  // untouched, and x y are gone
  EXPECT_EQ(aStream_Read(s.ref, out, 1), aErrNone);
  EXPECT_EQ(out[0], 'z');
  EXPECT_EQ(aStream_Read(s.ref, out, 0), aErrNone);

  EXPECT_EQ(aStream_Read(nullptr, out, 1), aErrParam);
  EXPECT_EQ(aStream_Read(s.ref, nullptr, 1), aErrParam);
  Transport none;
  Stream noGet(none, false);
  EXPECT_EQ(aStream_Read(noGet.ref, out, 1), aErrMode);
  EXPECT_EQ(aStream_Read(noGet.ref, nullptr, 1), aErrParam);  // checked first
}

TEST(aStream, StaleRecordsAreRefused) {
  Transport t;
  aStream stale{};
  stale.getProc = scriptGet;
  stale.putProc = scriptPut;
  stale.reference = &t;  // everything but the check word
  aStreamRef ref = &stale;
  uint8_t byte = 'x';
  size_t length = 0;
  EXPECT_EQ(aStream_Read(ref, &byte, 1), aErrParam);
  EXPECT_EQ(aStream_Write(ref, &byte, 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(ref, &byte, &length, 1, &byte, 1), aErrParam);
  EXPECT_EQ(aStream_WriteRecord(ref, &byte, 1, &byte, 1), aErrParam);
  EXPECT_EQ(aStream_Flush(ref, ref), aErrParam);
  EXPECT_EQ(aStream_Destroy(&ref), aErrParam);
  EXPECT_EQ(ref, nullptr);
  EXPECT_EQ(t.gets + t.puts, 0);
}

TEST(aStream, PushBackRingWrapsGrowsAndKeepsOrder) {
  Transport t;
  std::string data;
  for (int i = 0; i < 1100; ++i) data.push_back(static_cast<char>(i * 31 + i / 256));
  t.add(data.substr(0, 500));
  t.fail(aErrNotReady);
  t.add(data.substr(500, 400));
  t.fail(aErrNotReady);
  t.add(data.substr(900));
  Stream s(t);
  std::vector<uint8_t> out(1100);

  ASSERT_EQ(aStream_Read(s.ref, out.data(), 600), aErrNotReady);
  EXPECT_EQ(s.ref->buffered, 500u);
  EXPECT_EQ(s.ref->capacity, 512u);
  ASSERT_EQ(aStream_Read(s.ref, out.data(), 300), aErrNone);  // head now mid-ring
  EXPECT_EQ(text(out.data(), 300), data.substr(0, 300));
  // 200 held + 400 new, then not ready: 600 go back, wrapping past the end
  // of the ring and growing it on the way.
  ASSERT_EQ(aStream_Read(s.ref, out.data(), 700), aErrNotReady);
  EXPECT_EQ(s.ref->buffered, 600u);
  EXPECT_EQ(s.ref->capacity, 1024u);
  ASSERT_EQ(aStream_Read(s.ref, out.data(), 600), aErrNone);
  EXPECT_EQ(text(out.data(), 600), data.substr(300, 600));
  ASSERT_EQ(aStream_Read(s.ref, out.data(), 300), aErrEOF);
  EXPECT_EQ(text(out.data(), 200), data.substr(900));
}

TEST(aStream, PushingBack600BytesGrowsTheRingTo1024) {
  Transport t;
  std::string data(600, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  t.add(data);
  t.fail(aErrNotReady);
  Stream s(t);
  std::vector<uint8_t> out(601);
  ASSERT_EQ(aStream_Read(s.ref, out.data(), 601), aErrNotReady);
  EXPECT_EQ(s.ref->capacity, 1024u);
  EXPECT_EQ(s.ref->buffered, 600u);
  ASSERT_EQ(aStream_Read(s.ref, out.data(), 600), aErrNone);
  EXPECT_EQ(text(out.data(), 600), data);
}

TEST(aStream, WriteUsesBlockOrBytes) {
  struct Case {
    bool put, write;
    std::string data;
    int puts, writes;
  } cases[] = {
      {true, true, "abc", 0, 1}, {true, true, "a", 1, 0},  {true, false, "abc", 3, 0},
      {false, true, "a", 0, 1},  {false, true, "ab", 0, 1}, {true, true, "", 0, 0},
  };
  for (const auto& c : cases) {
    Transport t;
    Stream s(t, true, c.put, c.write);
    EXPECT_EQ(aStream_Write(s.ref, reinterpret_cast<const uint8_t*>(c.data.data()), c.data.size()),
              aErrNone);
    EXPECT_EQ(t.written, c.data);
    EXPECT_EQ(t.puts, c.puts) << c.data << c.put << c.write;
    EXPECT_EQ(t.writes, c.writes) << c.data << c.put << c.write;
  }
  Transport t;
  t.putFailsAt = 1;
  t.putResult = aErrWrite;
  Stream bytesOnly(t, true, true, false);
  EXPECT_EQ(aStream_Write(bytesOnly.ref, reinterpret_cast<const uint8_t*>("abc"), 3), aErrWrite);
  EXPECT_EQ(t.written, "a");
  EXPECT_EQ(t.puts, 2);
  Stream readOnly(t, true, false, false);
  EXPECT_EQ(aStream_Write(readOnly.ref, reinterpret_cast<const uint8_t*>("a"), 1), aErrMode);
  EXPECT_EQ(aStream_Write(bytesOnly.ref, nullptr, 0), aErrParam);
}

TEST(aStream, ReadRecord) {
  struct Case {
    std::string source, terminator;
    size_t size;
    aErr result;
    std::string record, rest;  // what the next reads see
  } cases[] = {
      {"ab\r\nc", "\r\n", 16, aErrNone, "ab", "c"},
      {"a\rb\nc", "\r\n", 16, aErrNone, "ab", "c"},  // a mismatch keeps the match
      {"\r\n", "\r\n", 16, aErrNone, "", ""},
      {"abcdef", "\n", 3, aErrNone, "abc", "def"},
      {"abc", "\n", 16, aErrNone, "abc", ""},  // the source ends the record
      {"", "\n", 16, aErrEOF, "", ""},
      {"xyz", "\n", 0, aErrNone, "", "xyz"},
  };
  for (const auto& c : cases) {
    Transport t;
    t.add(c.source);
    Stream s(t);
    uint8_t buffer[16];
    size_t length = 99;
    EXPECT_EQ(aStream_ReadRecord(s.ref, buffer, &length, c.size,
                                 reinterpret_cast<const uint8_t*>(c.terminator.data()),
                                 c.terminator.size()),
              c.result)
        << c.source;
    EXPECT_EQ(text(buffer, length), c.record) << c.source;
    std::string rest;
    uint8_t byte;
    while (aStream_Read(s.ref, &byte, 1) == aErrNone) rest.push_back(static_cast<char>(byte));
    EXPECT_EQ(rest, c.rest) << c.source;
  }
}

TEST(aStream, ReadRecordNotReadyLosesNothing) {
  // The record arrives in pieces; a partly matched terminator is returned too.
  Transport t;
  t.add("ab\r");
  t.fail(aErrNotReady);
  t.add("\nnext\r\n");
  Stream s(t);
  const uint8_t crlf[] = {'\r', '\n'};
  uint8_t buffer[16] = {};
  size_t length = 99;
  EXPECT_EQ(aStream_ReadRecord(s.ref, buffer, &length, sizeof buffer, crlf, 2), aErrNotReady);
  EXPECT_EQ(length, 99u);
  EXPECT_EQ(aStream_ReadRecord(s.ref, buffer, &length, sizeof buffer, crlf, 2), aErrNone);
  EXPECT_EQ(text(buffer, length), "ab");
  EXPECT_EQ(aStream_ReadRecord(s.ref, buffer, nullptr, sizeof buffer, crlf, 2), aErrNone);
  EXPECT_EQ(text(buffer, 4), "next");
}

TEST(aStream, ReadRecordErrors) {
  Transport t;
  t.add("ab");
  t.fail(aErrIO);
  Stream s(t);
  const uint8_t nl = '\n';
  uint8_t buffer[4];
  size_t length = 99;
  EXPECT_EQ(aStream_ReadRecord(s.ref, buffer, &length, 4, &nl, 1), aErrIO);
  EXPECT_EQ(length, 99u);
  EXPECT_EQ(aStream_ReadRecord(s.ref, nullptr, &length, 4, &nl, 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(s.ref, buffer, &length, 4, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(s.ref, buffer, &length, 4, &nl, 0), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(s.ref, buffer, &length, SIZE_MAX, &nl, 1), aErrResource);
}

TEST(aStream, CStrings) {
  Transport t;
  t.add(std::string("abcde\0", 6));
  t.add("key=value;;");
  Stream s(t);
  char buffer[16];
  EXPECT_EQ(aStream_ReadCString(s.ref, buffer, 4), aErrNone);
  EXPECT_STREQ(buffer, "abc");  // the record ends when 3 bytes are stored
  EXPECT_EQ(aStream_ReadCString(s.ref, buffer, sizeof buffer), aErrNone);
  EXPECT_STREQ(buffer, "de");
  EXPECT_EQ(aStream_ReadCStringRecord(s.ref, buffer, sizeof buffer, ";;"), aErrNone);
  EXPECT_STREQ(buffer, "key=value");
  EXPECT_EQ(aStream_ReadCString(s.ref, buffer, sizeof buffer), aErrEOF);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(aStream_ReadCString(s.ref, buffer, 0), aErrParam);
  EXPECT_EQ(aStream_ReadCStringRecord(s.ref, buffer, sizeof buffer, ""), aErrParam);

  Transport out;
  Stream w(out);
  EXPECT_EQ(aStream_WriteCString(w.ref, "hi"), aErrNone);
  EXPECT_EQ(aStream_WriteCStringRecord(w.ref, "line", "\r\n"), aErrNone);
  EXPECT_EQ(aStream_WriteRecord(w.ref, reinterpret_cast<const uint8_t*>("xy"), 2,
                                reinterpret_cast<const uint8_t*>("|"), 1),
            aErrNone);
  EXPECT_EQ(out.written, std::string("hi\0line\r\n\0xy|", 13));
  EXPECT_EQ(aStream_WriteCString(w.ref, nullptr), aErrParam);
  EXPECT_EQ(aStream_WriteRecord(w.ref, reinterpret_cast<const uint8_t*>("xy"), 2, nullptr, 1),
            aErrParam);
}

TEST(aStream, FlushCopiesUntilTheEnd) {
  Transport in, out;
  in.add("copy me");
  Stream source(in), sink(out);
  EXPECT_EQ(aStream_Flush(source.ref, sink.ref), aErrNone);
  EXPECT_EQ(out.written, "copy me");
  EXPECT_EQ(out.writes, 0);  // byte by byte through put

  Transport failing;
  failing.add("ab");
  failing.fail(aErrNotReady);
  Stream partial(failing);
  EXPECT_EQ(aStream_Flush(partial.ref, sink.ref), aErrNotReady);
  EXPECT_EQ(out.written, "copy meab");

  Stream noPut(out, true, false, true), noGet(in, false);
  EXPECT_EQ(aStream_Flush(source.ref, noPut.ref), aErrMode);
  EXPECT_EQ(aStream_Flush(noGet.ref, sink.ref), aErrMode);
  EXPECT_EQ(aStream_Flush(nullptr, sink.ref), aErrParam);
}

TEST(aStream, DestroyReleasesTheTransportOnce) {
  Transport t;
  t.deleteResult = aErrIO;
  aStreamRef s = aStream_Create(scriptGet, nullptr, nullptr, scriptDelete, &t);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->check, aSTREAMCHECK);
  EXPECT_EQ(aStream_Destroy(&s), aErrIO);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(t.deletes, 1);
  EXPECT_EQ(aStream_Destroy(&s), aErrParam);
  EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
  EXPECT_EQ(t.deletes, 1);

  aStreamRef bare = aStream_Create(nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(aStream_Destroy(&bare), aErrNone);
}

TEST(aStream, FileStreamsRoundTrip) {
  qmtest::TempDir dir;
  std::string path = dir.file("data");
  aStreamRef out = nullptr;
  ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
  EXPECT_EQ(aStream_WriteCStringRecord(out, "first", "\n"), aErrNone);
  EXPECT_EQ(aStream_Write(out, reinterpret_cast<const uint8_t*>("x"), 1), aErrNone);
  uint8_t byte;
  EXPECT_EQ(aStream_Read(out, &byte, 1), aErrMode);
  EXPECT_EQ(aStream_Destroy(&out), aErrNone);
  EXPECT_EQ(qmtest::readFile(path), std::string("first\n\0x", 8));

  aStreamRef in = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
  EXPECT_EQ(aStream_Write(in, &byte, 1), aErrMode);
  uint8_t buffer[16] = {};
  EXPECT_EQ(aStream_Read(in, buffer, 6), aErrNone);
  EXPECT_EQ(text(buffer, 6), "first\n");
  // Asking for more than is left: EOF with the remaining bytes delivered.
  EXPECT_EQ(aStream_Read(in, buffer, 4), aErrEOF);
  EXPECT_EQ(text(buffer, 2), std::string("\0x", 2));
  EXPECT_EQ(aStream_Destroy(&in), aErrNone);
}

TEST(aStream, FileOfThreeBytesReadAsFour) {
  qmtest::TempDir dir;
  qmtest::writeFile(dir.file("three"), "abc");
  aStreamRef in = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(dir.file("three").c_str(), &in), aErrNone);
  uint8_t buffer[4] = {0, 0, 0, '-'};
  EXPECT_EQ(aStream_Read(in, buffer, 4), aErrEOF);
  EXPECT_EQ(text(buffer, 4), "abc-");
  aStream_Destroy(&in);
}

TEST(aStream, FileStreamCreationFailures) {
  qmtest::TempDir dir;
  aStreamRef sentinel = reinterpret_cast<aStreamRef>(0x1);
  aStreamRef s = sentinel;
  EXPECT_EQ(aStream_CreateFileOutput(dir.file("missing/out").c_str(), &s), aErrResource);
  EXPECT_EQ(aStream_CreateFileInput(dir.file("missing").c_str(), &s), aErrResource);
  EXPECT_EQ(aStream_CreateFileInput(nullptr, &s), aErrResource);
  EXPECT_EQ(s, sentinel);  // untouched
  EXPECT_EQ(aStream_CreateFileInput(dir.path().c_str(), nullptr), aErrResource);
}

TEST(aStream, FileTransportWithoutFile) {
  qmtest::TempDir dir;
  qmtest::writeFile(dir.file("f"), "abc");
  aStreamRef in = nullptr, out = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(dir.file("f").c_str(), &in), aErrNone);
  ASSERT_EQ(aStream_CreateFileOutput(dir.file("g").c_str(), &out), aErrNone);
  void* inFile = in->reference;
  void* outFile = out->reference;
  in->reference = nullptr;
  out->reference = nullptr;
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(in, &byte, 1), aErrIO);
  EXPECT_EQ(aStream_Write(out, &byte, 1), aErrIO);
  EXPECT_EQ(aStream_Write(out, reinterpret_cast<const uint8_t*>("ab"), 2), aErrIO);
  in->reference = inFile;
  out->reference = outFile;
  EXPECT_EQ(aStream_Destroy(&in), aErrNone);
  EXPECT_EQ(aStream_Destroy(&out), aErrNone);
}

}  // namespace
