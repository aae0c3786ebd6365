// Transport costs: framing a packet, unframing it, and what an idle read
// costs the caller. An idle read waits briefly for input, so its wall time
// is about the wait (10 ms) while its CPU time stays near zero: an idle
// running link does not spin.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "aStream_CobsEncoding.h"
#include "aStreamsocket.h"
#include "unix_streamserial.h"

namespace {

struct Sink {
  std::vector<uint8_t> last;
  const uint8_t* input = nullptr;
  size_t size = 0;
  size_t position = 0;
};

aErr sinkWrite(const uint8_t* data, size_t length, void* reference) {
  static_cast<Sink*>(reference)->last.assign(data, data + length);
  return aErrNone;
}

aErr sinkGet(uint8_t* byte, void* reference) {
  Sink* sink = static_cast<Sink*>(reference);
  if (sink->position >= sink->size) sink->position = 0;  // the same frame again
  *byte = sink->input[sink->position++];
  return aErrNone;
}

std::vector<uint8_t> packet(size_t length) {
  std::vector<uint8_t> bytes = {0x06, (uint8_t)length};
  for (size_t i = 0; i < length; i++) bytes.push_back((uint8_t)(i % 4 == 0 ? 0 : i));
  return bytes;
}

void BM_FramePacket(benchmark::State& state) {
  Sink sink;
  aStreamRef stream = nullptr;
  aStream_CreateCobsEncoding(nullptr, nullptr, sinkWrite, nullptr, &sink, &stream);
  const std::vector<uint8_t> bytes = packet((size_t)state.range(0));
  for (auto _ : state) {
    stream->writeProc(bytes.data(), bytes.size(), stream->reference);
    benchmark::DoNotOptimize(sink.last.data());
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)bytes.size());
  aStream_Destroy(&stream);
}
BENCHMARK(BM_FramePacket)->Arg(0)->Arg(8)->Arg(28);

void BM_UnframePacket(benchmark::State& state) {
  // One frame, made by the stream itself, read back over and over.
  Sink sink;
  aStreamRef stream = nullptr;
  aStream_CreateCobsEncoding(sinkGet, nullptr, sinkWrite, nullptr, &sink, &stream);
  const std::vector<uint8_t> bytes = packet((size_t)state.range(0));
  stream->writeProc(bytes.data(), bytes.size(), stream->reference);
  std::vector<uint8_t> frame = sink.last;
  sink.input = frame.data();
  sink.size = frame.size();
  for (auto _ : state) {
    size_t got = 0;
    uint8_t byte = 0;
    while (got < bytes.size())
      if (stream->getProc(&byte, stream->reference) == aErrNone) got++;
    benchmark::DoNotOptimize(byte);
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)bytes.size());
  aStream_Destroy(&stream);
}
BENCHMARK(BM_UnframePacket)->Arg(0)->Arg(8)->Arg(28);

void BM_IdleSocketGet(benchmark::State& state) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  listen(listener, 1);
  socklen_t length = sizeof(address);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  aStreamRef stream = nullptr;
  if (aStream_CreateSocket(address.sin_addr.s_addr, ntohs(address.sin_port), &stream) != aErrNone) {
    state.SkipWithError("no connection");
    close(listener);
    return;
  }
  int peer = accept(listener, nullptr, nullptr);
  for (auto _ : state) {
    uint8_t byte = 0;
    benchmark::DoNotOptimize(stream->getProc(&byte, stream->reference));
  }
  aStream_Destroy(&stream);
  close(peer);
  close(listener);
}
BENCHMARK(BM_IdleSocketGet)->Iterations(100)->UseRealTime();

void BM_IdleSerialGet(benchmark::State& state) {
  int master = -1, slave = -1;
  char name[256] = {0};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  aStreamRef stream = nullptr;
  aStream_CreateSerial(name, aSerialBaud115200, 0, 0, 0, &stream);
  for (auto _ : state) {
    uint8_t byte = 0;
    benchmark::DoNotOptimize(stream->getProc(&byte, stream->reference));
  }
  aStream_Destroy(&stream);
  close(master);
  close(slave);
}
BENCHMARK(BM_IdleSerialGet)->Iterations(100)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
