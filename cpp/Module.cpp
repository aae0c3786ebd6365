#include "Module.h"

#include <cstring>

#include "aDefs.h"
#include "unix_time.h"

namespace Ostrevan {
namespace Quillomat {
namespace {

constexpr uint8_t cmdINFO = 0x49;
constexpr uint8_t cmdECHO = 0x17;
constexpr uint8_t kBuildQuery = 0xFF;
constexpr int kAddressTries = 4;

}  // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networkingMode, uint8_t model)
    : m_link(std::make_unique<Link>("Link")),
      m_address(address),
      m_networkingMode(networkingMode),
      m_model(model) {}

Module::~Module() = default;

aErr Module::connect(linkType type, uint32_t serialNumber) {
  if (serialNumber == 0) return aErrParam;
  return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
  if (!m_link) return aErrInitialization;
  aErr err = m_link->discoverAndConnect(type, serialNumber, m_model);
  return err == aErrNone ? _autoNetwork() : err;
}

aErr Module::connectFromSpec(linkSpec specifier) {
  if (!m_link) return aErrInitialization;
  if (m_link->isConnected()) return aErrBusy;
  aErr err = m_link->setLinkSpecifier(specifier);
  if (err == aErrNone) err = m_link->connect();
  if (err == aErrNone) {
    err = _autoNetwork();
    aDefs_DebugPrintf(aDEBUG_MODULE, "Post autoNetwork err: %d\n", err);
  }
  return err;
}

aErr Module::connectThroughLinkModule(Module* router) {
  if (!m_link) return aErrInitialization;
  if (m_link->isConnected()) return aErrNone;
  linkSpec specifier;
  aErr err = aErrInitialization;
  if (router && router->m_link) err = router->m_link->getLinkSpecifier(&specifier);
  if (!router || !router->m_link) return aErrInitialization;
  if (err != aErrNone) return err;

  aEtherConfig config;
  err = router->m_link->getConfig(&config);
  if (err == aErrNone) err = m_link->setConfig(config);
  if (err != aErrNone) return err;
  if (config.enabled) {
    // The routing module is served by a broker: reach it through that.
    specifier.type = AETHER;
    specifier.t.ip.ip_address = config.networkInterface;
    specifier.t.ip.ip_port = config.assignedPort;
  }
  err = m_link->setLinkSpecifier(specifier);
  if (err == aErrNone) err = m_link->connectThroughLinkModule(router->m_link.get());
  // The address was given at construction; a later reconnect must keep it.
  if (err == aErrNone) m_networkingMode = false;
  return err;
}

aErr Module::reconnect() {
  if (!m_link) return aErrInitialization;
  aErr err = m_link->connect();
  return err == aErrNone ? _autoNetwork() : err;
}

aErr Module::disconnect() {
  if (!m_link) return aErrInitialization;
  return m_link->disconnect();
}

bool Module::isConnected() const { return m_link && m_link->isConnected(); }

int Module::getStatus() const { return m_link ? m_link->getStatus() : kLinkPacketError; }

aErr Module::getLinkSpecifier(linkSpec* specifier) const {
  if (!m_link) return aErrNotReady;
  return m_link->getLinkSpecifier(specifier);
}

aErr Module::getConfig(aEtherConfig* config) const {
  if (!m_link) return aErrNotReady;
  if (!config) return aErrParam;
  return m_link->getConfig(config);
}

aErr Module::setConfig(aEtherConfig config) {
  if (!m_link) return aErrNotReady;
  return m_link->setConfig(config);
}

aErr Module::enablePacketLog(const char* path) {
  if (!m_link) return aErrConfiguration;
  return m_link->enablePacketLog(path);
}

aErr Module::disablePacketLog() {
  if (!m_link) return aErrConfiguration;
  return m_link->disablePacketLog();
}

aErr Module::_autoNetwork() {
  if (!m_networkingMode || !m_link) return aErrNone;
  uint8_t address = 0;
  aErr err = aErrNotReady;
  for (int attempt = 0; attempt < kAddressTries && err == aErrNotReady; ++attempt) {
    err = m_link->getModuleAddress(&address);
    if (err == aErrNotReady) aTime_MSSleep(5);
  }
  if (err == aErrNotReady) aDefs_DebugPrintf(aDEBUG_MODULE, "BOO! Failed to autoNetwork");
  if (err == aErrNone && address != 0 && address != m_address) m_address = address;
  return err;
}

aErr Module::getBuild(uint32_t* build) {
  if (!build) return aErrParam;
  if (!m_link) return aErrInitialization;
  if (!m_link->isConnected()) return aErrConnection;
  const uint8_t query = kBuildQuery;
  aErr err = m_link->sendPacket(m_address, cmdINFO, 1, &query);
  if (err != aErrNone) return err;
  const uint8_t match[2] = {cmdINFO, kBuildQuery};
  uint8_t length = sizeof match;
  uint8_t reply[aPACKET_MAX_DATA] = {};
  err = m_link->receivePacket(m_address, match, &length, reply);
  if (err != aErrNone) return err;
  if (length != 6) return aErrSize;
  *build = (uint32_t(reply[2]) << 24) | (uint32_t(reply[3]) << 16) |
           (uint32_t(reply[4]) << 8) | reply[5];
  return aErrNone;
}

// Sends one device-information request (command 0x49). The reply repeats
// the first `echoed` request bytes after the command byte and adds one
// answer byte; any other reply is refused.
aErr Module::infoQuery(const uint8_t* request, uint8_t requestLength, uint8_t echoed,
                       uint8_t* answer) {
  if (!m_link || !m_link->isConnected()) return aErrConnection;
  aErr err = m_link->sendPacket(m_address, cmdINFO, requestLength, request);
  if (err != aErrNone) return err;
  const uint8_t match[1] = {cmdINFO};
  uint8_t length = 1;
  uint8_t reply[aPACKET_MAX_DATA] = {};
  err = m_link->receivePacket(m_address, match, &length, reply);
  if (err != aErrNone) return err;
  if (length != echoed + 2 || std::memcmp(reply + 1, request, echoed) != 0) return aErrUnknown;
  *answer = reply[echoed + 1];
  return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
  if ((flags & 0x3F) != 0 || (flags & 0xC0) == 0xC0) return aErrParam;
  // The answer takes the place of the flags: an error code, 0 = implemented.
  const uint8_t request[5] = {1, command, option, index, flags};
  uint8_t answer = 0;
  aErr err = infoQuery(request, sizeof request, 4, &answer);
  return err == aErrNone ? static_cast<aErr>(answer) : err;
}

aErr Module::classQuantity(uint8_t entityClass, uint8_t* count) {
  if (count) *count = 0;
  const uint8_t request[2] = {4, entityClass};
  uint8_t answer = 0;
  aErr err = infoQuery(request, sizeof request, sizeof request, &answer);
  if (err == aErrNone && count) *count = answer;
  return err;
}

aErr Module::subClassQuantity(uint8_t entityClass, uint8_t index, uint8_t* count) {
  if (count) *count = 0;
  const uint8_t request[3] = {5, entityClass, index};
  uint8_t answer = 0;
  aErr err = infoQuery(request, sizeof request, sizeof request, &answer);
  if (err == aErrNone && count) *count = answer;
  return err;
}

aErr Module::entityGroup(uint8_t entityClass, uint8_t index, uint8_t* group) {
  if (group) *group = 0;
  const uint8_t request[3] = {6, entityClass, index};
  uint8_t answer = 0;
  aErr err = infoQuery(request, sizeof request, sizeof request, &answer);
  if (err == aErrNone && group) *group = answer;
  return err;
}

aErr Module::debug(const uint8_t* data, uint8_t length) {
  if (!m_link || !m_link->isConnected()) return aErrConnection;
  aErr err = m_link->sendPacket(m_address, cmdECHO, length, data);
  if (err != aErrNone) return err;
  const uint8_t match[1] = {cmdECHO};
  uint8_t replyLength = 1;
  uint8_t reply[aPACKET_MAX_DATA] = {};
  err = m_link->receivePacket(m_address, match, &replyLength, reply);
  if (err != aErrNone) return err;
  if (replyLength != length + 1 || (length && std::memcmp(reply + 1, data, length) != 0))
    return aErrIO;
  return aErrNone;
}

}  // namespace Quillomat
}  // namespace Ostrevan
