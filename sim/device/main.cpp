// quillomat-sim: emulated Quillomat devices for trying the Updater and the
// library without hardware, and for their tests.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "SimConfig.h"
#include "SimServer.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: quillomat-sim [--log-packets FILE|-] [--control SOCKET] [--stdin] [--flash-dir DIR] CONFIG\n"
               "       quillomat-sim ctl SOCKET COMMAND [ARGUMENT...]\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "ctl") == 0) {
    if (argc < 4) {
      usage();
      return 2;
    }
    std::string line;
    for (int i = 3; i < argc; ++i) line += std::string(i > 3 ? " " : "") + argv[i];
    return qmsim::controlClient(argv[2], line);
  }
  qmsim::ServerOptions options;
  std::string configPath;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    bool ok = true;
    if (arg == "--log-packets")
      ok = value(options.logPath);
    else if (arg == "--control")
      ok = value(options.controlPath);
    else if (arg == "--flash-dir")
      ok = value(options.flashDir);
    else if (arg == "--stdin")
      options.stdinControl = true;
    else if (arg == "-h" || arg == "--help") {
      usage();
      return 0;
    } else if (!arg.empty() && arg[0] != '-' && configPath.empty())
      configPath = arg;
    else
      ok = false;
    if (!ok) {
      usage();
      return 2;
    }
  }
  if (configPath.empty()) {
    usage();
    return 2;
  }
  try {
    qmsim::Server server(qmsim::loadConfig(configPath), options);
    server.start();
    return server.run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillomat-sim: %s\n", e.what());
    return 1;
  }
}
