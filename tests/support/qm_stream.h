// Reading a byte stream from tests of the stream transports. Header-only,
// for test programs that link the library.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "aStream.h"

namespace qmtest {

// Reads bytes from the stream until `count` arrived or 10 s passed; a
// result other than aErrNotReady ends the read and is returned in `last`.
inline std::vector<uint8_t> readStream(aStreamRef stream, size_t count, aErr* last = nullptr) {
  std::vector<uint8_t> out;
  aErr err = aErrNone;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
    uint8_t byte = 0;
    err = stream->getProc(&byte, stream->reference);
    if (err == aErrNone) {
      out.push_back(byte);
    } else if (err != aErrNotReady) {
      break;
    }
  }
  if (last != nullptr) *last = err;
  return out;
}

}  // namespace qmtest
