// SystemClass: the device-wide system entity (command 3): serial number,
// model, version, build, routing, reset, power and name.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Entity.h"

namespace Ostrevan {
namespace Quillomat {

constexpr uint8_t cmdSYSTEM = 3;

class SystemClass : public EntityClass {
 public:
  SystemClass() = default;
  ~SystemClass() override;

  void init(Module* module, uint8_t index);

  aErr getModule(uint8_t* value);
  aErr setRouter(uint8_t value);
  aErr getRouter(uint8_t* value);
  aErr setHBInterval(uint8_t value);
  aErr getHBInterval(uint8_t* value);
  aErr setLED(uint8_t value);
  aErr getLED(uint8_t* value);
  aErr setBootSlot(uint8_t value);
  aErr getBootSlot(uint8_t* value);
  aErr getVersion(uint32_t* value);
  aErr getModel(uint8_t* value);
  aErr getSerialNumber(uint32_t* value);
  aErr save();
  aErr reset();
  aErr getInputVoltage(uint32_t* value);
  aErr getModuleHardwareOffset(uint8_t* value);
  aErr getModuleBaseAddress(uint8_t* value);
  aErr setModuleSoftwareOffset(uint8_t value);
  aErr getModuleSoftwareOffset(uint8_t* value);
  aErr getRouterAddressSetting(uint8_t* value);
  aErr routeToMe(uint8_t value);
  aErr getInputCurrent(uint32_t* value);
  aErr getUptime(uint32_t* value);
  aErr getMaximumTemperature(int32_t* value);
  aErr logEvents();
  aErr getUnregulatedVoltage(int32_t* value);
  aErr getUnregulatedCurrent(int32_t* value);
  aErr getTemperature(int32_t* value);
  aErr getMinimumTemperature(int32_t* value);
  aErr getInputPowerSource(uint8_t* value);
  aErr setInputPowerBehavior(uint8_t value);
  aErr getInputPowerBehavior(uint8_t* value);
  aErr getPowerLimit(uint32_t* value);
  aErr setPowerLimitMax(uint32_t value);
  aErr getPowerLimitMax(uint32_t* value);
  aErr getPowerLimitState(uint32_t* value);
  aErr resetDeviceToFactoryDefaults();
  aErr setLinkInterface(uint8_t value);
  aErr getLinkInterface(uint8_t* value);
  aErr getHardwareVersion(uint32_t* value);
  aErr getErrors(uint32_t* value);
  aErr setLEDMaxBrightness(uint8_t value);
  aErr getLEDMaxBrightness(uint8_t* value);
  aErr getBuild(uint32_t* value);
  aErr getProtocolFeatures(uint32_t* value);

  // Power-behaviour words travel as 4 bytes each; counts are in words.
  aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t count);
  aErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count);
  // The device's name as bytes (not terminated); counts are in bytes.
  aErr setName(const uint8_t* name, size_t length);
  aErr getName(uint8_t* buffer, size_t capacity, size_t* count);
};

}  // namespace Quillomat
}  // namespace Ostrevan
