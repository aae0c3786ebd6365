// Discovery of directly attached devices and of devices behind a router.
#include "Updater.h"

std::vector<DeviceInfo> Updater::Discover_Devices(linkType) {
  _report_unavailable(display, "Device discovery");
  return {};
}

std::vector<DeviceInfo> Updater::Discover_QMNetwork_Devices(uint32_t, linkType) {
  _report_unavailable(display, "Discovery behind a routing device");
  return {};
}
