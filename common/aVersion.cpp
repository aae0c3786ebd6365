#include "aVersion.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <array>

namespace {

struct Feature {
  const char* name;
  const char* description;
};

constexpr size_t NUM_FEATS = 1;
const Feature FEATS[NUM_FEATS] = {{"VERSION", "Version Query API"}};

constexpr const char* kFeatureJoin = " - ";
constexpr const char* kFeatureSeparator = "\n";

}  // namespace

extern "C" uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
  if (major > 2 || (major == 2 && minor > 14)) {
    return (static_cast<uint32_t>(aVERSION_MARKER) << 24) |
           (static_cast<uint32_t>(major) << 16) | (static_cast<uint32_t>(minor) << 8) | patch;
  }
  return (static_cast<uint32_t>(major & 0x0F) << 28) |
         (static_cast<uint32_t>(minor & 0x0F) << 24) | patch;
}

extern "C" bool aVersion_IsLegacyFormat(uint32_t value) {
  const uint32_t high = value >> 28;
  const uint32_t low = (value >> 24) & 0x0F;
  return high < 2 || (high == 2 && low < 15);
}

extern "C" uint8_t aVersion_ParseMajor(uint32_t value) {
  return static_cast<uint8_t>(aVersion_IsLegacyFormat(value) ? value >> 28 : value >> 16);
}

extern "C" uint8_t aVersion_ParseMinor(uint32_t value) {
  return static_cast<uint8_t>(aVersion_IsLegacyFormat(value) ? (value >> 24) & 0x0F
                                                             : value >> 8);
}

extern "C" uint32_t aVersion_ParsePatch(uint32_t value) {
  return aVersion_IsLegacyFormat(value) ? value & 0x00FFFFFF : value & 0xFF;
}

extern "C" aErr aVersion_ParseString(uint32_t value, char* buffer, size_t size) {
  if (!buffer || size == 0) return aErrParam;
  snprintf(buffer, size, "%d.%d.%d", aVersion_ParseMajor(value), aVersion_ParseMinor(value),
           static_cast<int>(aVersion_ParsePatch(value)));
  return aErrNone;
}

extern "C" bool aVersion_IsAtLeastCompare(uint8_t major, uint8_t minor, uint8_t patch,
                                          uint8_t wantMajor, uint8_t wantMinor,
                                          uint8_t wantPatch) {
  if (major != wantMajor) return major > wantMajor;
  if (minor != wantMinor) return minor > wantMinor;
  return patch >= wantPatch;
}

extern "C" uint8_t aVersion_GetMajor(void) { return aVERSION_MAJOR; }
extern "C" uint8_t aVersion_GetMinor(void) { return aVERSION_MINOR; }
extern "C" uint8_t aVersion_GetPatch(void) { return aVERSION_PATCH; }

extern "C" bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
  return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major,
                                   minor, patch);
}

extern "C" const char* aVersion_GetString(void) {
  // Built once; the initialisation of a local static is thread-safe, so
  // first calls from several threads do not race on the buffer.
  static const std::array<char, 15> text = [] {
    std::array<char, 15> buffer{};
    snprintf(buffer.data(), buffer.size(), "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR,
             aVERSION_PHASE, aVERSION_PATCH);
    return buffer;
  }();
  return text.data();
}

extern "C" bool aVersion_HasFeature(const char* name) {
  if (!name) return false;
  for (const Feature& feature : FEATS)
    if (strcmp(feature.name, name) == 0) return true;
  return false;
}

extern "C" char* aVersion_GetFeatureList(void) {
  size_t length = 0;
  for (size_t i = 0; i < NUM_FEATS; ++i) {
    if (i > 0) length += strlen(kFeatureSeparator);
    length += strlen(FEATS[i].name) + strlen(kFeatureJoin) + strlen(FEATS[i].description);
  }
  char* list = static_cast<char*>(malloc(length + 1));
  if (!list) return NULL;
  list[0] = '\0';
  for (size_t i = 0; i < NUM_FEATS; ++i) {
    if (i > 0) strcat(list, kFeatureSeparator);
    strcat(list, FEATS[i].name);
    strcat(list, kFeatureJoin);
    strcat(list, FEATS[i].description);
  }
  return list;
}

extern "C" aErr aVersion_DestroyFeatureList(char** list) {
  if (!list || !*list) return aErrParam;
  free(*list);
  *list = NULL;
  return aErrNone;
}
