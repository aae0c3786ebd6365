// Link: the object-layer handle on one connection to a Quillomat device. It
// owns one link of the link engine and adds connecting by specifier or
// serial number, sharing a routing module's link, UEI request/reply
// exchanges with their reply filters and time-outs, raw command packets and
// the module-address query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "aError.h"
#include "aLink.h"
#include "aPacket.h"
#include "discover.h"

namespace Ostrevan {
namespace Quillomat {

// Broker settings of a Link. The defaults ask for networked access through a
// local broker; programs that want direct links clear `enabled`.
struct aEtherConfig {
  bool enabled = true;
  bool fallback = true;
  bool localOnly = true;
  uint16_t assignedPort = 0;
  uint32_t networkInterface = loopbackInterface();  // IPv4, network byte order

  // 127.0.0.1 as inet_pton stores it; it means "all interfaces" to discovery.
  static uint32_t loopbackInterface();
};

// Value types of a UEI message.
enum ueiType : uint32_t {
  ueiTypeNone = 0,
  ueiTypeByte = 1,
  ueiTypeShort = 2,
  ueiTypeInt = 4,
  ueiTypeBytes = 5,
};

// One UEI request or reply in memory.
struct uei {
  uint8_t module = 0;
  uint8_t command = 0;
  uint8_t option = 0;
  uint8_t specifier = 0;  // index in bits 0-4; bit 7 set in a reply = error reply
  union {
    uint8_t byteVal;
    uint16_t shortVal;
    uint32_t intVal;
  } v{};
  // Byte blocks (type 5): the bytes to send, or the buffer to fill with its
  // capacity in `length`; `count` receives the bytes received so far.
  struct {
    uint8_t* data = nullptr;
    uint8_t sequence = 0;
    uint8_t continued = 0;
    size_t length = 0;
    size_t* count = nullptr;
  } bytes;
  uint32_t type = ueiTypeNone;
};

// True for the networked link kinds (a device reached through a broker).
bool isAETHER(linkType type);

class Link {
 public:
  // Accepts a packet for a pending receive and may fill in the reply record.
  using UEIFilter = bool (*)(const aPacket* packet, uei* reply);

  explicit Link(const char* name);
  Link(linkSpec specifier, const char* name);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  const char* getName() const;
  aErr getLinkSpecifier(linkSpec* specifier) const;
  aErr setLinkSpecifier(linkSpec specifier);
  aErr getConfig(aEtherConfig* config) const;
  aErr setConfig(aEtherConfig config);

  aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model = 0);
  aErr connect();
  aErr connectThroughLinkModule(Link* routingLink);
  bool isConnected() const;
  int getStatus() const;
  aErr disconnect();
  aErr reset();

  aErr getModuleAddress(uint8_t* address);

  aErr sendUEI(uei request);
  aErr sendUEI(uei request, uint8_t subindex);
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier,
                  uei* reply);
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier,
                  uei* reply, UEIFilter filter);
  aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option,
                              uint8_t specifier);

  aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
  aErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* buffer);

  aErr enablePacketLog(const char* path);
  aErr disablePacketLog();
  aErr enablePooledPackets(bool enable);

  aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                      uint8_t subindex, uint32_t* value);
  static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option,
                                  uint8_t index, uint8_t subindex);

  // The engine's link number, 0 while not connected.
  uint32_t linkId() const;

  struct impl;

 private:
  std::unique_ptr<impl> m_impl;
};

// The reply filter receiveUEI uses by default: address, command, option and
// index must match; fills in the reply's type and value (or error code).
bool sUEIFilter(const aPacket* packet, uei* reply);

}  // namespace Quillomat
}  // namespace Ostrevan
