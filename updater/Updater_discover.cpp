// Discovery of directly attached devices and of devices behind a router,
// and the device helpers the update and recovery workflows share.
#include <cstring>

#include "Log.h"
#include "Module.h"
#include "Updater.h"
#include "aDefs.h"
#include "aVersion.h"
#include "autoGen_I2CClass_CPP.h"
#include "autoGen_SystemClass_CPP.h"

using Ostrevan::Quillomat::aEtherConfig;
using Ostrevan::Quillomat::I2CClass;
using Ostrevan::Quillomat::Module;
using Ostrevan::Quillomat::SystemClass;

namespace {

constexpr uint32_t ALL_INTERFACES = aDISCOVERY_ALL_INTERFACES;
constexpr uint8_t DEFAULT_MODULE_ADDRESS = 2;
constexpr uint8_t FIRST_I2C_ADDRESS = 2;
constexpr uint8_t LAST_I2C_ADDRESS = 252;
constexpr uint8_t ROUTING_I2C_SPEED = 3;
constexpr size_t NAME_BUFFER_SIZE = 32;

// Collects every device the enumeration reports.
bool _discovered_device(const linkSpec* found, bool* counted, void* reference) {
  auto* devices = static_cast<std::vector<DeviceInfo>*>(reference);
  DeviceInfo device;
  std::memcpy(&device.linkspec, found, sizeof(linkSpec));
  devices->push_back(device);
  *counted = true;
  return true;
}

struct LinkSearch {
  uint32_t serial;
  linkType type = INVALID;
};

// Stops at the device with the searched serial number and notes its kind.
bool _discovered_link(const linkSpec* found, bool* counted, void* reference) {
  auto* search = static_cast<LinkSearch*>(reference);
  *counted = true;
  if (found->serial_num != search->serial) return true;
  Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", search->serial,
           found->type);
  search->type = found->type;
  return false;
}

}  // namespace

aErr _disableEther(Module& module, UpdaterDisplayInterface& display) {
  aEtherConfig config;
  config.enabled = false;
  config.fallback = false;
  config.localOnly = true;
  aErr err = module.setConfig(config);
  if (err != aErrNone)
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to SET network configuration");
  return err;
}

uint32_t _get_build_number(Module& module) {
  uint32_t build = 0;
  return module.getBuild(&build) == aErrNone ? build : 0;
}

aErr _get_version(Module& module, DeviceInfo& device) {
  SystemClass system;
  system.init(&module, 0);
  uint32_t version = 0;
  aErr err = system.getVersion(&version);
  if (err != aErrNone) return err;
  device.major = aVersion_ParseMajor(version);
  device.minor = aVersion_ParseMinor(version);
  device.patch = aVersion_ParsePatch(version);
  uint8_t address = 0;
  err = system.getModule(&address);
  if (err != aErrNone) return err;
  device.linkspec.module = address;
  err = system.getRouter(&address);
  if (err != aErrNone) return err;
  device.linkspec.router = address;
  return aErrNone;
}

aErr _get_device_name(Module& module, DeviceInfo& device) {
  // Devices learned to keep a name with firmware 2.10.4.
  if (!aVersion_IsAtLeastCompare(device.major, device.minor,
                                 static_cast<uint8_t>(device.patch & 0xFF), 2, 10, 4))
    return aErrNone;
  SystemClass system;
  system.init(&module, 0);
  uint8_t buffer[NAME_BUFFER_SIZE] = {};
  size_t length = 0;
  aErr err = system.getName(buffer, sizeof buffer, &length);
  if (err == aErrNone) device.device_name.assign(reinterpret_cast<char*>(buffer), length);
  return err;
}

linkType _discover_link_type(uint32_t serial) {
  LinkSearch search{serial};
  for (linkType type : {USB, TCPIP}) {
    aDiscovery_EnumerateModules(type, _discovered_link, &search, ALL_INTERFACES);
    if (search.type != INVALID) break;
  }
  return search.type;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
  std::vector<DeviceInfo> devices;
  std::vector<linkType> types = {type};
  if (type == INVALID) types = {USB, TCPIP};
  for (linkType each : types)
    aDiscovery_EnumerateModules(each, _discovered_device, &devices, ALL_INTERFACES);

  for (DeviceInfo& device : devices) {
    device.model_name = aDefs_GetModelName(static_cast<uint8_t>(device.linkspec.model));
    Module module(DEFAULT_MODULE_ADDRESS, 0);
    if (_disableEther(module, display) != aErrNone) continue;
    device.error = module.connectFromSpec(device.linkspec);
    if (device.error != aErrNone) {
      module.disconnect();
      continue;
    }
    device.build_number = _get_build_number(module);
    device.error = _get_version(module, device);
    if (device.error == aErrNone) device.error = _get_device_name(module, device);
    module.disconnect();
  }
  return devices;
}

std::vector<DeviceInfo> Updater::Discover_QMNetwork_Devices(uint32_t router_serial,
                                                            linkType type) {
  std::vector<DeviceInfo> devices;
  if (type == INVALID) type = _discover_link_type(router_serial);
  linkSpec* found = aDiscovery_FindModule(type, router_serial, ALL_INTERFACES);
  if (!found) return devices;
  Log::log(DEBUG_Updater, "Found Link Module");
  linkSpec routerSpec;
  std::memcpy(&routerSpec, found, sizeof routerSpec);
  aLinkSpec_Destroy(&found);

  Module router(DEFAULT_MODULE_ADDRESS, 0);
  if (_disableEther(router, display) != aErrNone) return devices;
  aErr err = router.connectFromSpec(routerSpec);
  if (err != aErrNone) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on connectFromSpec", err);
    return devices;
  }
  SystemClass routerSystem;
  routerSystem.init(&router, 0);
  err = routerSystem.routeToMe(1);
  if (err != aErrNone) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on route to me", err);
    router.disconnect();
    return devices;
  }
  I2CClass bus;
  bus.init(&router, 0);
  bus.setSpeed(ROUTING_I2C_SPEED);
  const uint8_t probe[2] = {0, 0};

  for (unsigned address = FIRST_I2C_ADDRESS; address <= LAST_I2C_ADDRESS; address += 2) {
    if (address == router.getModuleAddress()) continue;
    Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
    if (bus.write(static_cast<uint8_t>(address), sizeof probe, probe) != aErrNone) continue;

    Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
    Module device(static_cast<uint8_t>(address), false, 0);
    _disableEther(device, display);
    if (device.connectThroughLinkModule(&router) != aErrNone) continue;
    SystemClass system;
    system.init(&device, 0);
    uint32_t serial = 0;
    if (system.getSerialNumber(&serial) != aErrNone) {
      device.disconnect();
      continue;
    }
    Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);

    DeviceInfo info;
    // The routed device is reached the way its router is.
    std::memcpy(reinterpret_cast<uint8_t*>(&info.linkspec) + 24,
                reinterpret_cast<const uint8_t*>(&routerSpec) + 24, sizeof(linkSpec) - 24);
    info.linkspec.type = routerSpec.type;
    info.linkspec.serial_num = serial;
    info.linkspec.router = router.getModuleAddress();
    info.linkspec.router_serial_num = router_serial;
    info.i2c_address = static_cast<uint16_t>(address);
    info.build_number = _get_build_number(device);
    info.error = _get_version(device, info);
    uint8_t model = 0;
    aErr modelErr = system.getModel(&model);
    if (modelErr == aErrNone) {
      info.linkspec.model = model;
      info.model_name = aDefs_GetModelName(model);
    } else {
      info.error = modelErr;
    }
    device.disconnect();
    devices.push_back(info);
  }

  routerSystem.routeToMe(0);
  router.disconnect();
  return devices;
}
