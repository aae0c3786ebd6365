// The -U workflow for a device that runs firmware: choose the image,
// personalise it, connect (directly or through a router), check it against
// the device, send the loader, follow the device when it comes back, send
// the firmware, reboot, and record the transfer in the store.
#include <cinttypes>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

#include "BirdFile.h"
#include "Log.h"
#include "Module.h"
#include "Quillomat-C.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "UpdaterStore.h"
#include "aDefs.h"
#include "autoGen_SystemClass_CPP.h"
#include "unix_time.h"

using Ostrevan::Quillomat::Module;
using Ostrevan::Quillomat::SystemClass;

namespace {

constexpr int ENUMERATION_ATTEMPTS = 15;
constexpr int ENUMERATION_REFRESH_EVERY = 3;
constexpr uint32_t ENUMERATION_DELAY_MS = 1000;
constexpr int FIRMWARE_BLOCK_ATTEMPTS = 5;
constexpr uint32_t LOADER_DROP_WAIT_MS = 500;
constexpr uint32_t LOADER_DROP_POLL_MS = 50;

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// True when the device's link drops within a short while.
bool sLinkDrops(Module& device) {
  for (uint32_t waited = 0; waited < LOADER_DROP_WAIT_MS; waited += LOADER_DROP_POLL_MS) {
    if (!device.isConnected()) return true;
    aTime_MSSleep(LOADER_DROP_POLL_MS);
  }
  return !device.isConnected();
}

std::string sBirdName(uint32_t build) { return std::to_string(build) + ".bird"; }

// Connects to a device by serial number: USB first, TCP/IP when USB does
// not know it.
aErr sConnect(Module& module, uint32_t serial) {
  aErr err = module.connect(USB, serial);
  if (err == aErrNotFound) err = module.connect(TCPIP, serial);
  return err;
}

// The build to update to when no file was given, or 0.
uint32_t sChooseBuild(UpdaterDisplayInterface& display, UpdaterStoreItem& item, uint32_t serial,
                      uint32_t build, const std::string& server_url) {
  if (build == 0) {
    std::string current, firmware;
    UpdateServerRequest::QueryBuild(serial, current, firmware, server_url.c_str());
    if (!current.empty()) {
      char* end = nullptr;
      unsigned long number = std::strtoul(current.c_str(), &end, 10);
      if (end == current.c_str() || *end != '\0' || number > UINT32_MAX)
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", current.c_str());
      else
        build = static_cast<uint32_t>(number);
    }
    if (build != 0) {
      try {
        item.ReadBirdFile(sBirdName(build));
      } catch (const std::runtime_error&) {
        build = 0;
        display.message(INFO,
                        "New firmware is available.  Updater will proceed if valid firmware is "
                        "found locally.");
      }
    }
  }
  if (build == 0) {
    build = static_cast<uint32_t>(item.settings.GetInt("LATEST_DOWNLOAD", 0));
    if (build != 0) display.message(INFO, "Updating with the Latest Download");
  }
  if (build == 0) {
    build = static_cast<uint32_t>(item.settings.GetInt("LATEST_TRANSFER", 0));
    if (build != 0) display.message(INFO, "Updating with the Latest Transfer");
  }
  return build;
}

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& image, Module& device,
                        uint32_t serial) {
  if (image.block_count == 0) return false;
  if (!image.has_serial_offsets && !image.ValidateSerialNumber(serial)) return false;
  Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
  SystemClass system;
  system.init(&device, 0);
  uint32_t deviceSerial = 0;
  aErr err = system.getSerialNumber(&deviceSerial);
  if (err != aErrNone || deviceSerial != serial) {
    Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", err);
    return false;
  }
  uint8_t model = 0;
  err = system.getModel(&model);
  const char* name = aDefs_GetModelName(model);
  if (err != aErrNone || !image.ValidateModel(name)) {
    display.message(ERROR, "Connected device model and Bird file model do not match [%s] (%d)",
                    name, err);
    return false;
  }
  return true;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& device, BirdFile& image) {
  UpdaterEntity entity;
  entity.init(&device, 0, true, false);
  aErr err = entity.LoaderInit();
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", err, aError_GetErrorText(err));
    display.message(ERROR, "Failed to transfer the loader [%d, %s]", err, aError_GetErrorText(err));
    return err;
  }
  display.message(INFO, "Transferring loader to device");
  std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_LOADER);
  display.display_progress(true);
  int sent = 0;
  uint32_t total = 0;
  int number = 0;
  for (const BirdBlock& block : blocks) {
    ++number;
    display.message(INFO, "Transferring loader block %d of %d, %d bytes", number,
                    static_cast<int>(blocks.size()), static_cast<int>(block.length));
    uint16_t blockSize = 0;
    err = entity.TransferPrepare(block.data, block.length, block.flags, &blockSize);
    if (err != aErrNone && err != aErrTimeout) {
      Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", err, aError_GetErrorText(err));
      break;
    }
    err = entity.LoaderTransfer(block.data, block.length);
    if (err != aErrNone) {
      Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", err, aError_GetErrorText(err));
      continue;
    }
    total += block.length;
    ++sent;
  }
  display.message(INFO, "Transferred %d blocks, %d total bytes", sent, static_cast<int>(total));
  display.display_progress(false);
  if (err != aErrNone) {
    display.message(ERROR, "Failed to transfer the loader [%d, %s]", err, aError_GetErrorText(err));
    return err;
  }

  display.message(INFO, "Starting Load on Device");
  err = entity.LoaderStart();
  if (err == aErrTimeout) {
    Log::log(DEBUG_Updater,
             "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
    err = aErrNone;
  } else if (err != aErrNone) {
    display.message(ERROR, "Error starting loader [%d, %s]", err, aError_GetErrorText(err));
  }
  return err;
}

}  // namespace

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& device, BirdFile& image,
                        bool routed, bool uei_bytes) {
  UpdaterEntity entity;
  entity.init(&device, 0, true, routed);
  if (uei_bytes && entity.CheckUEIDataSupport() == aErrNone) entity.CheckPooledPacketsSupport();
  Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", image.path.c_str());
  std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  aErr err = aErrNone;
  int sent = 0;
  uint32_t total = 0;
  unsigned number = 0;
  for (const BirdBlock& block : blocks) {
    ++number;
    for (int attempt = 0; attempt < FIRMWARE_BLOCK_ATTEMPTS; ++attempt) {
      display.message(INFO, "Transferring firmware block %u of %u, %d bytes", number,
                      static_cast<unsigned>(blocks.size()), static_cast<int>(block.length));
      if (attempt > 0) display.message(INFO, "  Retry %d", attempt);
      uint16_t blockSize = 0;
      err = entity.TransferPrepare(block.data, block.length, block.flags, &blockSize);
      if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", err,
                 aError_GetErrorText(err));
        break;
      }
      err = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
      if (err == aErrNone) break;
      Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", err, aError_GetErrorText(err));
    }
    if (err != aErrNone) {
      Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
      display.message(ERROR, "Failed to transfer firmware block %u [%d, %s]", number, err,
                      aError_GetErrorText(err));
      break;
    }
    total += block.length;
    ++sent;
  }
  display.message(INFO, "Transferred %d blocks, %d total bytes", sent, static_cast<int>(total));
  if (err == aErrNone) err = entity.LoaderReboot(display);
  return err;
}

BirdFile Updater::load_bird(const char* verb, std::string file, uint32_t serial, uint32_t build,
                            bool download) {
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, store_path, "load_bird");
  if (!store) return BirdFile();
  if (!file.empty()) {
    display.message(INFO, "%s from Birdfile: %s", verb, file.c_str());
    return BirdFile(file);
  }
  UpdaterStoreItem item = store->AddDevice(serial);
  display.message(INFO, "%s firmware with build: %u", verb, build);
  std::string name = sBirdName(build);
  try {
    return item.ReadBirdFile(name);
  } catch (const std::runtime_error&) {
    if (!download) throw std::runtime_error("Error reading birdfile");
  }
  display.message(INFO, "Downloading firmware build %u", build);
  Download_Firmware(serial, std::to_string(build), false, false);
  return item.ReadBirdFile(name);
}

bool Updater::Update_Firmware(uint32_t serial, uint32_t build, std::string file,
                              uint8_t module_address, uint32_t router_serial, bool override) {
  if (serial == 0) {
    display.message(ERROR, "Update command must specify the specific device");
    return false;
  }
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, store_path, "Update_Firmware");
  if (!store) return false;
  UpdaterStoreItem item;
  store->FindDevice(serial, &item);
  uint64_t t0 = aTime_GetMSTicks();

  if (file.empty()) {
    build = sChooseBuild(display, item, serial, build, server_url);
    if (build == 0) {
      display.message(ERROR, "Could not find valid build for this device.");
      return false;
    }
  }

  BirdFile image;
  try {
    image = load_bird("Updating", file, serial, build, false);
  } catch (const std::runtime_error&) {
    display.message(ERROR, "Failed to load bird file");
    return false;
  }

  if (image.has_serial_offsets) {
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    if (!image.ReplaceSerialNumber(serial)) {
      Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
      return false;
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
  }

  Module device(module_address, 0);
  aErr err = _disableEther(device, display);
  if (err == aErrNone && router_serial == 0) {
    err = sConnect(device, serial);
    if (err != aErrNone) display.message(ERROR, "Failed to connect to module [%08X]", serial);
  } else if (err == aErrNone) {
    if (module_address == 0) {
      std::vector<DeviceInfo> found = Discover_QMNetwork_Devices(router_serial, INVALID);
      if (found.empty()) {
        display.message(ERROR, "Unable to find modules on Network");
        return false;
      }
      for (const DeviceInfo& each : found)
        if (each.linkspec.serial_num == serial) module_address = static_cast<uint8_t>(each.i2c_address);
      if (module_address == 0) {
        display.message(ERROR,
                        "Module address required for indirect firmware update, could not find "
                        "serial number [0x%08X] on network",
                        serial);
        return false;
      }
      device.setModuleAddress(module_address);
    }
    Module router(0, 0);
    err = _disableEther(router, display);
    if (err == aErrNone) err = sConnect(router, router_serial);
    if (err != aErrNone) {
      display.message(ERROR, "Failed to connect to link module [%08X]", router_serial);
      return false;
    }
    err = device.connectThroughLinkModule(&router);
    if (err != aErrNone) display.message(ERROR, "Failed to connect to module [%08X]", serial);
  }

  if (err == aErrNone && !override && !_validate_birdfile(display, image, device, serial)) {
    display.message(ERROR, "Birdfile failed validation");
    return false;
  }
  if (err == aErrNone) err = _transfer_loader(display, device, image);

  // A loader that restarts the device's interface makes it enumerate anew;
  // the link drops a moment after LOAD was answered. Follow the device the
  // way it was reached, with a fresh USB context now and then.
  if (err == aErrNone && sLinkDrops(device)) {
    linkSpec reached{};
    device.getLinkSpecifier(&reached);
    linkType type = reached.type == TCPIP ? TCPIP : USB;
    device.disconnect();
    for (int attempt = 1; attempt <= ENUMERATION_ATTEMPTS; ++attempt) {
      if (attempt % ENUMERATION_REFRESH_EVERY == 0) {
        Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
        Quillomat_libusb_exit();
      }
      if (device.discoverAndConnect(type, serial) == aErrNone && device.isConnected()) break;
      aTime_MSSleep(ENUMERATION_DELAY_MS);
    }
  }

  if (err == aErrNone)
    err = _transfer_firmware(display, device, image, router_serial != 0, uei_bytes_load);

  if (err == aErrNone) {
    if (file.empty()) file = sBirdName(build);
    time_t now = time(nullptr);
    std::string when = ctime(&now);
    if (!when.empty() && when.back() == '\n') when.pop_back();
    // An image given by path may be for a device the store has not seen;
    // the transfer is recorded all the same.
    if (!item.IsValid()) item = store->AddDevice(serial);
    item.settings.Add("LATEST_TRANSFER", file);
    item.settings.Add("LAST_TRANSFER_DATE", when);
    item.settings.Save(nullptr);
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    display.message(INFO, "Update time: %.4f sec", (aTime_GetMSTicks() - t0) / 1000.0);
  } else {
    Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", err);
  }
  return err == aErrNone;
}
