// Firmware downloads, build lists (server and store) and feature tokens.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <thread>

#include "BirdFile.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "base64.h"

namespace {

// A build number typed by the user: decimal digits only; the low 32 bits
// of the value count. False for anything else, or a value too large to read.
bool sParseUserBuild(const std::string& text, uint32_t& build) {
  if (text.empty()) {
    build = 0;
    return true;
  }
  if (text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return false;
  build = static_cast<uint32_t>(value);
  return true;
}

// A build number from the server or the store: read like std::stoul (leading
// blanks, digits up to the first other character); 0 when it isn't a number.
uint32_t sParseBuildText(const std::string& text) {
  try {
    return static_cast<uint32_t>(std::stoul(text));
  } catch (const std::exception&) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    return 0;
  }
}

std::string sNow() {
  const std::time_t now = std::time(nullptr);
  char text[64] = "";
  if (const char* stamp = std::ctime(&now)) std::snprintf(text, sizeof text, "%.24s", stamp);
  return text;
}

// What the download worker needs; the main thread keeps the image text and
// reads it only after the future holds the result.
struct DownloadJob {
  std::string server_url;
  std::promise<bool> done;
  uint32_t serial = 0;
  std::string firmware;
  std::string build;
  std::string* image = nullptr;
  bool no_cal = false;
};

void sDownload(DownloadJob job) {
  bool ok = false;
  try {
    ok = UpdateServerRequest::GetBuild(job.serial, job.firmware, job.build, *job.image, job.server_url.c_str(),
                                       job.no_cal);
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "GetBuild ==> [%s]\n", e.what());
  }
  job.done.set_value(ok);
}

// True when the server lists `build` for the device.
bool _valid_build(uint32_t serial, uint32_t build, const std::string& url) {
  std::map<std::string, std::string> builds;
  if (!UpdateServerRequest::GetBuildList(serial, builds, url.c_str())) return false;
  for (const auto& entry : builds)
    if (sParseBuildText(entry.first) == build) return true;
  return false;
}

}  // namespace

uint32_t Updater::Download_Firmware(uint32_t serial, std::string build_text, bool override, bool no_cal) {
  uint32_t build = 0;
  if (!sParseUserBuild(build_text, build)) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Build number '%s' must be an number", build_text.c_str());
    return 0;
  }
  if (serial == 0) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Serial Number must be non-zero");
    return 0;
  }
  if (!UpdateServerRequest::ping(server_url.c_str())) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s", server_url.c_str());
    return 0;
  }

  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, store_path, "Download_Firmware");
  if (!store) return 0;
  UpdaterStoreItem item;
  if (!store->FindDevice(serial, &item)) {
    Log::log(DEBUG_APP, "Could not find device in our update history.\n");
    try {
      item = store->AddDevice(serial);
    } catch (const std::runtime_error&) {
      display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not create directory for storing BIRD file");
      return 0;
    }
  }

  std::string server_build;
  std::string firmware;
  if (!UpdateServerRequest::QueryBuild(serial, server_build, firmware, server_url.c_str())) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "No build information for device");
    return 0;
  }
  if (build == 0) build = sParseBuildText(server_build);
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "Retrieving build %u", build);

  if (override) {
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Override specified, skipping validation of build %u",
                    build);
  } else {
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Validating build %u with server", build);
    if (!_valid_build(serial, build, server_url)) {
      display.message(UpdaterDisplayInterface::LEVEL_ERROR, "No valid build %u", build);
      return 0;
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Build %u is valid", build);
  }

  // The request runs on a worker thread so that the spinner keeps turning.
  build_text = std::to_string(build);
  std::string image;
  DownloadJob job;
  job.server_url = server_url;
  job.serial = serial;
  job.firmware = firmware;
  job.build = build_text;
  job.image = &image;
  job.no_cal = no_cal;
  std::future<bool> result = job.done.get_future();
  std::thread worker(sDownload, std::move(job));

  display.update_spinner(true, "Downloading");
  while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
    display.update_spinner(true, "Downloading");
  display.update_spinner(false, "Downloading");
  if (!result.get()) display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Download failed");
  worker.join();

  if (image.empty()) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve a valid BIRD file");
    return 0;
  }
  size_t length = 0;
  std::unique_ptr<char, decltype(&std::free)> bytes(base64_decode(image.data(), image.size(), &length), &std::free);
  if (!bytes) {
    Log::log(DEBUG_Updater, "Download_Firmware: the image text (%zu characters) is not Base64\n", image.size());
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve a valid BIRD file");
    return 0;
  }

  const std::string name = build_text + ".bird";
  const aErr written = item.WriteFile(name, reinterpret_cast<const uint8_t*>(bytes.get()), length);
  if (written != aErrNone) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to write file with %d", static_cast<int>(written));
    // A partly written image must not be taken for a download later.
    std::error_code ec;
    const std::string path = item.base_path + "/" + item.name + "/" + name;
    if (std::filesystem::is_regular_file(path, ec)) std::filesystem::remove(path, ec);
    return 0;
  }
  item.settings.Add("LATEST_DOWNLOAD", name);
  item.settings.Add("LAST_DOWNLOAD_DATE", sNow());
  item.settings.Save(nullptr);
  return build;
}

uint32_t Updater::Download_Firmware(const Fingerprint& fingerprint, std::string build_text, bool override) {
  const uint32_t wanted = build_text.empty() ? 0 : sParseBuildText(build_text);
  uint32_t serial = 0;
  uint32_t server_build = 0;
  if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serial, &server_build, server_url.c_str())) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Failed to retrieve recovery information from Ostrevan update server");
    return 0;
  }
  const uint32_t build = wanted != 0 ? wanted : server_build;
  return Download_Firmware(serial, std::to_string(build), override, false);
}

std::map<std::string, std::string> Updater::Get_BuildList(uint32_t serial) {
  std::map<std::string, std::string> builds;
  if (!UpdateServerRequest::ping(server_url.c_str())) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s", server_url.c_str());
  } else if (!UpdateServerRequest::GetBuildList(serial, builds, server_url.c_str())) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve builds for %08X", serial);
    builds.clear();
  }
  return builds;
}

std::string Updater::Get_JWT(uint32_t serial) {
  std::string token;
  if (!UpdateServerRequest::ping(server_url.c_str())) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s", server_url.c_str());
  } else if (!UpdateServerRequest::GetDeviceJWT(serial, token, server_url.c_str())) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve jwt for %08X", serial);
    token.clear();
  }
  return token;
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
