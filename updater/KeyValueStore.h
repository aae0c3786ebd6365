// Text settings kept in memory and in a small file of "key=value" lines,
// written in key order. The store stamps the file with its creation and
// last-update times.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "aError.h"

class KeyValueStore {
 public:
  static const char* const DEFAULT_FILENAME;  // ".settings"
  static const char* const KEY_CREATED_TIME;  // "CREATED_TIME"
  static const char* const KEY_UPDATED_TIME;  // "UPDATED_TIME"
  // Longest line Load reads, newline and terminator included.
  static constexpr size_t LINE_BUFFER_SIZE = 2048;

  explicit KeyValueStore(const char* path = nullptr);
  KeyValueStore(const KeyValueStore& other) = default;
  KeyValueStore& operator=(const KeyValueStore& other) = default;
  ~KeyValueStore();

  // Merges the file's entries into the store; a missing file is created
  // with the two time stamps (and aErrParam is returned).
  aErr Load(const char* path);
  // Writes every entry; a null path means the file last loaded or saved.
  // The file is replaced as a whole, never left half-written.
  void Save(const char* path = nullptr);

  // Value of `key`, or null when absent.
  const char* operator[](const char* key) const;

  // Typed getters: an absent key is added with an empty value; an empty
  // value gives `def`.
  int GetInt(const char* key, int def = 0);
  uint32_t GetHex(const char* key, uint32_t def = 0);
  bool GetBOOL(const char* key, bool def = false);
  double GetDouble(const char* key, double def = 0.0);
  // The value (even when empty); `def` (or "") when the key is absent.
  std::string GetString(const char* key, const char* def = nullptr) const;

  bool Add(const char* key, int value);
  bool Add(const char* key, double value);
  bool Add(const char* key, const char* value);
  bool Add(const char* key, const std::string& value);
  bool AddHex(const char* key, uint32_t value);
  bool Add(const KeyValueStore& other);
  bool Clear();

  // Parses one settings line. False for lines that hold no entry
  // (too short, comments, no "="). `line` is a NUL-terminated string.
  static bool ParseLine(const char* line, std::string& key, std::string& value);
  // Parses one line and stores its entry, as Load does for each line.
  void ReadLine(const char* line);

  // Local time in ctime's form without the newline.
  static std::string TimeText();

  std::string filename;
  std::map<std::string, std::string> entries;
  bool dirty = false;

 private:
  // Inserting lookup of the typed getters: null when the value is empty.
  const char* NonEmpty(const char* key);
};
