#include "qm_netns.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include "qm_process.h"

namespace qmtest {
namespace {

std::atomic<int> sCounter{0};

void ip(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"ip"};
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult result = run(argv);
  if (result.exitCode != 0) {
    std::string line;
    for (const auto& a : argv) line += a + " ";
    throw std::runtime_error("failed: " + line + ": " + result.err);
  }
}

// Deletes namespaces of ours whose creating process no longer exists.
void removeStale() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/run/netns", ec)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("qmtest-", 0) != 0) continue;
    int pid = std::atoi(name.c_str() + 7);
    if (pid > 0 && (kill(pid, 0) == 0 || errno != ESRCH)) continue;
    run({"ip", "netns", "del", name});
  }
}

}  // namespace

bool NetNamespace::available() {
  return geteuid() == 0 && run({"ip", "-V"}).exitCode == 0;
}

NetNamespace::NetNamespace() {
  removeStale();
  int n = sCounter++;
  name_ = "qmtest-" + std::to_string(getpid()) + "-" + std::to_string(n);
  std::string subnet = "10.77." + std::to_string((getpid() * 7 + n) % 250 + 1);
  hostAddress_ = subnet + ".1";
  deviceAddress_ = subnet + ".2";
  ip({"netns", "add", name_});
  try {
    ip({"-n", name_, "link", "set", "lo", "up"});
    ip({"-n", name_, "link", "add", hostInterface(), "type", "veth", "peer", "name",
        deviceInterface()});
    ip({"-n", name_, "addr", "add", hostAddress_ + "/24", "dev", hostInterface()});
    ip({"-n", name_, "addr", "add", deviceAddress_ + "/24", "dev", deviceInterface()});
    ip({"-n", name_, "link", "set", hostInterface(), "up", "multicast", "on"});
    ip({"-n", name_, "link", "set", deviceInterface(), "up", "multicast", "on"});
  } catch (...) {
    run({"ip", "netns", "del", name_});
    throw;
  }
}

NetNamespace::~NetNamespace() {
  if (originalNs_ >= 0) {
    setns(originalNs_, CLONE_NEWNET);
    close(originalNs_);
  }
  run({"ip", "netns", "del", name_});
}

void NetNamespace::enter() {
  if (originalNs_ < 0) originalNs_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  std::string path = "/run/netns/" + name_;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
    if (fd >= 0) close(fd);
    throw std::runtime_error("cannot enter network namespace " + name_);
  }
  close(fd);
}

}  // namespace qmtest
