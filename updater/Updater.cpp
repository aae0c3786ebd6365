#include "Updater.h"

#include <stdexcept>

#include "UpdaterStore.h"

using Level = UpdaterDisplayInterface::Level;

Updater::Updater(const char* server_url, const char* store_path, UpdaterDisplayInterface& display)
    : server_url(server_url != nullptr ? server_url : ""),
      store_path(store_path != nullptr ? store_path : ""),
      display(display) {}

Updater::~Updater() = default;

void Updater::Set_UEIBytes_Load(bool load) { uei_bytes_load = load; }

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& store_path,
                                                  const char* caller) {
  try {
    return std::make_unique<UpdaterStore>(store_path.c_str());
  } catch (const std::runtime_error& error) {
    display.message(Level::LEVEL_ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s",
                    caller, error.what());
    return nullptr;
  }
}

void _report_unavailable(UpdaterDisplayInterface& display, const char* command) {
  display.message(Level::LEVEL_ERROR, "%s is not available in this build", command);
}
