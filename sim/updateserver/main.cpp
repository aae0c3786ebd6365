// quillomat-update-server: serves a firmware repository through the update
// server's query interface, for labs without internet access and for tests.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "UpdateServer.h"

namespace {

void sUsage() {
  std::fprintf(stderr,
               "usage: quillomat-update-server --repo DIR [--host ADDR] [--port N]\n"
               "         [--cert FILE --key FILE] [--fault OP=MODE]... [--huge-bytes N] [--stall-seconds N]\n"
               "  --host     address to bind (default 127.0.0.1)\n"
               "  --port     port to bind; 0 (default) picks a free one and prints it\n"
               "  --cert/--key  serve HTTPS with this PEM certificate and key\n"
               "  --fault    misbehave for operation OP (hi, qu, bird, builds, fix, ent_jwt, or * for all):\n"
               "             http500, notok, empty, stall, truncate, junk, huge\n");
}

bool sNumber(const char* text, long min, long max, long& value) {
  char* end = nullptr;
  value = std::strtol(text, &end, 10);
  return *text != '\0' && *end == '\0' && value >= min && value <= max;
}

}  // namespace

int main(int argc, char** argv) {
  updateserver::ServerOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    long number = 0;
    if (arg == "--repo" && has_value) {
      options.repository = argv[++i];
    } else if (arg == "--host" && has_value) {
      options.host = argv[++i];
    } else if (arg == "--port" && has_value && sNumber(argv[i + 1], 0, 65535, number)) {
      options.port = static_cast<int>(number);
      ++i;
    } else if (arg == "--cert" && has_value) {
      options.cert_file = argv[++i];
    } else if (arg == "--key" && has_value) {
      options.key_file = argv[++i];
    } else if (arg == "--huge-bytes" && has_value && sNumber(argv[i + 1], 1, 1L << 34, number)) {
      options.huge_bytes = static_cast<size_t>(number);
      ++i;
    } else if (arg == "--stall-seconds" && has_value && sNumber(argv[i + 1], 0, 86400, number)) {
      options.stall_seconds = static_cast<int>(number);
      ++i;
    } else if (arg == "--fault" && has_value) {
      const std::string value = argv[++i];
      const size_t eq = value.find('=');
      const auto fault = eq == std::string::npos ? std::nullopt : updateserver::faultFromName(value.substr(eq + 1));
      if (!fault) {
        std::fprintf(stderr, "quillomat-update-server: bad --fault %s\n", value.c_str());
        return 2;
      }
      options.faults[value.substr(0, eq)] = *fault;
    } else {
      sUsage();
      return arg == "--help" || arg == "-h" ? 0 : 2;
    }
  }
  if (options.repository.empty() || options.cert_file.empty() != options.key_file.empty()) {
    sUsage();
    return 2;
  }

  // Request lines go out as they happen, also into a pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);  // the server's threads inherit this

  updateserver::UpdateServer server(options);
  server.setRequestLog([](const std::string& line) { std::printf("%s\n", line.c_str()); });
  if (!server.start()) {
    std::fprintf(stderr, "quillomat-update-server: cannot serve on %s:%d%s\n", options.host.c_str(), options.port,
                 options.cert_file.empty() ? "" : " (or certificate not loadable)");
    return 1;
  }
  std::printf("quillomat-update-server: serving %s on %s\n", options.repository.c_str(), server.url().c_str());

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  std::printf("quillomat-update-server: stopping\n");
  server.stop();
  return 0;
}
