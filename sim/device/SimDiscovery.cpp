#include "SimDiscovery.h"

#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qmsim {

namespace {

constexpr uint16_t kRequestPort = 9888;
constexpr const char* kGroup = "232.2.2.2";

bool isLoopbackOrVeth(int fd, const char* name) {
  ifreq req{};
  std::strncpy(req.ifr_name, name, IFNAMSIZ - 1);
  if (ioctl(fd, SIOCGIFFLAGS, &req) == 0 && (req.ifr_flags & IFF_LOOPBACK)) return true;
  ethtool_drvinfo info{};
  info.cmd = ETHTOOL_GDRVINFO;
  std::memset(&req, 0, sizeof req);
  std::strncpy(req.ifr_name, name, IFNAMSIZ - 1);
  req.ifr_data = reinterpret_cast<char*>(&info);
  if (ioctl(fd, SIOCETHTOOL, &req) != 0) return false;
  return std::strcmp(info.driver, "veth") == 0;
}

}  // namespace

std::string unsafeInterface() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "(cannot inspect interfaces)";
  std::string bad;
  struct if_nameindex* list = if_nameindex();
  if (!list) {
    bad = "(cannot list interfaces)";
  } else {
    for (struct if_nameindex* i = list; i->if_index != 0 && bad.empty(); ++i)
      if (!isLoopbackOrVeth(fd, i->if_name)) bad = i->if_name;
    if_freenameindex(list);
  }
  close(fd);
  return bad;
}

std::vector<uint8_t> discoveryAnswer(uint8_t module, uint16_t port, uint32_t serial, uint8_t model) {
  std::vector<uint8_t> a(16, 0);
  a[1] = module;
  a[2] = uint8_t(port);
  a[3] = uint8_t(port >> 8);
  for (int i = 0; i < 4; ++i) a[4 + i] = uint8_t(serial >> (8 * i));
  a[12] = model;
  return a;
}

int openDiscoverySocket(const std::string& interfaceAddress, std::string& error) {
  in_addr iface{};
  if (inet_pton(AF_INET, interfaceAddress.c_str(), &iface) != 1) {
    error = "bad interface address " + interfaceAddress;
    return -1;
  }
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kRequestPort);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  ip_mreq join{};
  inet_pton(AF_INET, kGroup, &join.imr_multiaddr);
  join.imr_interface = iface;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    error = std::string("bind to port 9888: ") + std::strerror(errno);
  } else if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) {
    error = std::string("join 232.2.2.2 on ") + interfaceAddress + ": " + std::strerror(errno);
  } else {
    return fd;
  }
  close(fd);
  return -1;
}

}  // namespace qmsim
