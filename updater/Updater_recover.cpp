// Recovery through the processor's boot loader, and chip fingerprints.
#include "Updater.h"

bool Updater::Get_Fingerprint(Fingerprint&, std::string, uint32_t, std::string, uint32_t, bool) {
  _report_unavailable(display, "Reading the chip fingerprint");
  return false;
}

bool Updater::Recover_Firmware(std::string, uint32_t, uint32_t, uint32_t, std::string, bool) {
  _report_unavailable(display, "Firmware recovery");
  return false;
}
