#include "main_dispatch.h"

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "CLI_Display.h"
#include "Log.h"
#include "Updater.h"
#include "aDirectory.h"
#include "main_params.h"
#include "main_reports.h"
#include "path.h"

using Level = UpdaterDisplayInterface::Level;

namespace {

constexpr uint32_t STORE_DIRECTORY_MODE = 0755;

// The -b text as a build number; anything but plain decimal digits is 0,
// which lets the workflow choose the build.
uint32_t sBuildNumber(const std::string& text) {
  char* end = nullptr;
  return _get_int_arg(text.c_str(), &end);
}

// Resolves and creates the store directory: <base>/updater, with base the
// -i directory or ~/.ostrevan. False after the failure was reported.
bool sEnsureStore(UpdaterDisplayInterface& display, Parameters& params) {
  if (params.base_directory.empty()) {
    char home[HOME_DIRECTORY_SIZE + 1] = {};
    aErr err = aDirectory_GetHomeDirectory(home, HOME_DIRECTORY_SIZE);
    if (err != aErrNone || home[0] == '\0') {
      // An empty answer is no home directory either: the store would land in
      // the current directory's root instead.
      Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n",
               err != aErrNone ? err : aErrNotFound);
      return false;
    }
    params.base_directory = BuildPath(home, ".ostrevan", nullptr);
  }
  params.base_directory = BuildPath(params.base_directory.c_str(), "updater", nullptr);
  if (aDirectory_Ensure(params.base_directory.c_str(), STORE_DIRECTORY_MODE) != aErrNone) {
    display.message(Level::LEVEL_ERROR, "Could not find updater directory at %s",
                    params.base_directory.c_str());
    return false;
  }
  return true;
}

void sDiscover(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params) {
  linkType type = INVALID;
  if (params.transport_given && params.transport != TRANSPORT_RECOVER)
    type = static_cast<linkType>(params.transport);
  if (params.router_serial_number != 0) {
    display.message(Level::LEVEL_INFO, "Searching for Quillomat Network devices connected to %08X",
                    params.router_serial_number);
    std::vector<DeviceInfo> devices =
        updater.Discover_QMNetwork_Devices(params.router_serial_number, type);
    _display_device_list(display, devices, type);
    return;
  }
  display.message(Level::LEVEL_INFO, "Searching for Quillomat devices");
  // A plain -D searches USB only.
  if (type == INVALID) type = USB;
  _display_device_list(display, updater.Discover_Devices(type), type);
}

// -N and -G run whenever given and leave an exit status; the first of
// -D, -U, -B, -L and -J then decides the run by itself.
int sDispatch(UpdaterDisplayInterface& display, Updater& updater, Parameters& params) {
  int status = 0;
  const CommandsClass& commands = params.commands;

  if (commands.IsSet(CMD_FINGERPRINT)) {
    if (params.serial_port.empty()) {
      display.message(Level::LEVEL_ERROR, "Must specify the serial port used for connecting");
      return 1;
    }
    Fingerprint fingerprint{};
    if (updater.Get_Fingerprint(fingerprint, params.serial_port, UNKNOWN_SERIAL_NUMBER,
                                params.firmware_file, params.baud_rate, true)) {
      _display_fingerprint(display, fingerprint);
    } else {
      display.message(Level::LEVEL_ERROR, "Got no response from chip");
      status = 1;
    }
  }

  if (commands.IsSet(CMD_GET_BUILD)) {
    if (params.serial_number == 0) {
      display.message(Level::LEVEL_ERROR, "-G must specify a specific device via -d");
      display.message(Level::LEVEL_ERROR, "--help for usage information");
      return 1;
    }
    display.message(Level::LEVEL_INFO, "Retrieving firmware for device with serial number %08X",
                    params.serial_number);
    if (params.build.empty()) {
      display.message(Level::LEVEL_INFO, "No build specified");
      display.message(Level::LEVEL_INFO, "Using Latest build");
    } else {
      display.message(Level::LEVEL_INFO, "Retrieving firmware build %s", params.build.c_str());
    }
    uint32_t stored =
        updater.Download_Firmware(params.serial_number, params.build, params.override, false);
    if (stored != 0) {
      // A following -U updates to exactly this build.
      params.build = std::to_string(stored);
      status = 0;
    } else {
      status = 1;
    }
  }

  if (commands.IsSet(CMD_DISCOVER)) {
    sDiscover(display, updater, params);
    return 0;
  }

  if (commands.IsSet(CMD_UPDATE)) {
    uint32_t build = sBuildNumber(params.build);
    updater.Set_UEIBytes_Load(params.uei_bytes_load);
    bool done;
    if (params.transport == TRANSPORT_RECOVER) {
      done = updater.Recover_Firmware(params.serial_port, build, params.baud_rate,
                                      params.serial_number, params.firmware_file, params.override);
    } else {
      if (params.serial_number == 0) {
        display.message(Level::LEVEL_ERROR, "Must specify the specific device to be updated");
        return 1;
      }
      done = updater.Update_Firmware(params.serial_number, build, params.firmware_file,
                                     params.module_address, params.router_serial_number,
                                     params.override);
    }
    return done ? 0 : 1;
  }

  if (commands.IsSet(CMD_LIST_BUILDS)) {
    if (params.serial_number == 0) {
      display.message(Level::LEVEL_ERROR,
                      "Error must supply a serial number for the List Builds command");
      _display_usage(false, false);
      return 1;
    }
    _display_builds(display, updater.Get_BuildList(params.serial_number), params.serial_number);
    return 0;
  }

  if (commands.IsSet(CMD_LIST_LOCAL_BUILDS)) {
    if (params.serial_number == 0) {
      display.message(Level::LEVEL_ERROR,
                      "Error must supply a serial number for the List Local Builds command");
      _display_usage(false, false);
      return 1;
    }
    _display_builds(display, updater.Get_BuildListLocal(params.serial_number),
                    params.serial_number);
    return 0;
  }

  if (commands.IsSet(CMD_GET_JWT)) {
    if (params.serial_number == 0) {
      display.message(Level::LEVEL_ERROR, "Error must supply a serial number for the Get JWT command");
      _display_usage(false, false);
      return 1;
    }
    _display_jwt(display, updater.Get_JWT(params.serial_number));
    return 0;
  }

  _release_params(&params);
  return status;
}

}  // namespace

int updater_main(int argc, char** argv) {
  Parameters params;
  CLI_Display display;
  Log::SetOutput(stderr);

  if (_get_params(display, argc, argv, &params) != 0) {
    _display_app_version(display);
    _display_copyright(display);
    _display_usage(false, false);
    _release_params(&params);
    return 1;
  }

  _display_app_version(display);

  if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ANY_COMMAND_MASK)) {
    _display_copyright(display);
    _display_usage(params.log_packages_given, params.help_requested);
    _release_params(&params);
    return 0;
  }

  if (!sEnsureStore(display, params)) return 1;

  Updater updater(params.server_url.c_str(), params.base_directory.c_str(), display);
  return sDispatch(display, updater, params);
}
