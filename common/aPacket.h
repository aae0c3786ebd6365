/* Device packets: a module address, a data length and up to 28 data bytes.
 *
 * Byte form (on every stream, in packet logs, from aPacket_GetBytes): the
 * address byte, the length byte, then exactly `length` data bytes, 2 to 30
 * bytes in all. Module addresses of devices are even and non-zero.
 *
 * aPacket_AddByte assembles a packet from its byte form one byte at a time;
 * the link engine feeds it from a stream and resets the packet after every
 * complete packet or error. */
#ifndef QUILLOMAT_APACKET_H
#define QUILLOMAT_APACKET_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aPACKET_CHECK 0xBEEF    /* check word of every live packet */
#define aPACKET_MAX_DATA 28     /* data bytes per packet */
#define aPACKET_MAX_BYTES 30    /* bytes of the byte form: address, length, data */

typedef struct aPacket {
  uint16_t check;    /* aPACKET_CHECK while the packet is alive */
  uint8_t fillCount; /* bytes fed to aPacket_AddByte since the last reset; 0 when built from data */
  uint8_t address;   /* module address; 0 = no address byte received yet */
  uint8_t dataSize;  /* number of valid data bytes */
  uint8_t data[aPACKET_MAX_DATA];
} aPacket;

/* Template of a new packet: check word set, every other field zero. */
extern const aPacket PACK;

/* True for a non-null packet whose check word is intact. */
#define aVALIDPACKET(p) ((p) != NULL && (p)->check == aPACKET_CHECK)

/* A new empty packet, or NULL when memory runs out. */
aPacket* aPacket_Create(void);

/* A new packet with the given address and the first `length` bytes of
 * `data`; NULL when `data` is NULL, `length` exceeds 28 or memory runs out.
 * A length of 0 (with a non-null pointer) makes an empty packet. */
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);

/* A new packet equal to `packet`; NULL for an invalid packet. */
aPacket* aPacket_Copy(const aPacket* packet);

/* Zeroes fill count, address, length and data. aErrParam for an invalid packet. */
aErr aPacket_Reset(aPacket* packet);

/* Feeds one byte of the byte form:
 *   aErrNone     byte taken (address, length or data byte);
 *   aErrPacket   a 0 address byte, a length byte above 28, or a byte past the
 *                announced length;
 *   aErrOverrun  more than 30 bytes fed since the last reset;
 *   aErrParam    invalid packet. */
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);

/* True when the packet is valid, has an address and every announced byte
 * has been fed (fill count = data length + 2). */
bool aPacket_IsComplete(const aPacket* packet);

/* Writes the byte form into `buffer`. aErrParam for an invalid packet or a
 * NULL buffer, aErrPacket for a data length above 28, aErrOverrun when `size`
 * is below length + 2. `written` (may be NULL) receives length + 2. */
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* written);

/* UEI header fields: command (data byte 0), option (byte 1 & 0x3F), index
 * (byte 2 & 0x1F). aErrParam for a NULL output, aErrPacket when the packet is
 * invalid or too short to hold the field. */
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

/* Frees the packet and nulls the handle. aErrParam when the handle or the
 * packet is NULL or the packet is not a live packet. */
aErr aPacket_Destroy(aPacket** packet);

#ifdef __cplusplus
}
#endif

#endif
