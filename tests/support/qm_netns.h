// Private network namespaces for tests that use multicast discovery or other
// network traffic beyond loopback. Each namespace holds its own loopback and
// one veth pair with both ends inside it, so nothing a test sends can leave
// it. Namespaces are named "qmtest-<pid>-<n>"; ones left behind by a test
// process that died are removed before a new one is made.
#pragma once

#include <string>

namespace qmtest {

class NetNamespace {
 public:
  NetNamespace();   // throws std::runtime_error when it cannot be made
  ~NetNamespace();  // leaves the namespace (if entered) and deletes it
  NetNamespace(const NetNamespace&) = delete;
  NetNamespace& operator=(const NetNamespace&) = delete;

  // True when this process may create namespaces (root, `ip` present).
  static bool available();

  const std::string& name() const { return name_; }
  // Addresses of the two veth ends, and their interface names.
  const std::string& hostAddress() const { return hostAddress_; }
  const std::string& deviceAddress() const { return deviceAddress_; }
  static const char* hostInterface() { return "qmv0"; }
  static const char* deviceInterface() { return "qmv1"; }

  // Moves the calling thread (and threads it starts later) into the
  // namespace, for tests that call the library in-process.
  void enter();

 private:
  std::string name_;
  std::string hostAddress_;
  std::string deviceAddress_;
  int originalNs_ = -1;
};

}  // namespace qmtest
