// Firmware downloads, build lists (server and store) and feature tokens.
#include <stdexcept>

#include "BirdFile.h"
#include "Log.h"
#include "Updater.h"
#include "UpdaterStore.h"

uint32_t Updater::Download_Firmware(uint32_t, std::string, bool, bool) {
  _report_unavailable(display, "Firmware download");
  return 0;
}

uint32_t Updater::Download_Firmware(const Fingerprint&, std::string, bool) {
  _report_unavailable(display, "Firmware download");
  return 0;
}

std::map<std::string, std::string> Updater::Get_BuildList(uint32_t) {
  _report_unavailable(display, "Listing the server's builds");
  return {};
}

std::string Updater::Get_JWT(uint32_t) {
  _report_unavailable(display, "Fetching the feature token");
  return {};
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(uint32_t serial) {
  std::map<std::string, std::string> builds;
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, store_path, "Get_BuildListLocal");
  if (!store) return builds;

  // Every visible entry of the device's directory is listed; only those
  // that hold a BIRD image get a version.
  std::vector<UpdaterStoreItem> items;
  store->FindLocalBuilds(serial, items);
  for (const UpdaterStoreItem& item : items) {
    std::string key = item.name.substr(0, item.name.find(".bird"));
    std::string version;
    if (item.IsValid()) {
      std::string path = item.base_path + "/" + item.name;
      if (BirdFile::VerifyFile(path)) {
        // A file with a good header can still fail to inflate; it is listed
        // without a version instead of ending the listing.
        try {
          BirdFile image(path);
          version = image.GetVersion();
        } catch (const std::runtime_error& error) {
          Log::log(DEBUG_Updater, "Could not load birdfile: %s - %s\n", path.c_str(), error.what());
        }
        if (!version.empty())
          Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
        else
          Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
      }
    }
    builds.emplace(key, version);
  }
  return builds;
}
