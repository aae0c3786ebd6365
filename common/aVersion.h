/* Packed 32-bit firmware versions and the library's own version.
 *
 * Current format: 0x2F, major, minor, patch (one byte each, most significant
 * first). Legacy format: major in bits 31-28, minor in bits 27-24, patch in
 * bits 23-0. A value is legacy when (bits 31-28, bits 27-24) is below (2, 15). */
#ifndef QUILLOMAT_AVERSION_H
#define QUILLOMAT_AVERSION_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 12
#define aVERSION_PATCH 1
#define aVERSION_PHASE "."       /* separator between minor and patch */
#define aVERSION_MARKER 0x2F     /* top byte of a current-format value */

/* Current format when major > 2 or (major 2 and minor > 14), else legacy. */
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);

bool aVersion_IsLegacyFormat(uint32_t value);
uint8_t aVersion_ParseMajor(uint32_t value);
uint8_t aVersion_ParseMinor(uint32_t value);
/* Low 24 bits in legacy format, low 8 bits in current format. */
uint32_t aVersion_ParsePatch(uint32_t value);

/* Writes "major.minor.patch" into `buffer`, truncated to `size` bytes
 * (terminator included). aErrParam for a NULL buffer or a size of 0. */
aErr aVersion_ParseString(uint32_t value, char* buffer, size_t size);

/* True when (major, minor, patch) >= (wantMajor, wantMinor, wantPatch). */
bool aVersion_IsAtLeastCompare(uint8_t major, uint8_t minor, uint8_t patch,
                               uint8_t wantMajor, uint8_t wantMinor, uint8_t wantPatch);

/* The library's version: 2.12.1. */
uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint8_t aVersion_GetPatch(void);
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);
/* "2.12.1"; a static string, built on first use. */
const char* aVersion_GetString(void);

/* True when the library has the named feature ("VERSION"). */
bool aVersion_HasFeature(const char* name);
/* A new string: one "name - description" line per feature, separated by
 * "\n"; NULL when memory runs out. Free with aVersion_DestroyFeatureList. */
char* aVersion_GetFeatureList(void);
/* Frees the list and nulls the pointer; aErrParam for a NULL handle or list. */
aErr aVersion_DestroyFeatureList(char** list);

#ifdef __cplusplus
}
#endif

#endif
