// The framing stream's get path over arbitrary transport bytes: every
// packet it hands out is a well-formed packet byte form whose frame was
// intact, and the write path frames whatever it is given without fault.
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "aStream_CobsEncoding.h"
#include "cobs.h"
#include "crc8.h"

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  size_t position;
  std::vector<std::vector<uint8_t>> frames;
};

aErr inputGet(uint8_t* byte, void* reference) {
  Input* input = static_cast<Input*>(reference);
  if (input->position >= input->size) return aErrNotReady;
  *byte = input->data[input->position++];
  return aErrNone;
}

aErr inputWrite(const uint8_t* data, size_t length, void* reference) {
  static_cast<Input*>(reference)->frames.emplace_back(data, data + length);
  return aErrNone;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input{data, size, 0, {}};
  aStreamRef stream = nullptr;
  if (aStream_CreateCobsEncoding(inputGet, nullptr, inputWrite, nullptr, &input, &stream) != aErrNone)
    abort();

  // Read until the input is used up and the last packet is handed out.
  std::vector<uint8_t> out;
  for (size_t calls = 0; calls < 2 * size + 64; calls++) {
    uint8_t byte = 0;
    aErr err = stream->getProc(&byte, stream->reference);
    if (err == aErrNone) {
      out.push_back(byte);
    } else if (err != aErrNotReady && err != aErrPacket) {
      abort();
    }
  }
  // The bytes handed out are whole packets, back to back.
  size_t at = 0;
  while (at < out.size()) {
    if (out.size() - at < 2) abort();
    size_t length = out[at + 1];
    if (length > 28 || out.size() - at < length + 2) abort();
    at += length + 2;
  }

  // Every frame written for the same bytes decodes to a packet with its CRC.
  if (stream->writeProc(data, size, stream->reference) != aErrNone) abort();
  for (const std::vector<uint8_t>& frame : input.frames) {
    if (frame.size() < 2 || frame.back() != 0) abort();
    std::vector<uint8_t> decoded(frame.size());
    size_t n = cobs_decode(frame.data(), frame.size() - 1, decoded.data());
    if (n < 3 || n != (size_t)decoded[1] + 3) abort();
    if (!crc8_check(decoded.data(), n - 1, decoded[n - 1])) abort();
  }
  if (aStream_Destroy(&stream) != aErrNone) abort();
  return 0;
}
