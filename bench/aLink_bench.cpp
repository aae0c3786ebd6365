// The link engine against the device emulator over TCP on the loopback
// interface: request/reply latency (beside a bare socket ping-pong of the
// same bytes to the same emulator), packet throughput both ways, and the CPU
// time an idle running link costs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "aLink.h"

namespace {

constexpr uint8_t kModule = 2;
constexpr uint8_t kEcho = 0x17;

// One emulated device with a TCP link, running beside the benchmarks.
class Emulator {
 public:
  Emulator() {
    std::string dir = "/tmp/qm-bench-XXXXXX";
    if (!mkdtemp(dir.data())) return;
    dir_ = dir;
    const std::string config = dir_ + "/sim.json";
    std::ofstream(config) << R"({"devices": [{"serial": "40F5849A", "module": 2, "model": 13,)"
                          << R"( "tcp": {"address": "127.0.0.1", "port": 0},)"
                          << R"( "heartbeat_ms": 0}]})";
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      const std::string program = std::string(QM_BIN_DIR) + "/quillomat-sim";
      execl(program.c_str(), program.c_str(), config.c_str(), (char*)nullptr);
      _exit(127);
    }
    close(out[1]);
    FILE* lines = fdopen(out[0], "r");
    char line[256];
    while (lines && std::fgets(line, sizeof line, lines)) {
      unsigned port = 0;
      if (std::sscanf(line, "listening tcp 127.0.0.1:%u", &port) == 1) port_ = (uint16_t)port;
      if (std::strncmp(line, "ready", 5) == 0) break;
    }
    output_ = lines;
  }
  ~Emulator() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (output_) std::fclose(output_);
    if (!dir_.empty()) std::system(("rm -rf " + dir_).c_str());
  }
  uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  FILE* output_ = nullptr;
  std::string dir_;
};

Emulator& sEmulator() {
  static Emulator emulator;
  return emulator;
}

aLinkRef sConnect(benchmark::State& state) {
  if (sEmulator().port() == 0) {
    state.SkipWithError("quillomat-sim did not start");
    return 0;
  }
  aLinkRef link = aLink_CreateTCPIP(0x40F5849A, htonl(INADDR_LOOPBACK), sEmulator().port());
  if (!link) state.SkipWithError("no link to the emulator");
  return link;
}

bool sIsEcho(const aPacket* packet, void*) {
  return packet->dataSize >= 1 && packet->data[0] == kEcho;
}

aPacket* sEchoRequest(uint8_t length) {
  uint8_t data[28] = {kEcho};
  for (uint8_t i = 1; i < length; i++) data[i] = i;
  return aPacket_CreateWithData(kModule, length, data);
}

// One echo request and its reply through the engine.
void BM_EngineEchoLatency(benchmark::State& state) {
  aLinkRef link = sConnect(state);
  if (!link) return;
  aPacket* request = sEchoRequest((uint8_t)state.range(0));
  for (auto _ : state) {
    aLink_PutPacket(link, request);
    aPacket* reply = aLink_AwaitFirst(link, sIsEcho, nullptr, 1000);
    if (!reply) {
      state.SkipWithError("no echo");
      break;
    }
    aPacket_Destroy(&reply);
  }
  aPacket_Destroy(&request);
  aLink_Destroy(&link);
}
BENCHMARK(BM_EngineEchoLatency)->Arg(4)->Arg(28)->UseRealTime();

// The same bytes over a plain blocking socket to the same emulator.
void BM_BareSocketEchoLatency(benchmark::State& state) {
  if (sEmulator().port() == 0) {
    state.SkipWithError("quillomat-sim did not start");
    return;
  }
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(sEmulator().port());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (sockaddr*)&to, sizeof to) != 0) {
    state.SkipWithError("cannot connect");
    close(fd);
    return;
  }
  const int length = (int)state.range(0);
  uint8_t bytes[30] = {kModule, (uint8_t)length, kEcho};
  for (int i = 1; i < length; i++) bytes[2 + i] = (uint8_t)i;
  uint8_t reply[30];
  for (auto _ : state) {
    if (write(fd, bytes, 2 + length) != 2 + length) break;
    int got = 0;
    while (got < 2 + length) {
      ssize_t n = read(fd, reply + got, sizeof reply - got);
      if (n <= 0) break;
      got += (int)n;
    }
  }
  close(fd);
}
BENCHMARK(BM_BareSocketEchoLatency)->Arg(4)->Arg(28)->UseRealTime();

// Echo packets of 28 data bytes with up to `window` requests in flight:
// every packet travels both ways.
void BM_EngineEchoThroughput(benchmark::State& state) {
  aLinkRef link = sConnect(state);
  if (!link) return;
  aLink_EnablePooledPackets(link, state.range(1) != 0);
  const int window = (int)state.range(0);
  aPacket* request = sEchoRequest(28);
  int64_t packets = 0;
  for (auto _ : state) {
    int inFlight = 0;
    for (int sent = 0; sent < 1000 || inFlight > 0;) {
      while (sent < 1000 && inFlight < window) {
        aLink_PutPacket(link, request);
        sent++;
        inFlight++;
      }
      aPacket* reply = aLink_AwaitFirst(link, sIsEcho, nullptr, 1000);
      if (!reply) {
        state.SkipWithError("echo lost");
        break;
      }
      aPacket_Destroy(&reply);
      inFlight--;
      packets++;
    }
  }
  state.counters["packets/s"] =
      benchmark::Counter((double)packets, benchmark::Counter::kIsRate);
  aPacket_Destroy(&request);
  aLink_Destroy(&link);
}
BENCHMARK(BM_EngineEchoThroughput)
    ->Args({1, 0})
    ->Args({32, 0})
    ->Args({32, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

double sCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A running link with no traffic for 10 s: the CPU time of the process.
void BM_IdleLinkCpu(benchmark::State& state) {
  aLinkRef link = sConnect(state);
  if (!link) return;
  for (auto _ : state) {
    double before = sCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    state.counters["cpu_ms_per_10s"] = (sCpuSeconds() - before) * 1000.0;
  }
  aLink_Destroy(&link);
}
BENCHMARK(BM_IdleLinkCpu)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
