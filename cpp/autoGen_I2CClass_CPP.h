// I2CClass: a device's I2C bus (command 8), driven with raw command packets.
#pragma once

#include <cstdint>

#include "Entity.h"

namespace Ostrevan {
namespace Quillomat {

constexpr uint8_t cmdI2C = 8;

class I2CClass : public EntityClass {
 public:
  I2CClass() = default;
  ~I2CClass() override;

  void init(Module* module, uint8_t index);

  // `address` is the 8-bit bus address; bit 0 is the read flag. At most 23
  // bytes per request.
  aErr read(uint8_t address, uint8_t length, uint8_t* buffer);
  aErr write(uint8_t address, uint8_t length, const uint8_t* data);
  aErr setPullup(bool enable);
  aErr setSpeed(uint8_t speed);
  aErr getSpeed(uint8_t* speed) const;

 private:
  aErr request(const uint8_t* data, uint8_t length, const uint8_t* match, uint8_t matchLength,
               uint8_t* reply, uint8_t* replyLength);
  uint8_t m_speed = 0;
};

}  // namespace Quillomat
}  // namespace Ostrevan
