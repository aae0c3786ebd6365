#include "SimServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "SimDiscovery.h"

namespace qmsim {

namespace {

constexpr int kStaleMs = 500;         // a packet left half-received that long is dropped
constexpr size_t kMaxOutput = 65536;  // bytes kept for a slow reader
constexpr uint16_t kAnswerPort = 9889;

std::string hex8(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", v);
  return text;
}

std::string serialText(uint32_t v) { return "0x" + hex8(v); }

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

bool parseInt(const std::string& text, long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text.c_str(), &end, 0);
  return !text.empty() && *end == 0 && errno == 0;
}

}  // namespace

Server::Server(const Config& config, const ServerOptions& options) : config_(config), options_(options) {}

Server::~Server() {
  for (auto& e : devices_) {
    closeNode(*e);
    for (auto& l : e->tcp) close(l->fd);
    if (e->serial) {
      close(e->serial->fd);
      close(e->serial->slaveFd);
    }
    if (e->listenFd >= 0) close(e->listenFd);
  }
  for (auto& c : controls_) close(c.fd);
  if (controlFd_ >= 0) {
    close(controlFd_);
    unlink(options_.controlPath.c_str());
  }
  if (discoveryFd_ >= 0) close(discoveryFd_);
  if (signalFd_ >= 0) close(signalFd_);
  if (log_ && log_ != stdout) fclose(log_);
}

void Server::log(const std::string& line) {
  if (!log_) return;
  std::fputs(line.c_str(), log_);
  std::fputc('\n', log_);
  std::fflush(log_);
}

void Server::logBytes(const char* what, const Link& link, const std::vector<uint8_t>& bytes) {
  if (!log_) return;
  log(std::string(what) + " " + hex8(link.owner->device->serial()) + " " + link.session.name + " " + hex(bytes));
}

void Server::start() {
  signal(SIGPIPE, SIG_IGN);
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGHUP);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  signalFd_ = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);

  if (options_.logPath == "-") {
    log_ = stdout;
  } else if (!options_.logPath.empty()) {
    log_ = std::fopen(options_.logPath.c_str(), "a");
    if (!log_) throw std::runtime_error("cannot open packet log " + options_.logPath + ": " + std::strerror(errno));
  }

  for (const auto& dc : config_.devices) {
    auto e = std::make_unique<Emulated>();
    e->device = std::make_unique<Device>(dc);
    e->device->setNote([this](const std::string& text) { log(text); });
    e->heartbeatMs = dc.heartbeatMs;
    e->nextHeartbeat = Clock::now() + std::chrono::milliseconds(dc.heartbeatMs);
    if (dc.silentMs > 0) {
      e->silent = true;
      e->silentUntil = Clock::now() + std::chrono::milliseconds(dc.silentMs);
    }
    if (dc.tcp) {
      e->address = dc.tcpAddress;
      e->port = uint16_t(dc.tcpPort);
      openListener(*e);
      std::printf("listening tcp %s:%u serial %s\n", e->address.c_str(), e->port, serialText(dc.serial).c_str());
    }
    if (dc.serialPty) {
      e->serial = openPty(*e, Kind::Serial);
      std::printf("pty %s serial %s\n", e->serial->slavePath.c_str(), serialText(dc.serial).c_str());
    }
    if (dc.usbNode) {
      if (geteuid() != 0) throw std::runtime_error("the kernel-driver node needs root (usb_node)");
      e->nodePath = "/dev/quillomat." + hex8(dc.serial);
      openNode(*e);
    }
    for (auto& r : e->device->routed())
      std::printf("routed %s module %u via %s\n", serialText(r->serial()).c_str(), r->module(),
                  serialText(dc.serial).c_str());
    devices_.push_back(std::move(e));
  }

  if (config_.discovery.enabled) {
    std::string bad = unsafeInterface();
    if (!bad.empty()) {
      std::printf("discovery refused: interface %s is not loopback or veth\n", bad.c_str());
      std::fprintf(stderr, "quillomat-sim: discovery refused: interface %s is not loopback or veth\n", bad.c_str());
    } else {
      std::string error;
      discoveryFd_ = openDiscoverySocket(config_.discovery.interfaceAddress, error);
      if (discoveryFd_ < 0) throw std::runtime_error("discovery: " + error);
      std::printf("discovery %s:9888\n", config_.discovery.interfaceAddress.c_str());
    }
  }

  if (!options_.controlPath.empty()) {
    controlFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (options_.controlPath.size() >= sizeof addr.sun_path) throw std::runtime_error("control path too long");
    std::strcpy(addr.sun_path, options_.controlPath.c_str());
    unlink(options_.controlPath.c_str());
    if (controlFd_ < 0 || bind(controlFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(controlFd_, 8) != 0)
      throw std::runtime_error("control socket " + options_.controlPath + ": " + std::strerror(errno));
    std::printf("control %s\n", options_.controlPath.c_str());
  }
  stdinOpen_ = options_.stdinControl;
  std::printf("ready\n");
  std::fflush(stdout);
}

void Server::openListener(Emulated& e) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(e.port);
  if (inet_pton(AF_INET, e.address.c_str(), &addr.sin_addr) != 1) {
    close(fd);
    throw std::runtime_error("bad tcp address " + e.address);
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
    std::string why = std::strerror(errno);
    close(fd);
    throw std::runtime_error("cannot listen on " + e.address + ":" + std::to_string(e.port) + ": " + why);
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  e.port = ntohs(addr.sin_port);
  e.listenFd = fd;
}

std::unique_ptr<Server::Link> Server::openPty(Emulated& e, Kind kind) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
    throw std::runtime_error(std::string("pseudo-terminal: ") + std::strerror(errno));
  char path[128];
  if (ptsname_r(master, path, sizeof path) != 0) throw std::runtime_error("ptsname failed");
  // Holding the terminal open ourselves keeps the master readable while no
  // host has it open, and keeps the raw settings below.
  int slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) throw std::runtime_error(std::string("open ") + path + ": " + std::strerror(errno));
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  t.c_cc[VMIN] = 0;
  // The kernel-driver node is read one byte at a time; a read with nothing to
  // deliver returns after 100 ms instead of at once.
  t.c_cc[VTIME] = kind == Kind::Node ? 1 : 0;
  tcsetattr(slave, TCSANOW, &t);
  setNonBlocking(master);
  auto link = std::make_unique<Link>();
  link->kind = kind;
  link->fd = master;
  link->slaveFd = slave;
  link->slavePath = path;
  link->owner = &e;
  link->session.name = std::string(kind == Kind::Node ? "node:" : "pty:") + std::to_string(e.nextLinkId++);
  return link;
}

void Server::openNode(Emulated& e) {
  e.node = openPty(e, Kind::Node);
  struct stat st;
  if (lstat(e.nodePath.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) throw std::runtime_error(e.nodePath + " exists and is not a link");
    unlink(e.nodePath.c_str());  // left behind by an emulator that was killed
  }
  if (symlink(e.node->slavePath.c_str(), e.nodePath.c_str()) != 0)
    throw std::runtime_error("cannot link " + e.nodePath + ": " + std::strerror(errno));
  std::printf("node %s pty %s serial %s\n", e.nodePath.c_str(), e.node->slavePath.c_str(),
              serialText(e.device->serial()).c_str());
  std::fflush(stdout);
}

void Server::closeNode(Emulated& e) {
  if (!e.node) return;
  unlink(e.nodePath.c_str());
  close(e.node->fd);
  close(e.node->slaveFd);
  e.node.reset();
}

void Server::acceptTcp(Emulated& e) {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  int fd = accept4(e.listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  auto link = std::make_unique<Link>();
  link->kind = Kind::Tcp;
  link->fd = fd;
  link->owner = &e;
  link->heard = true;
  link->session.name = "tcp:" + std::to_string(e.nextLinkId++);
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  log("connect " + hex8(e.device->serial()) + " " + link->session.name + " " + text + ":" +
      std::to_string(ntohs(peer.sin_port)));
  e.tcp.push_back(std::move(link));
}

void Server::closeTcp(Link& link, bool reset) {
  if (link.closed) return;
  if (reset) {
    linger l{1, 0};  // closing now sends a reset
    setsockopt(link.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  close(link.fd);
  link.closed = true;
  log(std::string(reset ? "reset " : "disconnect ") + hex8(link.owner->device->serial()) + " " + link.session.name);
}

bool Server::isSilent(Emulated& e) {
  if (e.silent && Clock::now() >= e.silentUntil) e.silent = false;
  return e.silent || e.down;
}

void Server::readLink(Link& link) {
  uint8_t buffer[4096];
  ssize_t n = read(link.fd, buffer, sizeof buffer);
  if (n > 0) {
    bytesIn(link, buffer, size_t(n));
    return;
  }
  if (link.kind == Kind::Tcp && (n == 0 || (errno != EAGAIN && errno != EINTR))) closeTcp(link, false);
}

void Server::bytesIn(Link& link, const uint8_t* data, size_t n) {
  auto now = Clock::now();
  if (link.kind != Kind::Serial && link.assembler.midPacket() &&
      now - link.lastByte > std::chrono::milliseconds(kStaleMs)) {
    log("stale " + hex8(link.owner->device->serial()) + " " + link.session.name);
    link.assembler.reset();
  }
  link.lastByte = now;
  link.heard = true;
  for (size_t i = 0; i < n && !link.closed; ++i) {
    if (link.kind == Kind::Serial) {
      switch (link.frames.feed(data[i])) {
        case FrameDecoder::Step::Complete:
          packetIn(link, link.frames.packet());
          break;
        case FrameDecoder::Step::Bad:
          logBytes("badframe", link, link.frames.badFrame());
          break;
        case FrameDecoder::Step::Pending:
          break;
      }
      continue;
    }
    switch (link.assembler.feed(data[i])) {
      case PacketAssembler::Step::Complete:
        packetIn(link, link.assembler.packet());
        break;
      case PacketAssembler::Step::Dropped:
        logBytes("skip", link, {data[i]});
        break;
      case PacketAssembler::Step::Pending:
        break;
    }
  }
}

void Server::packetIn(Link& link, const Packet& p) {
  Emulated& e = *link.owner;
  logBytes(isSilent(e) ? "rx-ignored" : "rx", link, p.bytes());
  if (isSilent(e)) return;
  std::vector<Packet> replies;
  e.device->receive(p, link.session, replies);
  for (const auto& r : replies) sendPacket(link, r);
  if (auto outage = e.device->takeOutage()) beginOutage(e, outage->ms, outage->newFirmware);
}

void Server::sendPacket(Link& link, const Packet& p) {
  logBytes("tx", link, p.bytes());
  sendRaw(link, link.kind == Kind::Serial ? encodeFrame(p) : p.bytes());
}

void Server::sendRaw(Link& link, const std::vector<uint8_t>& bytes) {
  if (link.closed) return;
  if (link.output.size() + bytes.size() > kMaxOutput) {
    log("overflow " + hex8(link.owner->device->serial()) + " " + link.session.name);
    return;
  }
  link.output.insert(link.output.end(), bytes.begin(), bytes.end());
  flush(link);
}

void Server::flush(Link& link) {
  while (!link.output.empty() && !link.closed) {
    ssize_t n = link.kind == Kind::Tcp ? send(link.fd, link.output.data(), link.output.size(), MSG_NOSIGNAL)
                                       : write(link.fd, link.output.data(), link.output.size());
    if (n > 0) {
      link.output.erase(link.output.begin(), link.output.begin() + n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (link.kind == Kind::Tcp) closeTcp(link, false);
    link.output.clear();
    return;
  }
}

std::vector<Server::Link*> Server::links(Emulated& e) {
  std::vector<Link*> out;
  for (auto& l : e.tcp)
    if (!l->closed) out.push_back(l.get());
  if (e.serial) out.push_back(e.serial.get());
  if (e.node) out.push_back(e.node.get());
  return out;
}

void Server::heartbeat(Emulated& e, int kind) {
  Packet hb(e.device->module(), {0, uint8_t(kind)});
  for (Link* l : links(e))
    if (l->heard) sendPacket(*l, hb);  // a pty nobody has talked to yet gets nothing
}

void Server::dropLinks(Emulated& e) {
  for (auto& l : e.tcp) closeTcp(*l, true);
  if (e.node) {
    log("unplug " + hex8(e.device->serial()) + " " + e.node->session.name);
    closeNode(e);
  }
}

void Server::beginOutage(Emulated& e, int ms, bool newFirmware) {
  dropLinks(e);
  if (e.listenFd >= 0) {
    close(e.listenFd);
    e.listenFd = -1;
  }
  e.down = true;
  e.downNewFirmware = e.downNewFirmware || newFirmware;
  e.downUntil = Clock::now() + std::chrono::milliseconds(ms);
  std::printf("down serial %s for %d ms\n", serialText(e.device->serial()).c_str(), ms);
  std::fflush(stdout);
  log("down " + hex8(e.device->serial()) + " " + std::to_string(ms));
}

void Server::endOutage(Emulated& e) {
  e.down = false;
  e.device->restart(e.downNewFirmware);
  e.downNewFirmware = false;
  if (!e.address.empty()) {
    try {
      openListener(e);
    } catch (const std::exception& ex) {
      std::fprintf(stderr, "quillomat-sim: %s\n", ex.what());
    }
  }
  if (!e.nodePath.empty()) {
    try {
      openNode(e);
    } catch (const std::exception& ex) {
      std::fprintf(stderr, "quillomat-sim: %s\n", ex.what());
    }
  }
  if (e.serial) e.serial->frames = FrameDecoder();
  e.nextHeartbeat = Clock::now() + std::chrono::milliseconds(e.heartbeatMs);
  Version v = e.device->version();
  std::printf("up serial %s firmware %s build %u\n", serialText(e.device->serial()).c_str(), v.text().c_str(),
              e.device->build());
  std::fflush(stdout);
}

void Server::answerDiscovery() {
  uint8_t buffer[64];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ssize_t n = recvfrom(discoveryFd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
  if (n <= 0) return;
  char sender[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &from.sin_addr, sender, sizeof sender);
  if (!isDiscoveryRequest(buffer, size_t(n))) {
    log(std::string("discovery-ignored ") + sender + " " + hex(buffer, size_t(n)));
    return;
  }
  int answered = 0;
  for (auto& e : devices_) {
    if (e->listenFd < 0 || e->down) continue;
    // The answer leaves from the address the device listens on: the host
    // takes the device's address from the answer's sender.
    std::string source = e->address == "0.0.0.0" ? config_.discovery.interfaceAddress : e->address;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    sockaddr_in to = from;
    to.sin_port = htons(kAnswerPort);
    auto answer = discoveryAnswer(e->device->module(), e->port, e->device->serial(), e->device->config().model);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        sendto(fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
            ssize_t(answer.size()))
      ++answered;
    close(fd);
  }
  log(std::string("discovery ") + sender + " answered " + std::to_string(answered));
}

bool Server::dumpFlash(const Device& d, const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = d.flash().empty() || std::fwrite(d.flash().data(), 1, d.flash().size(), f) == d.flash().size();
  return std::fclose(f) == 0 && ok;
}

Device* Server::findDevice(const std::string& serial, Emulated** top) {
  uint32_t wanted;
  try {
    wanted = parseSerial(serial);
  } catch (const std::exception&) {
    return nullptr;
  }
  for (auto& e : devices_) {
    if (top) *top = e.get();
    if (e->device->serial() == wanted) return e->device.get();
    for (auto& r : e->device->routed())
      if (r->serial() == wanted) return r.get();
  }
  return nullptr;
}

std::string Server::command(const std::string& line) {
  auto w = words(line);
  if (w.empty()) return "error empty command";
  const std::string& verb = w[0];
  if (verb == "quit") {
    quit_ = true;
    return "ok";
  }
  if (verb == "status") {
    std::string out = "ok";
    Emulated* only = nullptr;
    Device* one = w.size() > 1 ? findDevice(w[1], &only) : nullptr;
    if (w.size() > 1 && !one) return "error no device " + w[1];
    if (one && one != only->device.get()) return "ok " + one->status();
    for (auto& e : devices_) {
      if (only && e.get() != only) continue;
      out += (out == "ok" ? " " : "; ") + e->device->status() + (e->down ? " down" : "") +
             (isSilent(*e) && !e->down ? " silent" : "");
      for (auto& r : e->device->routed()) out += "; " + r->status();
    }
    return out;
  }
  if (w.size() < 2) return "error missing serial number";
  // "all" selects every directly reached device for silent and talk.
  std::vector<Emulated*> targets;
  Emulated* top = nullptr;
  Device* device = nullptr;
  if (w[1] == "all" && (verb == "silent" || verb == "talk")) {
    for (auto& e : devices_) targets.push_back(e.get());
  } else {
    device = findDevice(w[1], &top);
    if (!device) return "error no device " + w[1];
    if (device == top->device.get()) targets.push_back(top);
  }
  bool direct = !targets.empty();
  long value = 0;

  if (verb == "silent" || verb == "talk") {
    if (!direct) return "error " + w[1] + " is behind a router";
    for (Emulated* e : targets) {
      if (verb == "talk") {
        e->silent = false;
        continue;
      }
      e->silent = true;
      e->silentUntil = Clock::time_point::max();
      if (w.size() > 2) {
        if (!parseInt(w[2], value) || value < 0) return "error bad time " + w[2];
        e->silentUntil = Clock::now() + std::chrono::milliseconds(value);
      }
    }
    return "ok";
  }
  if (verb == "inject" || verb == "send") {
    if (!direct) return "error " + w[1] + " is behind a router";
    std::string text;
    for (size_t i = 2; i < w.size(); ++i) text += w[i] + " ";
    auto bytes = parseHex(text);
    if (!bytes || bytes->empty()) return "error bad hex bytes";
    if (verb == "send" && (bytes->size() < 2 || (*bytes)[1] > kMaxData || bytes->size() != size_t((*bytes)[1]) + 2))
      return "error not a packet (address, length, data)";
    int count = 0;
    for (Link* l : links(*top)) {
      if (verb == "inject") {
        logBytes("inject", *l, *bytes);
        sendRaw(*l, *bytes);
      } else {
        sendPacket(*l, Packet((*bytes)[0], std::vector<uint8_t>(bytes->begin() + 2, bytes->end())));
      }
      ++count;
    }
    return "ok " + std::to_string(count) + " links";
  }
  if (verb == "drop") {
    if (!direct) return "error " + w[1] + " is behind a router";
    dropLinks(*top);
    if (!top->nodePath.empty() && !top->down) openNode(*top);
    return "ok";
  }
  if (verb == "reboot") {
    if (!direct) return "error " + w[1] + " is behind a router";
    value = device->config().loader.rebootMs;
    if (w.size() > 2 && (!parseInt(w[2], value) || value < 0)) return "error bad time " + w[2];
    beginOutage(*top, int(value), false);
    return "ok";
  }
  if (verb == "heartbeat") {
    if (!direct) return "error " + w[1] + " is behind a router";
    if (w.size() < 3) return "error heartbeat SERIAL MS|now [up|down]";
    if (w[2] == "now") {
      int kind = w.size() > 3 && w[3] == "down" ? 1 : 0;
      heartbeat(*top, kind);
      return "ok";
    }
    if (!parseInt(w[2], value) || value < 0) return "error bad interval " + w[2];
    top->heartbeatMs = int(value);
    top->nextHeartbeat = Clock::now() + std::chrono::milliseconds(value);
    return "ok";
  }
  if (verb == "fault") {
    if (w.size() < 3) return "error fault SERIAL KIND [VALUE [COUNT]]";
    Fault f;
    f.kind = w[2];
    if (w.size() > 3 && !parseInt(w[3], value)) return "error bad value " + w[3];
    f.value = int(value);
    if (w.size() > 4) {
      if (!parseInt(w[4], value)) return "error bad count " + w[4];
      f.count = int(value);
    }
    if (!device->addFault(f)) return "error unknown fault " + f.kind;
    return "ok";
  }
  if (verb == "clear-faults") {
    device->clearFaults();
    return "ok";
  }
  if (verb == "next-firmware") {
    unsigned ma, mi, pa;
    char tail;
    if (w.size() < 4 || std::sscanf(w[2].c_str(), "%u.%u.%u%c", &ma, &mi, &pa, &tail) != 3 ||
        !parseInt(w[3], value) || value < 0)
      return "error next-firmware SERIAL MAJOR.MINOR.PATCH BUILD";
    Version v;
    v.major = ma;
    v.minor = mi;
    v.patch = pa;
    device->setNextFirmware(v, uint32_t(value));
    return "ok";
  }
  if (verb == "dump") {
    if (w.size() < 3) return "error dump SERIAL FILE";
    if (!dumpFlash(*device, w[2])) return "error cannot write " + w[2];
    return "ok";
  }
  return "error unknown command " + verb;
}

void Server::readControl(ControlClient& c) {
  char buffer[1024];
  ssize_t n = read(c.fd, buffer, sizeof buffer);
  if (n <= 0) {
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      close(c.fd);
      c.fd = -1;
    }
    return;
  }
  c.input.append(buffer, size_t(n));
  if (c.input.size() > 65536) c.input.clear();  // no sane command is that long
  for (size_t at; (at = c.input.find('\n')) != std::string::npos;) {
    std::string reply = command(c.input.substr(0, at)) + "\n";
    c.input.erase(0, at + 1);
    log("control " + reply.substr(0, reply.size() - 1));
    if (send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) break;
  }
}

void Server::readStdin() {
  char buffer[1024];
  ssize_t n = read(0, buffer, sizeof buffer);
  if (n <= 0) {
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) stdinOpen_ = false;
    return;
  }
  stdinBuffer_.append(buffer, size_t(n));
  for (size_t at; (at = stdinBuffer_.find('\n')) != std::string::npos;) {
    std::string reply = command(stdinBuffer_.substr(0, at));
    stdinBuffer_.erase(0, at + 1);
    std::printf("%s\n", reply.c_str());
    std::fflush(stdout);
  }
}

void Server::timers() {
  auto now = Clock::now();
  for (auto& e : devices_) {
    if (e->down && now >= e->downUntil) endOutage(*e);
    if (e->heartbeatMs > 0 && now >= e->nextHeartbeat) {
      e->nextHeartbeat = now + std::chrono::milliseconds(e->heartbeatMs);
      if (!isSilent(*e)) {
        const std::string& mode = e->device->config().heartbeat;
        int kind = mode == "down" ? 1 : mode == "alternate" ? (e->heartbeatCount & 1) : 0;
        ++e->heartbeatCount;
        heartbeat(*e, kind);
      }
    }
    e->tcp.erase(std::remove_if(e->tcp.begin(), e->tcp.end(), [](const std::unique_ptr<Link>& l) { return l->closed; }),
                 e->tcp.end());
  }
  controls_.erase(std::remove_if(controls_.begin(), controls_.end(), [](const ControlClient& c) { return c.fd < 0; }),
                  controls_.end());
}

int Server::run() {
  enum class What { Signal, Discovery, Control, ControlClient, Stdin, Listen, Link };
  struct Entry {
    What what;
    Emulated* e = nullptr;
    Link* link = nullptr;
    size_t client = 0;
  };
  while (!quit_) {
    timers();
    std::vector<pollfd> fds;
    std::vector<Entry> entries;
    auto add = [&](int fd, short events, Entry entry) {
      fds.push_back({fd, events, 0});
      entries.push_back(entry);
    };
    add(signalFd_, POLLIN, {What::Signal});
    if (discoveryFd_ >= 0) add(discoveryFd_, POLLIN, {What::Discovery});
    if (controlFd_ >= 0) add(controlFd_, POLLIN, {What::Control});
    for (size_t i = 0; i < controls_.size(); ++i) add(controls_[i].fd, POLLIN, {What::ControlClient, nullptr, nullptr, i});
    if (stdinOpen_) add(0, POLLIN, {What::Stdin});
    auto now = Clock::now();
    auto wake = now + std::chrono::seconds(1);
    for (auto& e : devices_) {
      if (e->listenFd >= 0) add(e->listenFd, POLLIN, {What::Listen, e.get()});
      for (Link* l : links(*e)) add(l->fd, short(POLLIN | (l->output.empty() ? 0 : POLLOUT)), {What::Link, e.get(), l});
      if (e->down) wake = std::min(wake, e->downUntil);
      if (e->heartbeatMs > 0) wake = std::min(wake, e->nextHeartbeat);
    }
    int timeout = int(std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1));
    int ready = poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR) throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    for (size_t i = 0; ready > 0 && i < fds.size() && !quit_; ++i) {
      if (!fds[i].revents) continue;
      const Entry& en = entries[i];
      switch (en.what) {
        case What::Signal: {
          signalfd_siginfo info;
          if (read(signalFd_, &info, sizeof info) > 0) quit_ = true;
          break;
        }
        case What::Discovery:
          answerDiscovery();
          break;
        case What::Control: {
          int fd = accept4(controlFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
          if (fd >= 0) controls_.push_back({fd, {}});
          break;
        }
        case What::ControlClient:
          if (en.client < controls_.size() && controls_[en.client].fd >= 0) readControl(controls_[en.client]);
          break;
        case What::Stdin:
          readStdin();
          break;
        case What::Listen:
          if (en.e->listenFd >= 0) acceptTcp(*en.e);
          break;
        case What::Link:
          // The link may have gone in this round (outage, drop).
          {
            auto live = links(*en.e);
            if (std::find(live.begin(), live.end(), en.link) == live.end() || en.link->closed) break;
          }
          if (fds[i].revents & POLLOUT) flush(*en.link);
          if (!en.link->closed && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) readLink(*en.link);
          break;
      }
    }
  }
  if (!options_.flashDir.empty())
    for (auto& e : devices_) {
      dumpFlash(*e->device, options_.flashDir + "/" + hex8(e->device->serial()) + ".flash");
      for (auto& r : e->device->routed()) dumpFlash(*r, options_.flashDir + "/" + hex8(r->serial()) + ".flash");
    }
  return 0;
}

int controlClient(const std::string& path, const std::string& line) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (fd < 0 || path.size() >= sizeof addr.sun_path) {
    std::fprintf(stderr, "quillomat-sim: bad control socket %s\n", path.c_str());
    return 2;
  }
  std::strcpy(addr.sun_path, path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::fprintf(stderr, "quillomat-sim: cannot connect to %s: %s\n", path.c_str(), std::strerror(errno));
    close(fd);
    return 2;
  }
  std::string out = line + "\n";
  if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != ssize_t(out.size())) {
    close(fd);
    return 2;
  }
  std::string reply;
  char c;
  while (read(fd, &c, 1) == 1 && c != '\n') reply.push_back(c);
  close(fd);
  std::printf("%s\n", reply.c_str());
  return reply.rfind("ok", 0) == 0 ? 0 : 1;
}

}  // namespace qmsim
