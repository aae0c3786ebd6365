// Base64 (RFC 4648, standard alphabet, "=" padding, no line breaks).
// Both functions return a malloc'ed buffer that the caller releases with
// free(), or null on failure.
#pragma once

#include <cstddef>

// Encodes `length` bytes. The result holds 4 * ceil(length / 3) characters
// and a terminating zero byte that `*out_length` does not count.
char* base64_encode(const char* data, size_t length, size_t* out_length);

// Decodes `length` characters. Fails (null) when the length is not a
// multiple of 4 or a character is outside the alphabet. The decoded bytes
// are followed by one zero byte so that decoded text can be used as a
// string; `*out_length` counts the bytes only.
char* base64_decode(const char* text, size_t length, size_t* out_length);
