#include "Link.h"

#include <arpa/inet.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "aDefs.h"
#include "aUEI.h"
#include "unix_time.h"

namespace Ostrevan {
namespace Quillomat {
namespace {

constexpr uint8_t kAddressQuery = 0xAD;
constexpr uint32_t kReplyTimeoutMs = 1000;
constexpr uint32_t kLargeReplyTimeoutMs = 4000;
constexpr size_t kLargeBlock = 1000;
constexpr size_t kBlockChunk = 24;
constexpr size_t kMaxNameLength = 1024;
constexpr int kConnectPolls = 200;

// Only one thread at a time creates engine links.
std::mutex linkCreateHelperSerializer;

struct CommandMatch {
  const uint8_t* bytes;
  uint8_t length;
};

// Raw replies: the first `length` data bytes must equal the match bytes.
bool sCommandFilter(const aPacket* packet, void* reference) {
  auto* match = static_cast<CommandMatch*>(reference);
  return aVALIDPACKET(packet) && packet->dataSize >= match->length &&
         std::memcmp(packet->data, match->bytes, match->length) == 0;
}

// The module-address reply is an empty packet from the device.
bool MatchMagic(const aPacket* packet, void*) {
  return aVALIDPACKET(packet) && packet->dataSize == 0;
}

struct UEIMatch {
  uei* reply;
  Link::UEIFilter filter;
};

bool sUEIProc(const aPacket* packet, void* reference) {
  auto* match = static_cast<UEIMatch*>(reference);
  return match->filter(packet, match->reply);
}

bool cbModelCallback(const linkSpec* found, bool* counted, void* reference) {
  auto* wanted = static_cast<linkSpec*>(reference);
  if (wanted->model != 0 && wanted->model != found->model) return true;
  std::memcpy(wanted, found, sizeof(linkSpec));
  *counted = true;
  return false;
}

bool _fallbackHelper(aErr err, linkType type, bool fallback) {
  bool retryable = err == aErrNotFound || err == aErrInitialization || err == aErrConnection;
  bool family = type == USB || type == TCPIP || isAETHER(type);
  return retryable && family && fallback;
}

}  // namespace

uint32_t aEtherConfig::loopbackInterface() { return htonl(INADDR_LOOPBACK); }

bool isAETHER(linkType type) { return type >= AETHER && type <= AETHER_SERIAL; }

struct Link::impl {
  Link* owner = nullptr;
  uint32_t linkId = 0;
  aEtherConfig config;
  // Values delivered by stream subscriptions, by stream key: value and
  // whether it was read since it arrived.
  struct StreamEntry {
    uint32_t value = 0;
    bool read = false;
  };
  std::map<uint64_t, StreamEntry> streamTable;
  std::mutex tableLock;
  std::string name;
  std::unique_ptr<linkSpec> specifier;

  void setSpecifier(const linkSpec& source) {
    specifier = std::make_unique<linkSpec>();
    std::memcpy(specifier.get(), &source, sizeof(linkSpec));
  }
  aErr linkCreateHelper();
  aErr connectHelper();
  aErr waitForLink(int polls);
  aErr discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model);
};

aErr Link::impl::linkCreateHelper() {
  std::lock_guard<std::mutex> serialize(linkCreateHelperSerializer);
  const linkSpec& s = *specifier;
  switch (s.type) {
    case USB: linkId = aLink_CreateUSB(s.serial_num); break;
    case TCPIP: linkId = aLink_CreateTCPIP(s.serial_num, s.t.ip.ip_address, static_cast<uint16_t>(s.t.ip.ip_port)); break;
    case SERIAL: linkId = aLink_CreateSerial(s.serial_num, s.t.serial.port, s.t.serial.baudrate); break;
    case AETHER:
    case AETHER_USB:
    case AETHER_TCPIP:
    case AETHER_SERIAL:
      if (!config.enabled) return aErrConfiguration;
      linkId = aLink_CreateClient(s.t.ip.ip_address, static_cast<uint16_t>(s.t.ip.ip_port), linkId);
      break;
    default: return aErrMode;
  }
  if (!isAETHER(static_cast<linkType>(s.type)) && config.enabled && linkId) {
    // Serve the direct link through a local broker and use a client of it.
    aDefs_DebugPrintf(aDEBUG_LINK, "Creating Server: real_stem id: %d\n", linkId);
    uint32_t direct = linkId;
    linkId = aLink_CreateServer(direct, &config.assignedPort, &config.networkInterface,
                                config.localOnly);
    aDefs_DebugPrintf(aDEBUG_LINK, "Creating Server: m_stem id: %d\n", linkId);
    if (linkId == 0) {
      aLink_Destroy(&direct);
      aDefs_DebugPrintf(aDEBUG_LINK, "Failed to create server");
    }
  }
  return aErrNone;
}

aErr Link::impl::waitForLink(int polls) {
  int status = static_cast<int>(aLink_GetStatus(linkId));
  switch (status) {
    case kLinkRunning: return aErrNone;
    case kLinkStopping: return aErrBusy;
    case kLinkNoStream:
    case kLinkInputError:
    case kLinkPacketError: return aErrConnection;
    case kLinkStopped:
    case kLinkStarting:
    case kLinkSyncing: break;
    default: return aErrDuplicate;
  }
  for (int i = 0; i < polls && status != kLinkRunning; ++i) {
    aTime_MSSleep(10);
    status = static_cast<int>(aLink_GetStatus(linkId));
  }
  return status == kLinkRunning ? aErrNone : aErrConnection;
}

aErr Link::impl::connectHelper() {
  if (!specifier) return aErrConfiguration;
  aErr err = linkCreateHelper();
  if (err != aErrNone) return err;
  if (linkId == 0) return aErrConnection;
  return waitForLink(kConnectPolls);
}

aErr Link::impl::discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model) {
  linkSpec* found = nullptr;
  if (serialNumber != 0) {
    found = aDiscovery_FindModule(type, serialNumber, config.networkInterface);
  } else {
    found = aLinkSpec_Create(type);
    if (found) {
      found->model = model;
      uint8_t count = aDiscovery_EnumerateModules(type, cbModelCallback, found,
                                                  config.networkInterface);
      if (count == 0) aLinkSpec_Destroy(&found);
    }
  }
  if (!found) return aErrNotFound;
  setSpecifier(*found);
  aLinkSpec_Destroy(&found);
  return owner->connect();
}

Link::Link(const char* name) : m_impl(std::make_unique<impl>()) {
  m_impl->owner = this;
  if (name) m_impl->name.assign(name, strnlen(name, kMaxNameLength));
}

Link::Link(linkSpec specifier, const char* name) : Link(name) {
  m_impl->setSpecifier(specifier);
}

Link::~Link() {
  if (m_impl->linkId) aLink_Destroy(&m_impl->linkId);
}

const char* Link::getName() const { return m_impl->name.c_str(); }

uint32_t Link::linkId() const { return m_impl->linkId; }

aErr Link::getLinkSpecifier(linkSpec* specifier) const {
  if (!m_impl->specifier) return aErrNotFound;
  if (!specifier) return aErrParam;
  std::memcpy(specifier, m_impl->specifier.get(), sizeof(linkSpec));
  return aErrNone;
}

aErr Link::setLinkSpecifier(linkSpec specifier) {
  if (isConnected()) return aErrBusy;
  m_impl->setSpecifier(specifier);
  return aErrNone;
}

aErr Link::getConfig(aEtherConfig* config) const {
  if (!config) return aErrParam;
  *config = m_impl->config;
  return aErrNone;
}

aErr Link::setConfig(aEtherConfig config) {
  if (isConnected()) return aErrMode;
  m_impl->config = config;
  return aErrNone;
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
  aErr err = m_impl->discoveryAndConnectHelper(type, serialNumber, model);
  if (_fallbackHelper(err, type, m_impl->config.fallback)) {
    linkType other = isAETHER(type) ? USB : (type == USB || type == TCPIP ? AETHER : type);
    aDefs_DebugPrintf(aDEBUG_LINK, "Executing Fallback - old type: %d - new type: %d\n", type, other);
    err = m_impl->discoveryAndConnectHelper(other, serialNumber, model);
  }
  return err;
}

aErr Link::connect() {
  if (m_impl->linkId) return aErrConnection;
  return m_impl->connectHelper();
}

aErr Link::connectThroughLinkModule(Link* routingLink) {
  if (!routingLink || routingLink->m_impl->linkId == 0) return aErrInitialization;
  m_impl->linkId = routingLink->m_impl->linkId;
  return m_impl->connectHelper();
}

bool Link::isConnected() const {
  return m_impl->linkId != 0 && aLink_GetStatus(m_impl->linkId) == kLinkRunning;
}

int Link::getStatus() const {
  return m_impl->linkId ? static_cast<int>(aLink_GetStatus(m_impl->linkId)) : kLinkPacketError;
}

aErr Link::disconnect() {
  if (m_impl->linkId) aLink_Destroy(&m_impl->linkId);
  return aErrNone;
}

aErr Link::reset() {
  if (m_impl->linkId) aLink_Reset(m_impl->linkId);
  return aErrNone;
}

aErr Link::getModuleAddress(uint8_t* address) {
  if (address) *address = 0;
  if (!isConnected()) return aErrNotReady;
  aPacket* query = aPacket_CreateWithData(kAddressQuery, 0, reinterpret_cast<const uint8_t*>(""));
  if (!query) return aErrResource;
  aDefs_DebugPrintf(aDEBUG_LINK, "getModuleAddress");
  aLink_PutPacket(m_impl->linkId, query);
  aPacket_Destroy(&query);
  aDefs_DebugPrintf(aDEBUG_LINK, "getModuleAddress wait");
  aPacket* reply = aLink_AwaitFirst(m_impl->linkId, MatchMagic, nullptr, kReplyTimeoutMs);
  if (!reply) return aErrNotReady;
  if (address) *address = reply->address;
  aPacket_Destroy(&reply);
  return aErrNone;
}

namespace {

// Hands one packet to the engine; the engine queues a copy.
aErr sPut(uint32_t linkId, uint8_t module, const uint8_t* data, uint8_t length) {
  aPacket* packet = aPacket_CreateWithData(module, length, data);
  if (!packet) return aErrResource;
  aErr err = aLink_PutPacket(linkId, packet);
  aPacket_Destroy(&packet);
  return err;
}

}  // namespace

namespace {

// Writes a plain value (types 0, 1, 2 and 4) at `at`; returns the data
// length of the packet, or 0 for any other type.
uint8_t sStoreValue(const uei& request, uint8_t* data, uint8_t at) {
  switch (request.type) {
    case ueiTypeNone: return at;
    case ueiTypeByte: data[at] = request.v.byteVal; return static_cast<uint8_t>(at + 1);
    case ueiTypeShort: aUEI_StoreShort(data + at, request.v.shortVal); return static_cast<uint8_t>(at + 2);
    case ueiTypeInt: aUEI_StoreInt(data + at, request.v.intVal); return static_cast<uint8_t>(at + 4);
    default: return 0;
  }
}

}  // namespace

aErr Link::sendUEI(uei request) {
  if (!isConnected()) return aErrConnection;
  if (request.module == 0 || (request.module & 1)) return aErrPacket;
  uint8_t data[aPACKET_MAX_DATA] = {request.command, request.option, request.specifier};
  if (request.type != ueiTypeBytes) {
    uint8_t length = sStoreValue(request, data, 3);
    return length ? sPut(m_impl->linkId, request.module, data, length) : aErrParam;
  }
  // The block goes in 24-byte chunks; each packet ends with a byte holding
  // the "more follows" flag and the packet's sequence number.
  size_t sent = 0;
  uint8_t sequence = 0;
  do {
    size_t chunk = std::min(request.bytes.length - sent, kBlockChunk);
    if (chunk) std::memcpy(data + 3, request.bytes.data + sent, chunk);
    sent += chunk;
    bool more = sent < request.bytes.length;
    data[3 + chunk] = static_cast<uint8_t>((more ? 0x80 : 0) | (sequence & 0x7F));
    aErr err = sPut(m_impl->linkId, request.module, data, static_cast<uint8_t>(chunk + 4));
    if (err != aErrNone) return err;
    sequence = static_cast<uint8_t>((sequence + 1) & 0x7F);
  } while (sent < request.bytes.length);
  return aErrNone;
}

aErr Link::sendUEI(uei request, uint8_t subindex) {
  if (!isConnected()) return aErrConnection;
  if (request.module == 0 || (request.module & 1)) return aErrPacket;
  uint8_t data[aPACKET_MAX_DATA] = {request.command, request.option, request.specifier, subindex};
  uint8_t length = request.type == ueiTypeBytes ? 0 : sStoreValue(request, data, 4);
  return length ? sPut(m_impl->linkId, request.module, data, length) : aErrParam;
}

bool sUEIFilter(const aPacket* packet, uei* reply) {
  if (!aVALIDPACKET(packet) || !reply) return false;
  if (packet->address != reply->module || packet->dataSize < 3) return false;
  const uint8_t* data = packet->data;
  if (data[0] != reply->command || data[1] != reply->option ||
      (data[2] & 0x1F) != reply->specifier)
    return false;
  if (data[2] & 0x80) {
    reply->specifier = data[2];
    reply->v.byteVal = packet->dataSize > 3 ? data[3] : static_cast<uint8_t>(aErrUnknown);
    return true;
  }
  switch (packet->dataSize) {
    case 3: reply->type = ueiTypeNone; break;
    case 4:
      reply->type = ueiTypeByte;
      reply->v.byteVal = data[3];
      break;
    case 5:
      reply->type = ueiTypeShort;
      reply->v.shortVal = static_cast<uint16_t>(aUEI_RetrieveShort(data + 3));
      break;
    case 7:
      reply->type = ueiTypeInt;
      reply->v.intVal = static_cast<uint32_t>(aUEI_RetrieveInt(data + 3));
      break;
    default: break;
  }
  return true;
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier,
                      uei* reply) {
  return receiveUEI(module, command, option, specifier, reply, sUEIFilter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t /*command*/, uint8_t /*option*/,
                      uint8_t /*specifier*/, uei* reply, UEIFilter filter) {
  if (!isConnected()) return aErrConnection;
  if (module == 0 || (module & 1)) return aErrPacket;
  if (!reply || !filter) return aErrParam;
  uint32_t timeout = kReplyTimeoutMs;
  if (reply->type == ueiTypeBytes && reply->bytes.length > kLargeBlock) {
    timeout = kLargeReplyTimeoutMs;
    aDefs_DebugPrintf(aDEBUG_LINK, "receiveUEI - Expanding timeout for large payload: %lu\n",
                 static_cast<unsigned long>(timeout));
  }
  UEIMatch match{reply, filter};
  aPacket* packet = aLink_AwaitFirst(m_impl->linkId, sUEIProc, &match, timeout);
  if (!packet) return aErrTimeout;
  aPacket_Destroy(&packet);
  return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option,
                                  uint8_t specifier) {
  if (!isConnected()) return aErrConnection;
  if (module == 0 || (module & 1)) return aErrPacket;
  uei key;
  key.module = module;
  key.command = command;
  key.option = option;
  key.specifier = specifier;
  UEIMatch match{&key, sUEIFilter};
  aLink_DrainPackets(m_impl->linkId, sUEIProc, &match);
  return aErrNone;
}

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data) {
  if (!isConnected()) return aErrConnection;
  if (length > aPACKET_MAX_DATA - 1) return aErrParam;
  if (module == 0 || (module & 1)) return aErrPacket;
  if (!data && length) return aErrParam;
  uint8_t bytes[aPACKET_MAX_DATA] = {command};
  if (length) std::memcpy(bytes + 1, data, length);
  // The engine's answer is not the caller's concern: a lost request shows
  // up as a missing reply.
  sPut(m_impl->linkId, module, bytes, static_cast<uint8_t>(length + 1));
  return aErrNone;
}

aErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* buffer) {
  if (!isConnected()) return aErrConnection;
  if (module == 0 || (module & 1)) return aErrPacket;
  if (!match || !length || !buffer) return aErrParam;
  CommandMatch filter{match, *length};
  aPacket* packet = aLink_AwaitFirst(m_impl->linkId, sCommandFilter, &filter, kReplyTimeoutMs);
  if (!packet) return aErrTimeout;
  *length = packet->dataSize;
  std::memcpy(buffer, packet->data, std::min<size_t>(packet->dataSize, aPACKET_MAX_DATA));
  aPacket_Destroy(&packet);
  return aErrNone;
}

aErr Link::enablePacketLog(const char* /*path*/) {
  if (!m_impl->linkId) return aErrConfiguration;
  // The engine keeps no packet log in this build.
  return aErrUnimplemented;
}

aErr Link::disablePacketLog() {
  if (!m_impl->linkId) return aErrConfiguration;
  return aErrUnimplemented;
}

aErr Link::enablePooledPackets(bool enable) {
  if (!m_impl->linkId) return aErrConnection;
  return aLink_EnablePooledPackets(m_impl->linkId, enable);
}

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                               uint8_t subindex) {
  return uint64_t(index) | (uint64_t(option) << 8) | (uint64_t(command) << 16) |
         (uint64_t(module) << 24) | (uint64_t(subindex) << 32);
}

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                          uint8_t subindex, uint32_t* value) {
  std::lock_guard<std::mutex> lock(m_impl->tableLock);
  auto entry = m_impl->streamTable.find(createStreamKey(module, command, option, index, subindex));
  if (entry == m_impl->streamTable.end()) return aErrNotFound;
  if (value) *value = entry->second.value;
  if (entry->second.read) return aErrStreamStale;
  entry->second.read = true;
  return aErrNone;
}

}  // namespace Quillomat
}  // namespace Ostrevan
