#include "UpdaterStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "Log.h"
#include "aDirectory.h"
#include "path.h"
#include "unix_file.h"

namespace {

constexpr uint32_t DIRECTORY_MODE = 0755;

std::string serialName(uint32_t serial) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", serial);
  return text;
}

// Makes sure `path` is a directory, creating it with its parents.
void ensureDirectory(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    aErr err = aDirectory_Ensure(path.c_str(), DIRECTORY_MODE);
    if (err != aErrNone)
      throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                               std::to_string(err));
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
  } else if (!S_ISDIR(st.st_mode)) {
    throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
  } else {
    Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
  }
}

void splitPath(const char* full, std::string& dir, std::string& entry) {
  std::string path = full;
  size_t slash = path.rfind(aDIR_PATH_SEP[0]);
  dir = slash == std::string::npos ? std::string() : path.substr(0, slash);
  entry = slash == std::string::npos ? path : path.substr(slash + 1);
}

// State of one search walk. The first entry whose name contains the text
// is kept, but an entry named exactly by it wins over such near matches
// (a device directory over "000012AB-old" beside it).
struct Search {
  result_t* result = nullptr;
  bool exact = false;
  std::string dir, entry;
  bool isDirectory = false;
};

bool findItem(const aDirectoryListData* data, void* reference) {
  Search& search = *static_cast<Search*>(reference);
  result_t& result = *search.result;
  Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", data->path,
           data->isDirectory, data->size, result.name.c_str());
  std::string dir, entry;
  splitPath(data->path, dir, entry);
  if (entry == "." || entry == "..") return true;
  if (entry.find(result.name) == std::string::npos) return true;
  bool exact = entry == result.name;
  if (!result.found || exact) {
    result.found = true;
    search.exact = exact;
    search.dir = dir;
    search.entry = entry;
    search.isDirectory = data->isDirectory != 0;
  }
  return !exact;
}

// Walks `directory` for `result.name`; fills `result.item` when found.
bool findEntry(const std::string& directory, result_t& result) {
  Search search;
  search.result = &result;
  aDirectory_List(directory.c_str(), findItem, &search);
  if (result.found && result.item)
    *result.item = UpdaterStoreItem(search.dir, search.entry,
                                    search.isDirectory ? ITEM_DIRECTORY : ITEM_FILE);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", result.found ? "Found" : "Not Found",
           result.name.c_str());
  return result.found;
}

struct Collect {
  std::vector<UpdaterStoreItem>* builds;
};

bool collectItems(const aDirectoryListData* data, void* reference) {
  Collect& collect = *static_cast<Collect*>(reference);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", data->path, data->isDirectory,
           data->size);
  std::string dir, entry;
  splitPath(data->path, dir, entry);
  if (entry.empty() || entry[0] == '.') return true;  // ".", ".." and hidden files
  collect.builds->emplace_back(dir, entry, data->isDirectory ? ITEM_DIRECTORY : ITEM_FILE);
  return true;
}

}  // namespace

UpdaterStoreItem::UpdaterStoreItem(const std::string& base, const std::string& entry,
                                   store_item_t item_kind)
    : base_path(base), name(entry), kind(item_kind) {
  std::string path = BuildPath(base_path.c_str(), name.c_str(), ".settings", nullptr);
  settings.Load(path.c_str());
}

bool UpdaterStoreItem::FileExists(const std::string& entry) const {
  result_t result{false, entry, nullptr};
  return findEntry(BuildPath(base_path.c_str(), name.c_str(), nullptr), result);
}

aErr UpdaterStoreItem::WriteFile(const std::string& file, const uint8_t* data, size_t length) {
  if (!data) return aErrNotFound;
  // Stored files are named by the caller (a build number); a name that
  // would leave the item's directory is refused.
  if (file.empty() || file == "." || file == ".." || file.find(aDIR_PATH_SEP[0]) != std::string::npos)
    return aErrParam;
  std::string path = BuildPath(base_path.c_str(), name.c_str(), file.c_str(), nullptr);
  // Written beside the target under a hidden name and renamed over it, so
  // an interrupted write never leaves a half-written file under the name.
  std::string temporary = BuildPath(base_path.c_str(), name.c_str(),
                                    ("." + file + ".tmp" + std::to_string(getpid())).c_str(),
                                    nullptr);
  aFileRef out = aFile_Open(temporary.c_str(), aFileModeWriteOnly);
  if (!out) return aErrNotFound;
  aErr err = aFile_Write(out, data, length, nullptr);
  aErr closed = aFile_Close(&out);
  if (err == aErrNone) err = closed;
  if (err == aErrNone && std::rename(temporary.c_str(), path.c_str()) != 0) err = aErrIO;
  if (err != aErrNone) std::remove(temporary.c_str());
  return err;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& file) const {
  std::string path = BuildPath(base_path.c_str(), name.c_str(), file.c_str(), nullptr);
  if (!BirdFile::VerifyFile(path)) throw std::runtime_error("Invalid bird " + path);
  return BirdFile(path);
}

UpdaterStore::UpdaterStore(const std::string& base) : base_path(base) { ensureDirectory(base_path); }

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) { return AddDevice(serialName(serial)); }

UpdaterStoreItem UpdaterStore::AddDevice(const std::string& device) {
  ensureDirectory(BuildPath(base_path.c_str(), device.c_str(), nullptr));
  return UpdaterStoreItem(base_path, device, ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(const std::string& device, UpdaterStoreItem* item) const {
  result_t result{false, device, item};
  return findEntry(base_path, result);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item) const {
  return FindDevice(serialName(serial), item);
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& builds) const {
  UpdaterStoreItem device;
  if (FindDevice(serial, &device)) {
    Collect collect{&builds};
    aDirectory_List(BuildPath(device.base_path.c_str(), device.name.c_str(), nullptr).c_str(),
                    collectItems, &collect);
  }
  return true;
}
