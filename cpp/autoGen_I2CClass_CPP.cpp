#include "autoGen_I2CClass_CPP.h"

#include <algorithm>
#include <cstring>

namespace Ostrevan {
namespace Quillomat {
namespace {

constexpr uint8_t kMaxTransfer = 23;  // 5 header bytes + 23 data bytes fill a packet
constexpr uint8_t kMaxSpeed = 3;
constexpr uint8_t kPullupRequest = 1;

}  // namespace

I2CClass::~I2CClass() = default;

void I2CClass::init(Module* module, uint8_t index) { EntityClass::init(module, cmdI2C, index); }

// Sends one I2C request and waits for its reply. Replies of 4 data bytes or
// fewer are malformed; a status byte with bit 7 set carries the device's
// error code in its low bits.
aErr I2CClass::request(const uint8_t* data, uint8_t length, const uint8_t* match,
                       uint8_t matchLength, uint8_t* reply, uint8_t* replyLength) {
  aErr err = sendPacket(cmdI2C, length, data);
  if (err != aErrNone) return err;
  *replyLength = matchLength;
  err = receivePacket(match, replyLength, reply);
  if (err != aErrNone) return err;
  if (*replyLength <= 4) return aErrPacket;
  if (reply[4] & 0x80) return static_cast<aErr>(reply[4] & 0x7F);
  return aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* buffer) {
  if (length > kMaxTransfer) return aErrSize;
  if (!buffer && length) return aErrParam;
  const uint8_t index = getIndex();
  const uint8_t readAddress = address | 1;
  const uint8_t data[4] = {index, readAddress, length, m_speed};
  const uint8_t match[3] = {cmdI2C, index, readAddress};
  uint8_t reply[aPACKET_MAX_DATA] = {};
  uint8_t replyLength = 0;
  aErr err = request(data, sizeof data, match, sizeof match, reply, &replyLength);
  if (err != aErrNone) return err;
  // Copy what the device read, but never more than the reply carries or
  // the caller asked for.
  size_t carried = replyLength > 5 ? replyLength - 5u : 0u;
  size_t count = std::min<size_t>({reply[3], carried, length});
  std::memcpy(buffer, reply + 5, count);
  return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
  if (length > kMaxTransfer) return aErrSize;
  if (!data && length) return aErrParam;
  const uint8_t index = getIndex();
  uint8_t packet[4 + kMaxTransfer] = {index, address, length, m_speed};
  if (length) std::memcpy(packet + 4, data, length);
  const uint8_t match[4] = {cmdI2C, index, address, 0};
  uint8_t reply[aPACKET_MAX_DATA] = {};
  uint8_t replyLength = 0;
  return request(packet, static_cast<uint8_t>(4 + length), match, sizeof match, reply,
                 &replyLength);
}

aErr I2CClass::setPullup(bool enable) {
  const uint8_t index = getIndex();
  const uint8_t data[3] = {index, kPullupRequest, static_cast<uint8_t>(enable ? 1 : 0)};
  const uint8_t match[3] = {cmdI2C, index, kPullupRequest};
  uint8_t reply[aPACKET_MAX_DATA] = {};
  uint8_t replyLength = 0;
  return request(data, sizeof data, match, sizeof match, reply, &replyLength);
}

aErr I2CClass::setSpeed(uint8_t speed) {
  if (speed > kMaxSpeed) return aErrParam;
  m_speed = speed;
  return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* speed) const {
  if (!speed) return aErrParam;
  *speed = m_speed;
  return aErrNone;
}

}  // namespace Quillomat
}  // namespace Ostrevan
