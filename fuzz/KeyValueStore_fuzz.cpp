// Settings files from raw bytes: split into lines the way the file reader
// delivers them (up to a newline, a line that does not fit ends the
// reading), parsed into a store, then read back through the getters.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "KeyValueStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KeyValueStore store;
  const char* text = reinterpret_cast<const char*>(data);
  size_t pos = 0;
  char line[KeyValueStore::LINE_BUFFER_SIZE];
  while (pos < size) {
    size_t room = sizeof line - 1;
    size_t n = 0;
    while (n < room && pos + n < size && text[pos + n] != '\n') ++n;
    bool newline = n < room && pos + n < size;
    if (newline) ++n;
    std::memcpy(line, text + pos, n);
    line[n] = '\0';
    pos += n;
    if (!newline && n == room) break;  // did not fit
    store.ReadLine(line);
  }
  for (const auto& entry : KeyValueStore(store).entries) {
    const char* key = entry.first.c_str();
    store.GetInt(key, 1);
    store.GetHex(key, 2);
    store.GetBOOL(key, true);
    store.GetDouble(key, 3.0);
    store.GetString(key, "x");
    if (store[key] == nullptr) __builtin_trap();
  }
  return 0;
}
