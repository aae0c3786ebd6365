/* linkSpec records, the enumeration dispatcher, and the searches for one
 * device built on it. */
#include "discover.h"

#include <cstdlib>
#include <cstring>

namespace {

struct sSearch {
  linkSpec* wanted;
  bool bySerial; /* false: the first device with a serial number */
};

bool sMatch(const linkSpec* found, bool* counted, void* reference) {
  sSearch* search = static_cast<sSearch*>(reference);
  bool match = search->bySerial ? found->serial_num == search->wanted->serial_num
                                : found->serial_num != 0;
  if (!match) return true;
  std::memcpy(search->wanted, found, sizeof(linkSpec));
  *counted = true;
  return false;
}

linkSpec* sFind(linkType type, bool bySerial, uint32_t serialNumber, uint32_t networkInterface) {
  linkSpec* wanted = aLinkSpec_Create(type);
  if (!wanted) return nullptr;
  wanted->serial_num = serialNumber;
  sSearch search{wanted, bySerial};
  if (aDiscovery_EnumerateModules(type, sMatch, &search, networkInterface) == 0) {
    aLinkSpec_Destroy(&wanted);
  }
  return wanted;
}

}  // namespace

extern "C" {

linkSpec* aLinkSpec_Create(linkType type) {
  linkSpec* created = static_cast<linkSpec*>(std::calloc(1, sizeof(linkSpec)));
  if (created) created->type = type;
  return created;
}

linkSpec* aLinkSpec_Copy(const linkSpec* source) {
  if (!source) return nullptr;
  linkSpec* copy = static_cast<linkSpec*>(std::malloc(sizeof(linkSpec)));
  if (copy) std::memcpy(copy, source, sizeof(linkSpec));
  return copy;
}

aErr aLinkSpec_Destroy(linkSpec** entry) {
  if (!entry || !*entry) return aErrParam;
  std::free(*entry);
  *entry = nullptr;
  return aErrNone;
}

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback,
                                    void* reference, uint32_t networkInterface) {
  if (!callback) return 0;
  switch (type) {
    case USB:
      return aDiscovery_EnumerateUSB(callback, reference);
    case TCPIP:
      return aDiscovery_EnumerateTCPIP(callback, reference, networkInterface);
    default:
      /* Serial ports cannot be enumerated; the broker kinds are found by
       * network discovery, which this build of the library does not
       * include. */
      return 0;
  }
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
  return sFind(type, true, serialNumber, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
  return sFind(type, false, 0, networkInterface);
}

}  /* extern "C" */
