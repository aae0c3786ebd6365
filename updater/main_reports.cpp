#include "main_reports.h"

#include <cstdio>

#include "UpdateServerRequest.h"
#include "aDefs.h"

using Level = UpdaterDisplayInterface::Level;

namespace {

const char APP_NAME[] = "Updater";
const char APP_VERSION[] = "Version: 2.12.1 Feb 11 2026";

const char SHORT_USAGE[] =
    "\nApplication Usage:\n"
    "%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
    "    [-d serial_num]\n"
    "    [-t transport] [-r router_serial]\n"
    "    [-s serial_port] [-o baud_rate]\n"
    "\n"
    "  Quillomat Update and Maintenance Application\n"
    "    -H -h or --help for full usage information.\n"
    "\n";

const char FULL_USAGE[] =
    "  Parameters to commands:\n"
    "    -i directory      Directory that holds the firmware store (its \"updater\"\n"
    "                      directory); default ~/.ostrevan\n"
    "    -b build_num      Firmware build number (decimal)\n"
    "    -d serial_num     Serial number of the device, 8 hexadecimal digits\n"
    "                      (a leading 0x is allowed)\n"
    "    -t transport      How the device is reached: USB (default), TCP or TCPIP,\n"
    "                      or RECOVER for a device that needs recovery through\n"
    "                      its processor's boot loader\n"
    "    -f file           BIRD firmware file to use instead of the store\n"
    "    -r router_serial  Serial number of the routing device a device is\n"
    "                      reached through\n"
    "    -s serial_port    Serial port for recovery and fingerprints\n"
    "                      (for example /dev/ttyUSB0, or USB for the USB boot loader)\n"
    "    -o baud_rate      Serial port speed, 2400 to 230400 baud (default 115200)\n"
    "\n"
    "  Commands:\n"
    "    -B                List the firmware builds the update server offers for -d\n"
    "    -L                List the firmware builds stored locally for -d\n"
    "    -D                Discover attached devices (USB unless -t says otherwise;\n"
    "                      with -r the devices behind that routing device)\n"
    "    -G                Download firmware for -d into the store (the latest\n"
    "                      build unless -b names one)\n"
    "    -U                Update the firmware of -d (with -t RECOVER: recover the\n"
    "                      device through -s)\n"
    "    -J                Fetch and print the feature token of -d\n"
    "    -H, -h, --help    Show this help; with -X before it, the extended help too\n"
    "\n";

const char EXTENDED_USAGE[] =
    "  Extended Parameters:\n"
    "    -e                Echo (accepted, no effect)\n"
    "    -m value          Send firmware data as UEI byte blocks when the device\n"
    "                      supports it: 1 or true (default), anything else turns it off\n"
    "    -l message        History message (accepted, not recorded)\n"
    "    -k file           Log file name (accepted; the log always goes to standard error)\n"
    "    -u url            Update server URL, with host and port\n"
    "                      (default " QM_DEFAULT_SERVER_URL ")\n"
    "\n"
    "  Extended Commands:\n"
    "    -I                Accepted; opens the store and runs nothing\n"
    "    -OVERRIDE         Skip the firmware image and build checks\n"
    "    -N                Read and print the processor fingerprint of the device on -s\n"
    "    -X packages       Write diagnostic log lines of these packages to standard\n"
    "                      error (decimal, or hexadecimal with 0x; may be repeated):\n"
    "                        0x00000001  DEBUG_Updater\n"
    "                        0x00000002  DEBUG_History\n"
    "                        0x00000004  DEBUG_Attributes\n"
    "                        0x00000008  DEBUG_BirdFile\n"
    "                        0x00000010  DEBUG_Network\n"
    "                        0x00000020  DEBUG_ServerComm\n"
    "                        0x00000100  DEBUG_Network\n"
    "                        0x00000200  DEBUG_Network_SR\n"
    "                        0x00000400  DEBUG_Network_FIRM\n"
    "                        0x00001000  DEBUG_NXPSerial\n"
    "                        0x00002000  DEBUG_NXPSerial_E\n"
    "                        0x00004000  DEBUG_NXPSerial_SR\n"
    "                        0x00010000  DEBUG_APP\n"
    "                        0x10000000  DEBUG_iMXSerial\n"
    "    -C                Accepted, runs nothing\n"
    "\n";

const char SAMPLE_USAGE[] =
    " Sample usage:\n"
    "    Discover the devices on USB:\n"
    "        Updater -D\n"
    "    Discover the devices on the network:\n"
    "        Updater -D -t TCPIP\n"
    "    Download the latest firmware for a device:\n"
    "        Updater -G -d 40F5849A\n"
    "    Update a device with the firmware in the store:\n"
    "        Updater -U -d 40F5849A\n"
    "    Download a build and update the device to it:\n"
    "        Updater -G -U -d 40F5849A -b 1234\n"
    "    Recover a device over a serial port:\n"
    "        Updater -U -t RECOVER -s /dev/ttyUSB0\n"
    "    Discover and update devices behind a routing device:\n"
    "        Updater -D -r D272031D\n"
    "        Updater -U -d 40F5849A -r D272031D\n"
    "\n";

const char* sLinkTypeName(linkType type) {
  switch (type) {
    case USB: return "USB";
    case TCPIP: return "TCPIP";
    default: return "Unknown";
  }
}

}  // namespace

void _display_app_version(UpdaterDisplayInterface& display) {
  display.message(Level::LEVEL_INFO, "%s (%s)", APP_NAME, APP_VERSION);
}

void _display_copyright(UpdaterDisplayInterface& display) {
  display.message(Level::LEVEL_INFO, "Copyright (c) 2026 Ostrevan. All rights reserved.");
}

void _display_usage(bool extended, bool full) {
  std::fprintf(stderr, SHORT_USAGE, APP_NAME);
  if (full) std::fputs(FULL_USAGE, stderr);
  if (full && extended) std::fputs(EXTENDED_USAGE, stderr);
  if (full) std::fputs(SAMPLE_USAGE, stderr);
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint) {
  display.message(Level::LEVEL_INFO, "[ %08X %08X %08X %08X ]", fingerprint.words[0],
                  fingerprint.words[1], fingerprint.words[2], fingerprint.words[3]);
}

void _display_jwt(UpdaterDisplayInterface& display, const std::string& token) {
  display.message(Level::LEVEL_INFO, "%s", token.c_str());
}

void _display_builds(UpdaterDisplayInterface& display,
                     const std::map<std::string, std::string>& builds, uint32_t serial) {
  if (builds.empty()) {
    display.message(Level::LEVEL_INFO, "No builds found for device [%08X]", serial);
    return;
  }
  display.message(Level::LEVEL_INFO, "Build List for device [%08X]:\n", serial);
  display.message(Level::LEVEL_INFO, "%-15.15s\t%-15.15s", "Build", "Version");
  for (const auto& entry : UpdateServerRequest::SortBuildsByVersion(builds))
    display.message(Level::LEVEL_INFO, "%-15.15s\t%-15.15s", entry.first.c_str(),
                    entry.second.c_str());
}

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          linkType type) {
  display.message(Level::LEVEL_INFO, "Discovered Devices: (%s)", sLinkTypeName(type));
  if (devices.empty()) {
    display.message(Level::LEVEL_INFO, "    No devices found.");
    return;
  }
  if (type == USB)
    display.message(Level::LEVEL_INFO,
                    "    Device    Module   Router  Model          Firmware Version (Build)    "
                    "Device Name");
  else
    display.message(Level::LEVEL_INFO,
                    "    Device    Module   Router  Model          Firmware Version (Build)   "
                    "[IP address]       Device Name");

  for (const DeviceInfo& device : devices) {
    const linkSpec& entry = device.linkspec;
    if (entry.type == TCPIP) {
      // The address is kept in network byte order: its bytes in memory are
      // the dotted quad from left to right.
      const unsigned char* ip = reinterpret_cast<const unsigned char*>(&entry.t.ip.ip_address);
      char address[20];
      std::snprintf(address, sizeof address, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
      display.message(Level::LEVEL_INFO,
                      "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                      entry.serial_num, entry.module, entry.router, device.model_name.c_str(),
                      device.major, device.minor, device.patch, device.build_number, address,
                      device.device_name.c_str());
    } else if (device.error != 0) {
      display.message(Level::LEVEL_INFO,
                      "    %08X  [Error (%d): Is someone else connected to this device?]",
                      entry.serial_num, device.error);
    } else {
      display.message(Level::LEVEL_INFO,
                      "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s",
                      entry.serial_num, entry.module, entry.router, device.model_name.c_str(),
                      device.major, device.minor, device.patch, device.build_number,
                      device.device_name.c_str());
    }
  }
}
