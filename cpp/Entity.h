// EntityClass: the base of every entity object. Bound to a Module, it turns
// get, set and call requests into UEI exchanges over the module's Link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Link.h"
#include "Module.h"

namespace Ostrevan {
namespace Quillomat {

// Request flags in the option and specifier bytes.
constexpr uint8_t ueiOPTION_GET = 0x40;
constexpr uint8_t ueiOPTION_SET = 0x80;
constexpr uint8_t ueiOPTION_SET_REPLY = 0xC0;
constexpr uint8_t ueiSPECIFIER_REQUEST = 0x20;
constexpr uint8_t ueiSPECIFIER_ERROR = 0x80;
constexpr uint8_t ueiSPECIFIER_INDEX_MASK = 0x1F;

class EntityClass {
 public:
  EntityClass();
  virtual ~EntityClass();
  EntityClass(const EntityClass&) = delete;
  EntityClass& operator=(const EntityClass&) = delete;

  void init(Module* module, uint8_t command, uint8_t index);
  uint8_t getIndex() const;

  aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
  aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer);

  aErr getUEI(uint8_t option, uei* value);
  aErr setUEI(uint8_t option, uei* value);
  aErr setUEI(uint8_t option, uint8_t subindex, uei* value);
  aErr callUEI(uint8_t option);

  aErr setUEI8(uint8_t option, uint8_t value);
  aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
  aErr setUEI16(uint8_t option, uint16_t value);
  aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
  aErr setUEI32(uint8_t option, uint32_t value);
  aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
  aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);

  aErr getUEI8(uint8_t option, uint8_t* value);
  aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
  aErr getUEI16(uint8_t option, uint16_t* value);
  aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
  aErr getUEI32(uint8_t option, uint32_t* value);
  aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);
  aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count);
  static aErr getUEIBytesCheck(size_t* count, size_t unitSize);

  aErr awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t timeout);
  aErr drainUEI(uint8_t option);

  aErr saveEntityToStore();
  aErr resetEntityToFactoryDefaults();
  aErr loadEntityFromStore();

  struct impl;

 protected:
  Module* module() const;
  uint8_t command() const;

 private:
  aErr exchange(uint8_t option, uei* value, bool set, const uint8_t* subindex);
  template <typename T>
  aErr getValue(uint8_t option, const uint8_t* subindex, T* value);
  aErr storeRequest(uint8_t option);

  std::unique_ptr<impl> m_impl;
};

// The filter of byte-block gets: takes the next packet of the block in
// sequence and appends its payload to the reply record's buffer.
bool sUEIBytesFilter(const aPacket* packet, uei* reply);

}  // namespace Quillomat
}  // namespace Ostrevan
