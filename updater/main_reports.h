// Console reports of the tool's commands: banner, usage and the results of
// -N, -D, -B/-L and -J. Everything but the usage goes through the display
// at the information level; the usage is written straight to standard error.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Updater.h"
#include "UpdaterDisplayInterface.h"

void _display_app_version(UpdaterDisplayInterface& display);
void _display_copyright(UpdaterDisplayInterface& display);
// The short usage always; full adds the parameters, commands and samples,
// extended (with full) the rarely needed options and the log packages.
void _display_usage(bool extended, bool full);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          linkType type);
void _display_builds(UpdaterDisplayInterface& display,
                     const std::map<std::string, std::string>& builds, uint32_t serial);
void _display_jwt(UpdaterDisplayInterface& display, const std::string& token);
