// The Updater carries out the tool's commands: discovery, firmware update,
// download and build lists, feature tokens, recovery and chip fingerprints.
// One instance per run; each workflow opens what it needs (store, server,
// devices) and closes it again before it returns.
//
// The workflows live in files by subject: Updater.cpp (the object and the
// store), Updater_discover.cpp, Updater_update.cpp, Updater_acquire.cpp and
// Updater_recover.cpp.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"
#include "aError.h"
#include "discover.h"

class BirdFile;
class UpdaterStore;
namespace Ostrevan {
namespace Quillomat {
class Module;
}
}  // namespace Ostrevan

// One discovered device, kept by value in the discovery results.
struct DeviceInfo {
  linkSpec linkspec{};        // how the device is reached; its type picks the list row
  uint16_t i2c_address = 0;   // where a scan behind a router found it; 0 when direct
  uint32_t build_number = 0;
  uint8_t major = 0;
  uint8_t minor = 0;
  uint32_t patch = 0;
  std::string model_name;
  std::string device_name;    // empty when not read
  aErr error = aErrNone;      // first failed step while reading the device
};

// A chip's four identifier words, in the order they are printed and sent to
// the update server.
struct Fingerprint {
  uint32_t words[4] = {0, 0, 0, 0};
};

// Serial number that stands for "unknown": a fresh i.MX live loader and the
// store's default recovery image.
constexpr uint32_t UNKNOWN_SERIAL_NUMBER = 0xDEADDEAD;

// Which boot loader answered the last fingerprint request.
enum : uint8_t { RECOVERY_CHIP_NONE = 0, RECOVERY_CHIP_IMX = 1, RECOVERY_CHIP_LPC = 2 };

class Updater {
 public:
  Updater(const char* server_url, const char* store_path, UpdaterDisplayInterface& display);
  ~Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // Firmware data goes to the device as UEI byte blocks when it supports them.
  void Set_UEIBytes_Load(bool load);

  // -D: devices attached by `type`; INVALID (0) means USB, then TCP/IP.
  std::vector<DeviceInfo> Discover_Devices(linkType type);
  // -D -r: devices behind the routing device `router_serial`; `type` 0 finds
  // out how the router is attached.
  std::vector<DeviceInfo> Discover_QMNetwork_Devices(uint32_t router_serial, linkType type);

  // -U: true when the firmware was transferred and the device rebooted.
  // build 0 lets the workflow choose; an empty file takes the image from the
  // store; module_address 0 looks it up; router_serial 0 means direct.
  bool Update_Firmware(uint32_t serial, uint32_t build, std::string file, uint8_t module_address,
                       uint32_t router_serial, bool override);
  // The image to send, from `file` or from the store (downloading it first
  // when `download`). Throws std::runtime_error when it can't be read.
  BirdFile load_bird(const char* verb, std::string file, uint32_t serial, uint32_t build,
                     bool download);

  // -G: the build number stored, or 0. An empty build asks for the server's
  // current one.
  uint32_t Download_Firmware(uint32_t serial, std::string build, bool override, bool no_cal);
  // Download for a device known only by its chip fingerprint.
  uint32_t Download_Firmware(const Fingerprint& fingerprint, std::string build, bool override);
  // -B and -L: build number text to version text.
  std::map<std::string, std::string> Get_BuildList(uint32_t serial);
  std::map<std::string, std::string> Get_BuildListLocal(uint32_t serial);
  // -J: the device's feature token, empty after a failure.
  std::string Get_JWT(uint32_t serial);

  // -N: reads the chip fingerprint through the LPC, else the i.MX boot loader.
  bool Get_Fingerprint(Fingerprint& fingerprint, std::string port, uint32_t serial,
                       std::string file, uint32_t baud, bool reset);
  // -U -t RECOVER: true when the recovery ran through.
  bool Recover_Firmware(std::string port, uint32_t build, uint32_t baud, uint32_t serial,
                        std::string file, bool override);

 private:
  std::string server_url;
  std::string store_path;
  UpdaterDisplayInterface& display;
  uint8_t recovery_chip = RECOVERY_CHIP_NONE;
  bool uei_bytes_load = false;
};

// Helpers shared by the workflow files.

// The one way a workflow opens the store: null (after an error line naming
// `caller`) when the store directory can't be used.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& store_path,
                                                  const char* caller);

// Keeps a module's link off the network broker: devices are always reached
// directly.
aErr _disableEther(Ostrevan::Quillomat::Module& module, UpdaterDisplayInterface& display);
uint32_t _get_build_number(Ostrevan::Quillomat::Module& module);
aErr _get_version(Ostrevan::Quillomat::Module& module, DeviceInfo& device);
aErr _get_device_name(Ostrevan::Quillomat::Module& module, DeviceInfo& device);
linkType _discover_link_type(uint32_t serial);
// Firmware blocks through the upgrade commands, then the reboot; shared by
// update and i.MX recovery.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Ostrevan::Quillomat::Module& device,
                        BirdFile& image, bool routed, bool uei_bytes);

// Reports that a command's workflow is missing from this build and gives the
// caller nothing to go on.
void _report_unavailable(UpdaterDisplayInterface& display, const char* command);
