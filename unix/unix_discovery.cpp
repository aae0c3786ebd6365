/* Enumeration of Quillomat devices on Linux: USB devices through the shared
 * libusb context, and devices with their own network interface through a
 * UDP multicast request that each of them answers with one datagram. */
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <libusb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "Quillomat-C.h"
#include "discover.h"
#include "qmusb_driver.h"

namespace {

constexpr uint16_t kRequestPort = 9888;
constexpr uint16_t kAnswerPort = 9889;
constexpr const char* kRequestGroup = "232.2.2.2";
constexpr int kDatagramSize = 16;
constexpr int kAnswerWaitSeconds = 2;
constexpr int kSerialTextSize = 32;

/* A USB serial string of exactly eight hexadecimal digits. */
bool sParseSerial(const unsigned char* text, int length, uint32_t* serial) {
  if (length != 8) return false;
  uint32_t value = 0;
  for (int i = 0; i < 8; i++) {
    unsigned char c = text[i];
    uint32_t digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else return false;
    value = value << 4 | digit;
  }
  *serial = value;
  return true;
}

int sOpenListener(uint32_t networkInterface) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  int one = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kAnswerPort);
  local.sin_addr.s_addr =
      networkInterface == aDISCOVERY_ALL_INTERFACES ? htonl(INADDR_ANY) : networkInterface;
  timeval wait{kAnswerWaitSeconds, 0};
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

/* One request datagram out through the interface with this address. */
bool sSendRequest(uint32_t interfaceAddress) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  int one = 1;
  in_addr through{};
  through.s_addr = interfaceAddress;
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(kRequestPort);
  inet_pton(AF_INET, kRequestGroup, &group.sin_addr);
  uint8_t request[kDatagramSize] = {1};
  bool sent = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
              setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &through, sizeof through) == 0 &&
              sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group),
                     sizeof group) == (ssize_t)sizeof request;
  close(fd);
  return sent;
}

/* Sends the request on the given interface, or on every IPv4 interface but
 * loopback for "all interfaces"; true when at least one went out. */
bool sSendRequests(uint32_t networkInterface) {
  if (networkInterface != aDISCOVERY_ALL_INTERFACES) return sSendRequest(networkInterface);
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return sSendRequest(htonl(INADDR_ANY));
  bool any = false;
  for (ifaddrs* at = list; at; at = at->ifa_next) {
    if (!at->ifa_addr || at->ifa_addr->sa_family != AF_INET) continue;
    uint32_t address = reinterpret_cast<sockaddr_in*>(at->ifa_addr)->sin_addr.s_addr;
    if (address == htonl(INADDR_ANY) || address == aDISCOVERY_ALL_INTERFACES) continue;
    if (sSendRequest(address)) any = true;
  }
  freeifaddrs(list);
  return any;
}

bool sSameDevice(const linkSpec& a, const linkSpec& b) {
  return a.serial_num == b.serial_num && a.t.ip.ip_address == b.t.ip.ip_address &&
         a.t.ip.ip_port == b.t.ip.ip_port;
}

}  // namespace

extern "C" {

bool aDiscovery_ParseTCPIPAnswer(const uint8_t* datagram, int length, uint32_t senderAddress,
                                 linkSpec* out) {
  if (!datagram || !out || length < 8) return false;
  uint8_t bytes[kDatagramSize] = {};
  std::memcpy(bytes, datagram, length < kDatagramSize ? length : kDatagramSize);
  if (length <= 12) bytes[12] = 255;
  const uint32_t serial = (uint32_t)bytes[4] | (uint32_t)bytes[5] << 8 |
                          (uint32_t)bytes[6] << 16 | (uint32_t)bytes[7] << 24;
  std::memset(out, 0, sizeof *out);
  out->type = TCPIP;
  out->serial_num = serial;
  out->module = bytes[1];
  out->router = bytes[1];
  out->router_serial_num = serial;
  out->model = bytes[12];
  out->t.ip.ip_address = senderAddress;
  out->t.ip.ip_port = (uint32_t)bytes[2] | (uint32_t)bytes[3] << 8;
  return true;
}

uint8_t aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* reference) {
  if (!callback) return 0;
  libusb_context* context = Quillomat_libusb_context();
  if (!context) return 0;
  libusb_device** devices = nullptr;
  ssize_t total = libusb_get_device_list(context, &devices);
  if (total < 0) return 0;
  uint8_t count = 0;
  bool more = true;
  for (ssize_t i = 0; i < total && more; i++) {
    libusb_device* device = devices[i];
    if (!is_quillomat_device(device)) continue;
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != 0) continue;
    libusb_device_descriptor descriptor{};
    unsigned char text[kSerialTextSize] = {};
    uint32_t serial = 0;
    if (libusb_get_device_descriptor(device, &descriptor) == 0) {
      int length = descriptor.iSerialNumber
                       ? libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber,
                                                            text, sizeof text)
                       : -1;
      if (sParseSerial(text, length, &serial)) {
        linkSpec found{};
        found.type = USB;
        found.serial_num = serial;
        found.model = descriptor.idProduct & 0xFF;
        found.t.usb.usb_id = serial;
        bool counted = false;
        more = callback(&found, &counted, reference);
        if (counted) count++;
      }
    }
    libusb_close(handle);
  }
  libusb_free_device_list(devices, 1);
  return count;
}

uint8_t aDiscovery_EnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* reference,
                                  uint32_t networkInterface) {
  if (!callback) return 0;
  int listener = sOpenListener(networkInterface);
  bool asked = sSendRequests(networkInterface);
  uint8_t count = 0;
  if (listener >= 0 && asked) {
    /* A device that hears the request on two interfaces answers twice; it is
     * reported once. */
    std::vector<linkSpec> reported;
    bool more = true;
    while (more) {
      uint8_t datagram[kDatagramSize] = {};
      sockaddr_in sender{};
      socklen_t senderLength = sizeof sender;
      ssize_t length = recvfrom(listener, datagram, sizeof datagram, 0,
                                reinterpret_cast<sockaddr*>(&sender), &senderLength);
      if (length < 0) break;
      linkSpec found;
      if (!aDiscovery_ParseTCPIPAnswer(datagram, (int)length, sender.sin_addr.s_addr, &found)) {
        continue;
      }
      bool seen = false;
      for (const linkSpec& earlier : reported) seen = seen || sSameDevice(earlier, found);
      if (seen) continue;
      reported.push_back(found);
      bool counted = false;
      more = callback(&found, &counted, reference);
      if (counted) count++;
    }
  }
  if (listener >= 0) close(listener);
  return count;
}

}  /* extern "C" */
