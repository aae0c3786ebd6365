/* COBS encoder and decoder. */
#include "cobs.h"

#include <string.h>

extern "C" {

size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination) {
  if (source == nullptr || destination == nullptr) return 0;
  size_t out = 1;        // next free position
  size_t codeAt = 0;     // where the current block's code byte goes
  uint8_t code = 1;      // current block length + 1
  for (size_t i = 0; i < length; i++) {
    if (source[i] == 0) {
      destination[codeAt] = code;
      codeAt = out++;
      code = 1;
      continue;
    }
    destination[out++] = source[i];
    if (++code == 0xFF) {
      // A full run of 254 bytes closes without an implied zero.
      destination[codeAt] = code;
      codeAt = out++;
      code = 1;
    }
  }
  destination[codeAt] = code;
  return out;
}

size_t cobs_encode_inplace(uint8_t* buffer, size_t length) {
  if (buffer == nullptr) return 0;
  // Count the code bytes the encoding adds, move the input up by that many
  // and encode forwards: the output never overtakes the unread input,
  // because it is ahead of the input's old place by at most the overhead
  // written so far.
  size_t extra = 1;
  uint8_t code = 1;
  for (size_t i = 0; i < length; i++) {
    if (buffer[i] == 0) {
      code = 1;
    } else if (++code == 0xFF) {
      extra++;
      code = 1;
    }
  }
  memmove(buffer + extra, buffer, length);
  const uint8_t* source = buffer + extra;
  size_t out = 1;
  size_t codeAt = 0;
  code = 1;
  for (size_t i = 0; i < length; i++) {
    uint8_t byte = source[i];
    if (byte == 0) {
      buffer[codeAt] = code;
      codeAt = out++;
      code = 1;
      continue;
    }
    buffer[out++] = byte;
    if (++code == 0xFF) {
      buffer[codeAt] = code;
      codeAt = out++;
      code = 1;
    }
  }
  buffer[codeAt] = code;
  return out;
}

size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination) {
  if (source == nullptr || destination == nullptr || length == 0) return 0;
  size_t in = 0;
  size_t out = 0;
  while (in < length) {
    uint8_t code = source[in++];
    if (code == 0) return 0;                 // zero bytes never occur inside a frame
    size_t run = (size_t)code - 1;
    if (run > length - in) return 0;         // the block runs past the end
    // memmove: in place the output trails the input by at least one byte.
    memmove(destination + out, source + in, run);
    out += run;
    in += run;
    if (code != 0xFF && in < length) destination[out++] = 0;
  }
  return out;
}

size_t cobs_decode_inplace(uint8_t* buffer, size_t length) {
  return cobs_decode(buffer, length, buffer);
}

}  // extern "C"
