// The emulator's JSON config reader on arbitrary text: it either returns a
// config or throws std::runtime_error, nothing else.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "SimConfig.h"
#include "SimDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    qmsim::Config c = qmsim::parseConfig(std::string(reinterpret_cast<const char*>(data), size));
    // Every accepted device can be built.
    for (const auto& d : c.devices)
      if (d.loader.flashSize <= 1024 * 1024) qmsim::Device device(d);
  } catch (const std::runtime_error&) {
  }
  return 0;
}
