// Record reads over a stream fed the fuzz input. The first bytes choose the
// record size and the terminator; the rest is the source, in which the byte
// 0xFF followed by 0x00 stands for "not ready now" and 0xFF 0x01 for a read
// error. Records are read until the source ends, and the bytes handed out
// must be exactly the source's bytes minus the terminator bytes matched.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "aStream.h"

namespace {

struct Source {
  const uint8_t* data;
  size_t size;
  size_t at;
  std::vector<uint8_t> delivered;  // every byte get handed out
  bool failed;                     // a read error was handed out
};

// The records the source's bytes make when nothing interrupts the reads.
std::vector<uint8_t> sExpected(const std::vector<uint8_t>& bytes, size_t size,
                               const uint8_t* terminator, size_t terminatorLength) {
  std::vector<uint8_t> out;
  size_t count = 0, match = 0;
  for (uint8_t byte : bytes) {
    if (byte == terminator[match]) {
      ++match;
    } else {
      out.push_back(byte);
      ++count;
    }
    if (match == terminatorLength || count == size) count = match = 0;
  }
  return out;
}

aErr sFuzzGet(uint8_t* byte, void* reference) {
  Source* source = static_cast<Source*>(reference);
  if (source->at >= source->size) return aErrEOF;
  uint8_t value = source->data[source->at++];
  if (value == 0xFF && source->at < source->size) {
    uint8_t escape = source->data[source->at++];
    if (escape == 0x00) return aErrNotReady;
    if (escape == 0x01) {
      source->failed = true;
      return aErrIO;
    }
    value = escape;
  }
  source->delivered.push_back(value);
  *byte = value;
  return aErrNone;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t recordSize = data[0] % 64;
  size_t terminatorLength = 1 + data[1] % 4;
  if (size < 2 + terminatorLength) return 0;
  const uint8_t* terminator = data + 2;
  Source source{data + 2 + terminatorLength, size - 2 - terminatorLength, 0, {}, false};
  aStreamRef stream = aStream_Create(sFuzzGet, nullptr, nullptr, nullptr, &source);
  if (!stream) return 0;

  std::vector<uint8_t> records;  // all bytes read as record contents
  for (;;) {
    uint8_t buffer[64];
    size_t length = 0;
    size_t before = source.at;
    size_t heldBefore = stream->buffered;
    aErr err = aStream_ReadRecord(stream, buffer, &length, recordSize, terminator,
                                  terminatorLength);
    if (err == aErrNone) {
      if (length > recordSize) abort();
      records.insert(records.end(), buffer, buffer + length);
    } else if (err == aErrEOF) {
      if (length != 0) abort();
      break;
    } else if (err != aErrNotReady && err != aErrIO) {
      abort();
    }
    // A size of 0 stores nothing and reads nothing: stop once nothing moves.
    if (source.at == before && stream->buffered == heldBefore && length == 0) break;
  }
  // Whatever was pushed back is still in the ring; count it as unread.
  size_t held = stream->buffered;
  aStream_Destroy(&stream);

  // Every stored byte is a delivered byte, in order, with nothing added.
  size_t d = 0;
  for (uint8_t byte : records) {
    while (d < source.delivered.size() && source.delivered[d] != byte) ++d;
    if (d == source.delivered.size()) abort();
    ++d;
  }
  if (records.size() + held > source.delivered.size()) abort();
  // Without read errors, "not ready" loses and reorders nothing.
  if (!source.failed && recordSize > 0 && held == 0 &&
      records != sExpected(source.delivered, recordSize, terminator, terminatorLength))
    abort();
  return 0;
}
