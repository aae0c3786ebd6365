#include "Entity.h"

#include <cstring>

#include "aUEI.h"

namespace Ostrevan {
namespace Quillomat {
namespace {

constexpr uint8_t cmdSTORE = 0x5C;

}  // namespace

struct EntityClass::impl {
  EntityClass* owner;
  Module* module = nullptr;
  uint8_t command = 0;
  uint8_t index = 0;
};

EntityClass::EntityClass() : m_impl(std::make_unique<impl>()) { m_impl->owner = this; }

EntityClass::~EntityClass() = default;

void EntityClass::init(Module* module, uint8_t command, uint8_t index) {
  m_impl->module = module;
  m_impl->command = command;
  m_impl->index = index;
}

uint8_t EntityClass::getIndex() const { return m_impl->index; }
Module* EntityClass::module() const { return m_impl->module; }
uint8_t EntityClass::command() const { return m_impl->command; }

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
  Module* module = m_impl->module;
  if (!module || !module->getLink()) return aErrResource;
  return module->getLink()->sendPacket(module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer) {
  Module* module = m_impl->module;
  if (!module || !module->getLink()) return aErrResource;
  return module->getLink()->receivePacket(module->getModuleAddress(), match, length, buffer);
}

// One request and its reply. A get sends option|0x40 and awaits the bare
// option; a set sends option|0x80 and awaits option|0xC0. The index always
// goes out with the request bit and comes back bare.
aErr EntityClass::exchange(uint8_t option, uei* value, bool set, const uint8_t* subindex) {
  Module* module = m_impl->module;
  Link* link = module ? module->getLink() : nullptr;
  if (!link) return aErrResource;

  uei request = *value;
  request.module = module->getModuleAddress();
  request.command = m_impl->command;
  request.option = option | (set ? ueiOPTION_SET : ueiOPTION_GET);
  request.specifier = m_impl->index | ueiSPECIFIER_REQUEST;
  aErr err = subindex ? link->sendUEI(request, *subindex) : link->sendUEI(request);
  if (err != aErrNone) return err;

  value->module = request.module;
  value->command = request.command;
  value->option = set ? (option | ueiOPTION_SET_REPLY) : option;
  value->specifier = m_impl->index;
  err = link->receiveUEI(value->module, value->command, value->option, value->specifier, value);
  if (err != aErrNone) return err;
  if (value->specifier & ueiSPECIFIER_ERROR) return static_cast<aErr>(value->v.byteVal);
  return aErrNone;
}

aErr EntityClass::getUEI(uint8_t option, uei* value) {
  Module* module = m_impl->module;
  Link* link = module ? module->getLink() : nullptr;
  if (!link || !value) return link ? aErrParam : aErrResource;
  // A get of type 1 carries a subindex in its value byte.
  uint8_t subindex = value->type == ueiTypeByte ? value->v.byteVal : 0;
  uint32_t streamed = 0;
  aErr err = link->getStreamValue(module->getModuleAddress(), m_impl->command, option,
                                  m_impl->index, subindex, &streamed);
  if (err != aErrNotFound) {
    value->v.intVal = streamed;
    value->type = ueiTypeInt;
    return err;
  }
  if (value->type == ueiTypeByte) {
    uei request = *value;
    request.type = ueiTypeNone;
    *value = request;
    return exchange(option, value, false, &subindex);
  }
  return exchange(option, value, false, nullptr);
}

aErr EntityClass::setUEI(uint8_t option, uei* value) {
  if (!value) return aErrParam;
  return exchange(option, value, true, nullptr);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* value) {
  if (!value) return aErrParam;
  return exchange(option, value, true, &subindex);
}

aErr EntityClass::callUEI(uint8_t option) {
  uei value;
  return exchange(option, &value, true, nullptr);
}

namespace {

uei sValue(uint32_t type, uint32_t number) {
  uei value;
  value.type = type;
  if (type == ueiTypeByte) value.v.byteVal = static_cast<uint8_t>(number);
  if (type == ueiTypeShort) value.v.shortVal = static_cast<uint16_t>(number);
  if (type == ueiTypeInt) value.v.intVal = number;
  return value;
}

}  // namespace

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
  uei record = sValue(ueiTypeByte, value);
  return setUEI(option, &record);
}
aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
  uei record = sValue(ueiTypeByte, value);
  return setUEI(option, subindex, &record);
}
aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
  uei record = sValue(ueiTypeShort, value);
  return setUEI(option, &record);
}
aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
  uei record = sValue(ueiTypeShort, value);
  return setUEI(option, subindex, &record);
}
aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
  uei record = sValue(ueiTypeInt, value);
  return setUEI(option, &record);
}
aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
  uei record = sValue(ueiTypeInt, value);
  return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
  if (!data && length) return aErrParam;
  uei record;
  record.type = ueiTypeBytes;
  // The sender only reads the block; the record's pointer is not const.
  record.bytes.data = const_cast<uint8_t*>(data);
  record.bytes.length = length;
  return setUEI(option, &record);
}

// Gets a value of type T; the output is written only for a fresh or a
// stale streamed value.
template <typename T>
aErr EntityClass::getValue(uint8_t option, const uint8_t* subindex, T* value) {
  if (!value) return aErrParam;
  uei record;
  if (subindex) record = sValue(ueiTypeByte, *subindex);
  aErr err = getUEI(option, &record);
  if (err != aErrNone && err != aErrStreamStale) return err;
  switch (record.type) {
    case ueiTypeByte: *value = static_cast<T>(record.v.byteVal); break;
    case ueiTypeShort: *value = static_cast<T>(record.v.shortVal); break;
    default: *value = static_cast<T>(record.v.intVal); break;
  }
  return err;
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value) { return getValue(option, nullptr, value); }
aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value) {
  return getValue(option, &subindex, value);
}
aErr EntityClass::getUEI16(uint8_t option, uint16_t* value) {
  return getValue(option, nullptr, value);
}
aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value) {
  return getValue(option, &subindex, value);
}
aErr EntityClass::getUEI32(uint8_t option, uint32_t* value) {
  return getValue(option, nullptr, value);
}
aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value) {
  return getValue(option, &subindex, value);
}

bool sUEIBytesFilter(const aPacket* packet, uei* reply) {
  if (!aVALIDPACKET(packet) || !reply) return false;
  if (packet->address != reply->module || packet->dataSize < 3) return false;
  const uint8_t* data = packet->data;
  if (data[0] != reply->command || data[1] != reply->option ||
      (data[2] & ueiSPECIFIER_INDEX_MASK) != reply->specifier)
    return false;
  if (data[2] & ueiSPECIFIER_ERROR) {
    reply->specifier = data[2];
    reply->v.byteVal = packet->dataSize > 3 ? data[3] : static_cast<uint8_t>(aErrUnknown);
    return true;
  }
  // Header, at least the trailing sequence byte.
  if (packet->dataSize < 4) return false;
  if (aUEI_getBytesSequence(packet) != reply->bytes.sequence) return false;
  size_t payload = packet->dataSize - 4u;
  size_t count = reply->bytes.count ? *reply->bytes.count : 0;
  if (count + payload > reply->bytes.length) {
    // Turn it into an error reply: the caller's buffer is too small.
    reply->specifier |= ueiSPECIFIER_ERROR;
    reply->v.byteVal = aErrMemory;
    return true;
  }
  std::memcpy(reply->bytes.data + count, data + 3, payload);
  if (reply->bytes.count) *reply->bytes.count = count + payload;
  reply->bytes.continued = aUEI_getBytesContinue(packet);
  return true;
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count) {
  if (!buffer || !count || capacity == 0) return aErrParam;
  *count = 0;
  Module* module = m_impl->module;
  Link* link = module ? module->getLink() : nullptr;
  if (!link) return aErrResource;

  uei request;
  request.module = module->getModuleAddress();
  request.command = m_impl->command;
  request.option = option | ueiOPTION_GET;
  request.specifier = m_impl->index | ueiSPECIFIER_REQUEST;
  aErr err = link->sendUEI(request);
  if (err != aErrNone) return err;

  uei reply;
  reply.module = request.module;
  reply.command = request.command;
  reply.option = option;
  reply.specifier = m_impl->index;
  reply.type = ueiTypeBytes;
  reply.bytes.data = buffer;
  reply.bytes.length = capacity;
  reply.bytes.count = count;
  reply.bytes.sequence = 0;
  while (true) {
    err = link->receiveUEI(reply.module, reply.command, reply.option, reply.specifier, &reply,
                           sUEIBytesFilter);
    if (err != aErrNone) return err;
    if (reply.specifier & ueiSPECIFIER_ERROR) return static_cast<aErr>(reply.v.byteVal);
    if (!reply.bytes.continued) return aErrNone;
    reply.bytes.sequence = static_cast<uint8_t>((reply.bytes.sequence + 1) & 0x7F);
  }
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unitSize) {
  if (!count) return aErrParam;
  if (unitSize == 0) {
    if (*count != 0) return aErrMemory;
    return aErrNone;
  }
  if (*count % unitSize != 0) return aErrMemory;
  *count /= unitSize;
  return aErrNone;
}

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t /*timeout*/) {
  if (!value) return aErrParam;
  Module* module = m_impl->module;
  Link* link = module ? module->getLink() : nullptr;
  if (!link) return aErrResource;
  uei reply;
  reply.module = module->getModuleAddress();
  reply.command = m_impl->command;
  reply.option = option;
  reply.specifier = m_impl->index;
  aErr err = link->receiveUEI(reply.module, reply.command, reply.option, reply.specifier, &reply);
  if (err != aErrNone) return err;
  if (reply.specifier & ueiSPECIFIER_ERROR) return static_cast<aErr>(reply.v.byteVal);
  *value = reply.v.intVal;
  return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option) {
  Module* module = m_impl->module;
  Link* link = module ? module->getLink() : nullptr;
  if (!link) return aErrResource;
  return link->dropMatchingUEIPackets(module->getModuleAddress(), m_impl->command, option,
                                      m_impl->index);
}

// Save, reset and load go to the store entity, naming this entity by
// (command * 256) + index.
aErr EntityClass::storeRequest(uint8_t option) {
  EntityClass store;
  store.init(m_impl->module, cmdSTORE, 0);
  return store.setUEI32(option, (uint32_t(m_impl->command) << 8) | m_impl->index);
}

aErr EntityClass::saveEntityToStore() { return storeRequest(0); }
aErr EntityClass::resetEntityToFactoryDefaults() { return storeRequest(1); }
aErr EntityClass::loadEntityFromStore() { return storeRequest(2); }

}  // namespace Quillomat
}  // namespace Ostrevan
