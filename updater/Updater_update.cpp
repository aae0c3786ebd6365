// Firmware update of a device that runs firmware.
#include "Updater.h"

bool Updater::Update_Firmware(uint32_t, uint32_t, std::string, uint8_t, uint32_t, bool) {
  _report_unavailable(display, "Firmware update");
  return false;
}
