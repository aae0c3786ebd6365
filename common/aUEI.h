/* UEI messages inside packet data. All multi-byte values are big-endian.
 *
 *   data[0]  command (entity class)
 *   data[1]  option: code in bits 0-5, request/reply flags in bits 6-7
 *   data[2]  index: entity index in bits 0-4; 0x20 request, 0x40 stream
 *            sample, 0x80 error reply (data[3] is then the error code)
 *   data[3.] value: none, 8, 16 or 32 bits; a subindex byte comes first
 *
 * A byte block travels in consecutive packets: the three header bytes, up to
 * 24 payload bytes and a trailing byte whose bit 7 says "more follow" and
 * whose bits 0-6 are the packet's sequence number (from 0, modulo 128). */
#ifndef QUILLOMAT_AUEI_H
#define QUILLOMAT_AUEI_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aPacket.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aUEI_OPTION_MASK 0x3F
#define aUEI_INDEX_MASK 0x1F
#define aUEI_INDEX_REQUEST 0x20
#define aUEI_INDEX_STREAM 0x40
#define aUEI_INDEX_ERROR 0x80
#define aUEI_BLOCK_CHUNK 24          /* payload bytes per byte-block packet */
#define aUEI_BLOCK_CONTINUE 0x80     /* trailing byte: more packets follow */
#define aUEI_BLOCK_SEQUENCE 0x7F     /* trailing byte: sequence number */

/* Write 2 or 4 bytes big-endian; a NULL buffer is left alone. */
void aUEI_StoreShort(uint8_t* buffer, uint16_t value);
void aUEI_StoreInt(uint8_t* buffer, uint32_t value);

/* Read 2 or 4 big-endian bytes; 0 for a NULL buffer. */
int16_t aUEI_RetrieveShort(const uint8_t* buffer);
int32_t aUEI_RetrieveInt(const uint8_t* buffer);

/* Converts `count` consecutive 32-bit words in place from big-endian byte
 * order to host order. */
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

/* Sequence number (bits 0-6) and continue flag (bit 7) of the last data byte
 * of a byte-block packet; 0 / false for a NULL or empty packet. */
uint8_t aUEI_getBytesSequence(const aPacket* packet);
bool aUEI_getBytesContinue(const aPacket* packet);

/* True when the data length is 27 or 28: a byte-block packet that was filled. */
bool aUEI_getBytesFullPacket(const aPacket* packet);

/* True when data byte 0 is a command that is not a UEI message (0, 1, 2, 4,
 * 8, 9, 23, 24, 73, 94, 95, 173, 175) or the packet carries no data; false
 * for a NULL packet. */
bool aUEI_isNotUEIPayload(const aPacket* packet);
/* The negation of aUEI_isNotUEIPayload (so true for a NULL packet). */
bool aUEI_isUEIPayload(const aPacket* packet);

/* True for a stream sample: more than 4 data bytes, a UEI command, option
 * flag bits 6-7 clear and index bit 6 set. */
bool aUEI_isStreamPacket(const aPacket* packet);

#ifdef __cplusplus
}
#endif

#endif
