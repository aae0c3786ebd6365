#include "KeyValueStore.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Log.h"
#include "unix_file.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {

void trimRight(std::string& text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
}

// A hidden name beside `target`, so the finished file can be renamed over
// it and a crash never leaves the target half-written.
std::string temporaryName(const std::string& target) {
  size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  return dir + "." + base + ".tmp" + std::to_string(getpid());
}

}  // namespace

KeyValueStore::KeyValueStore(const char* path) {
  if (path) Load(path);
}

KeyValueStore::~KeyValueStore() { entries.clear(); }

std::string KeyValueStore::TimeText() {
  time_t now = time(nullptr);
  char text[64] = "";
  if (!ctime_r(&now, text)) return std::string();
  std::string result = text;
  if (!result.empty() && result.back() == '\n') result.pop_back();
  return result;
}

bool KeyValueStore::ParseLine(const char* line, std::string& key, std::string& value) {
  if (!line) return false;
  size_t length = std::strlen(line);
  if (length < 3 || line[0] == '#') return false;
  const char* p = line;
  while (*p && std::isspace(static_cast<unsigned char>(*p))) ++p;
  const char* equals = std::strchr(p, '=');
  if (!equals) return false;  // not an entry: skipped
  key.assign(p, equals);
  trimRight(key);
  const char* v = equals + 1;
  while (*v && std::isspace(static_cast<unsigned char>(*v))) ++v;
  value.assign(v);
  trimRight(value);
  return true;
}

void KeyValueStore::ReadLine(const char* line) {
  std::string key, value;
  if (ParseLine(line, key, value)) entries[key] = value;
}

aErr KeyValueStore::Load(const char* path) {
  if (!path) return aErrParam;
  aFileRef file = aFile_Open(path, aFileModeReadOnly);
  if (!file) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path,
             errno);
    // Both stamps carry the same time, whatever second Save runs in.
    std::string now = TimeText();
    Add(KEY_CREATED_TIME, now);
    Add(KEY_UPDATED_TIME, now);
    dirty = false;
    Save(path);
  }
  filename = path;
  dirty = false;
  if (!file) return aErrParam;
  char line[LINE_BUFFER_SIZE];
  size_t length = 0;
  // Reading ends at end of file, on an error, or at a line that does not
  // fit the buffer; what was read before stays.
  while (aFile_ReadLine(file, line, sizeof line, &length) == aErrNone) ReadLine(line);
  return aFile_Close(&file);
}

void KeyValueStore::Save(const char* path) {
  if (path) {
    filename = path;
  } else if (filename.empty()) {
    filename = DEFAULT_FILENAME;
    Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
             filename.c_str());
  }
  if (dirty) Add(KEY_UPDATED_TIME, TimeText());

  std::string temporary = temporaryName(filename);
  aFileRef file = aFile_Open(temporary.c_str(), aFileModeWriteOnly);
  if (!file) {
    Log::log(DEBUG_Attributes,
             "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             filename.c_str(), errno);
    return;
  }
  aErr err = aErrNone;
  for (const auto& entry : entries) {
    err = aFile_Printf(file, "%s=%s\n", entry.first.c_str(), entry.second.c_str());
    if (err != aErrNone) break;
  }
  aErr closed = aFile_Close(&file);
  if (err == aErrNone) err = closed;
  if (err == aErrNone && std::rename(temporary.c_str(), filename.c_str()) != 0) err = aErrIO;
  if (err != aErrNone) {
    // The old file is untouched; the entries stay changed for a later Save.
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n",
             filename.c_str(), errno);
    std::remove(temporary.c_str());
    return;
  }
  dirty = false;
}

const char* KeyValueStore::operator[](const char* key) const {
  if (!key) return nullptr;
  auto it = entries.find(key);
  return it == entries.end() ? nullptr : it->second.c_str();
}

const char* KeyValueStore::NonEmpty(const char* key) {
  if (!key) return nullptr;
  const std::string& value = entries[key];
  return value.empty() ? nullptr : value.c_str();
}

int KeyValueStore::GetInt(const char* key, int def) {
  const char* value = NonEmpty(key);
  if (!value) return def;
  // atoi's result for numbers in range, without its undefined overflow.
  long n = std::strtol(value, nullptr, 10);
  return n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : int(n);
}

uint32_t KeyValueStore::GetHex(const char* key, uint32_t def) {
  const char* value = NonEmpty(key);
  return value ? uint32_t(std::strtol(value, nullptr, 16)) : def;
}

bool KeyValueStore::GetBOOL(const char* key, bool def) {
  const char* value = NonEmpty(key);
  return value ? std::strtol(value, nullptr, 10) != 0 : def;
}

double KeyValueStore::GetDouble(const char* key, double def) {
  const char* value = NonEmpty(key);
  return value ? std::atof(value) : def;
}

std::string KeyValueStore::GetString(const char* key, const char* def) const {
  const char* value = (*this)[key];
  if (value) return value;
  return def ? def : "";
}

bool KeyValueStore::Add(const char* key, const std::string& value) {
  if (!key) return false;
  std::string& slot = entries[key];  // an absent key counts as empty
  if (slot != value) dirty = true;
  slot = value;
  return true;
}

bool KeyValueStore::Add(const char* key, const char* value) {
  return Add(key, std::string(value ? value : ""));
}

bool KeyValueStore::Add(const char* key, int value) { return Add(key, std::to_string(value)); }

bool KeyValueStore::Add(const char* key, double value) {
  char text[512];
  std::snprintf(text, sizeof text, "%f", value);
  return Add(key, std::string(text));
}

bool KeyValueStore::AddHex(const char* key, uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return Add(key, std::string(text));
}

bool KeyValueStore::Add(const KeyValueStore& other) {
  if (&other == this) {
    dirty = dirty || !entries.empty();
    return true;
  }
  for (const auto& entry : other.entries) {
    entries[entry.first] = entry.second;
    dirty = true;
  }
  return true;
}

bool KeyValueStore::Clear() {
  entries.clear();
  dirty = true;
  return true;
}
