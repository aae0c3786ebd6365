// The updater store: a directory tree with one directory per device (named
// by its serial number, "%08X"), holding downloaded BIRD files (NNNN.bird)
// and a ".settings" file of the latest download and transfer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aError.h"

enum store_item_t {
  ITEM_FILE = 0,
  ITEM_DIRECTORY = 1,
  ITEM_NONE = 2,
};

// One entry of the store: a device directory or a file in one.
class UpdaterStoreItem {
 public:
  UpdaterStoreItem() = default;
  // Loads the settings from base/name/.settings (creating that file when
  // the entry is a directory without one).
  UpdaterStoreItem(const std::string& base, const std::string& name, store_item_t kind);

  bool IsValid() const { return !base_path.empty() && !name.empty(); }
  // Whether an entry whose name contains `name` is in this item's directory.
  bool FileExists(const std::string& entry) const;
  // Writes a file into this item's directory (replacing it as a whole);
  // aErrNotFound for a null buffer or a file that can't be created.
  aErr WriteFile(const std::string& file, const uint8_t* data, size_t length);
  // Loads a stored BIRD file; throws std::runtime_error ("Invalid bird
  // <path>" for a bad header, "Failed to load bird data" when it won't load).
  BirdFile ReadBirdFile(const std::string& file) const;

  std::string base_path;
  std::string name;
  store_item_t kind = ITEM_NONE;
  KeyValueStore settings;
};

// Search record handed to the directory walk.
struct result_t {
  bool found = false;
  std::string name;
  UpdaterStoreItem* item = nullptr;
};

class UpdaterStore {
 public:
  // Opens the store, creating the directory (and missing parents);
  // throws std::runtime_error when it can't.
  explicit UpdaterStore(const std::string& base);

  const std::string& BasePath() const { return base_path; }

  UpdaterStoreItem AddDevice(uint32_t serial);
  UpdaterStoreItem AddDevice(const std::string& device);

  bool FindDevice(const std::string& device, UpdaterStoreItem* item) const;
  bool FindDevice(uint32_t serial, UpdaterStoreItem* item) const;

  // Appends an item for every visible entry of the device's directory.
  bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& builds) const;

  std::string base_path;
};
