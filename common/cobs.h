/* Consistent Overhead Byte Stuffing: turns a block of bytes into one without
 * zero bytes, so that a zero can delimit frames on a serial line.
 *
 * The input is cut at its zero bytes; each piece is written as a code byte
 * (piece length + 1) and the piece's bytes. A run of 254 non-zero bytes is
 * written with code 255 and carries no implied zero. */
#ifndef QUILLOMAT_COBS_H
#define QUILLOMAT_COBS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Room an encoding of `length` bytes may need. */
#define COBS_ENCODED_MAX(length) ((length) + (length) / 254 + 1)

/* Encodes `length` bytes of `source` into `destination`, which must hold
 * COBS_ENCODED_MAX(length) bytes. Returns the encoded length (0 only for
 * null pointers). The two buffers must not overlap. */
size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination);

/* Encodes the first `length` bytes of `buffer` over themselves. The buffer
 * must hold COBS_ENCODED_MAX(length) bytes. Returns the encoded length. */
size_t cobs_encode_inplace(uint8_t* buffer, size_t length);

/* Decodes `length` encoded bytes into `destination` (at most length - 1
 * bytes are written; source and destination may be the same buffer).
 * Returns the decoded length; 0 for malformed input (a zero code byte or a
 * code that points past the end), for an empty input, and for the encoding
 * of an empty block. */
size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination);

/* cobs_decode over the buffer itself. */
size_t cobs_decode_inplace(uint8_t* buffer, size_t length);

#ifdef __cplusplus
}
#endif

#endif
