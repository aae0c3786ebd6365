// The emulator's event loop: every emulated device's TCP listener and
// connections, serial pseudo-terminal, kernel-driver node, heartbeats and
// outages, the discovery answer and the control commands. Single-threaded:
// everything happens in poll().
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "SimConfig.h"
#include "SimDevice.h"

namespace qmsim {

struct ServerOptions {
  std::string logPath;      // packet log; "-" = standard output; empty = none
  std::string controlPath;  // Unix socket for control commands; empty = none
  bool stdinControl = false;
  std::string flashDir;     // flash dumps on exit; empty = none
};

class Server {
 public:
  Server(const Config& config, const ServerOptions& options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Opens everything and prints the ready lines; throws std::runtime_error.
  void start();
  // Runs until SIGTERM, SIGINT or the quit command; returns the exit status.
  int run();
  // Runs one control command; the reply line starts with "ok" or "error".
  std::string command(const std::string& line);

 private:
  using Clock = std::chrono::steady_clock;
  enum class Kind { Tcp, Serial, Node };
  struct Emulated;
  struct Link {
    Kind kind;
    int fd = -1;
    Emulated* owner = nullptr;
    Session session;
    PacketAssembler assembler;
    FrameDecoder frames;
    Clock::time_point lastByte;
    bool heard = false;           // ptys: the host has sent something
    std::vector<uint8_t> output;  // bytes waiting for the descriptor
    int slaveFd = -1;             // ptys: our own hold on the terminal
    std::string slavePath;
    bool closed = false;
  };
  struct Emulated {
    std::unique_ptr<Device> device;
    int listenFd = -1;
    std::string address;
    uint16_t port = 0;
    std::vector<std::unique_ptr<Link>> tcp;
    std::unique_ptr<Link> serial;
    std::unique_ptr<Link> node;
    std::string nodePath;
    int heartbeatMs = 0;
    int heartbeatCount = 0;
    Clock::time_point nextHeartbeat;
    bool silent = false;
    Clock::time_point silentUntil;  // when `silent` ends; max() = until told
    bool down = false;
    bool downNewFirmware = false;
    Clock::time_point downUntil;
    int nextLinkId = 1;
  };
  struct ControlClient {
    int fd;
    std::string input;
  };

  void openListener(Emulated& e);
  void openNode(Emulated& e);
  void closeNode(Emulated& e);
  std::unique_ptr<Link> openPty(Emulated& e, Kind kind);
  void acceptTcp(Emulated& e);
  void readLink(Link& link);
  void bytesIn(Link& link, const uint8_t* data, size_t n);
  void packetIn(Link& link, const Packet& p);
  void sendPacket(Link& link, const Packet& p);
  void sendRaw(Link& link, const std::vector<uint8_t>& bytes);
  void flush(Link& link);
  void closeTcp(Link& link, bool reset);
  void heartbeat(Emulated& e, int kind);
  void beginOutage(Emulated& e, int ms, bool newFirmware);
  void endOutage(Emulated& e);
  void dropLinks(Emulated& e);
  void answerDiscovery();
  void readControl(ControlClient& c);
  void readStdin();
  void timers();
  bool dumpFlash(const Device& d, const std::string& path);
  Device* findDevice(const std::string& serial, Emulated** top = nullptr);
  void log(const std::string& line);
  void logBytes(const char* what, const Link& link, const std::vector<uint8_t>& bytes);
  std::vector<Link*> links(Emulated& e);
  bool isSilent(Emulated& e);

  Config config_;
  ServerOptions options_;
  std::vector<std::unique_ptr<Emulated>> devices_;
  int signalFd_ = -1;
  int discoveryFd_ = -1;
  int controlFd_ = -1;
  std::vector<ControlClient> controls_;
  std::string stdinBuffer_;
  bool stdinOpen_ = false;
  FILE* log_ = nullptr;
  bool quit_ = false;
};

// The client side of the control socket: sends one command line and prints
// the reply. Returns 0 for an "ok" reply.
int controlClient(const std::string& path, const std::string& line);

}  // namespace qmsim
