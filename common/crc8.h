/* CRC-8 of serial frames: reflected polynomial 0x31 (table polynomial 0x8C),
 * initial value 0, no final XOR. The nine ASCII digits "123456789" give 0xA1. */
#ifndef QUILLOMAT_CRC8_H
#define QUILLOMAT_CRC8_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One entry per byte value; every entry is below 256. */
extern const uint32_t _crc8LUT[256];

/* The CRC after one more byte. */
uint8_t crc8_update(uint8_t crc, uint8_t byte);

/* The CRC of `length` bytes, starting from 0. A null pointer gives 0. */
uint8_t crc8_create(const uint8_t* data, size_t length);

/* True when the CRC of the bytes equals `expected`. */
bool crc8_check(const uint8_t* data, size_t length, uint8_t expected);

#ifdef __cplusplus
}
#endif

#endif
