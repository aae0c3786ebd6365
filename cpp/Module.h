// Module: one device at one module address. It owns a Link, connects it by
// serial number, by specifier or through a routing module's link, learns the
// device's module address after connecting, and offers the device-wide
// queries that are not entity requests.
#pragma once

#include <cstdint>
#include <memory>

#include "Link.h"

namespace Ostrevan {
namespace Quillomat {

class Module {
 public:
  Module(uint8_t address, uint8_t model);
  Module(uint8_t address, bool networkingMode, uint8_t model);
  virtual ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  aErr connect(linkType type, uint32_t serialNumber);
  aErr discoverAndConnect(linkType type, uint32_t serialNumber);
  aErr connectFromSpec(linkSpec specifier);
  aErr connectThroughLinkModule(Module* router);
  aErr reconnect();
  aErr disconnect();
  bool isConnected() const;
  int getStatus() const;

  uint8_t getModuleAddress() const { return m_address; }
  void setModuleAddress(uint8_t address) { m_address = address; }
  void setNetworkingMode(bool on) { m_networkingMode = on; }
  Link* getLink() const { return m_link.get(); }

  aErr getLinkSpecifier(linkSpec* specifier) const;
  aErr getConfig(aEtherConfig* config) const;
  aErr setConfig(aEtherConfig config);
  aErr enablePacketLog(const char* path);
  aErr disablePacketLog();

  aErr getBuild(uint32_t* build);
  aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
  aErr classQuantity(uint8_t entityClass, uint8_t* count);
  aErr subClassQuantity(uint8_t entityClass, uint8_t index, uint8_t* count);
  aErr entityGroup(uint8_t entityClass, uint8_t index, uint8_t* group);
  aErr debug(const uint8_t* data, uint8_t length);

 private:
  aErr _autoNetwork();
  aErr infoQuery(const uint8_t* request, uint8_t requestLength, uint8_t echoed,
                 uint8_t* answer);

  std::unique_ptr<Link> m_link;
  uint8_t m_address;
  bool m_networkingMode;
  uint8_t m_model;
};

}  // namespace Quillomat
}  // namespace Ostrevan
