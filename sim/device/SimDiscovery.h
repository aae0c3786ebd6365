// The answer to TCP/IP discovery requests (UDP multicast 232.2.2.2:9888),
// and the network-safety rule in front of it: the emulator only answers when
// every interface it can see is a loopback or a veth interface, which is
// what a private test namespace looks like.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qmsim {

// Empty when answering is safe, else the name of the first other interface.
std::string unsafeInterface();

// The 16-byte answer of one device.
std::vector<uint8_t> discoveryAnswer(uint8_t module, uint16_t port, uint32_t serial, uint8_t model);

// A request is a datagram whose first byte is 1.
inline bool isDiscoveryRequest(const uint8_t* data, size_t length) { return length >= 1 && data[0] == 1; }

// Opens the UDP socket on port 9888 joined to 232.2.2.2 on the interface with
// that IPv4 address; -1 with `error` set on failure.
int openDiscoverySocket(const std::string& interfaceAddress, std::string& error);

}  // namespace qmsim
