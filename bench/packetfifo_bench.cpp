// Packet FIFO costs on the link engine's data path: a put followed by a get,
// a filtered take from behind queued packets, and a hand-over between two
// threads (input thread to waiting caller).
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "packetfifo.h"

namespace {

aPacket* sPacket(uint8_t address) {
  const uint8_t data[] = {0x12, 0x05, 0x20, 0x00, 0x01, 0x02, 0x03};
  return aPacket_CreateWithData(address, sizeof data, data);
}

bool sAddressIs(const aPacket* packet, void* ref) {
  return packet->address == *static_cast<uint8_t*>(ref);
}

void BM_PutGet(benchmark::State& state) {
  aPacketFifoId fifo = aPacketFifo_Create();
  aPacket* packet = sPacket(2);
  for (auto _ : state) {
    aPacketFifo_Put(fifo, packet);
    aPacket* got = aPacketFifo_Get(fifo);
    aPacket_Destroy(&got);
  }
  aPacket_Destroy(&packet);
  aPacketFifo_Destroy(&fifo);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PutGet);

// The wanted reply sits behind `range(0)` unrelated packets.
void BM_GetFirstBehind(benchmark::State& state) {
  aPacketFifoId fifo = aPacketFifo_Create();
  aPacket* other = sPacket(4);
  aPacket* wanted = sPacket(2);
  for (int64_t i = 0; i < state.range(0); ++i) aPacketFifo_Put(fifo, other);
  uint8_t address = 2;
  for (auto _ : state) {
    aPacketFifo_Put(fifo, wanted);
    aPacket* got = aPacketFifo_GetFirst(fifo, sAddressIs, &address);
    aPacket_Destroy(&got);
  }
  aPacket_Destroy(&other);
  aPacket_Destroy(&wanted);
  aPacketFifo_Destroy(&fifo);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetFirstBehind)->Arg(0)->Arg(10)->Arg(100)->Arg(900);

// One thread puts, the other waits for each packet with AwaitFirst.
void BM_HandOver(benchmark::State& state) {
  aPacketFifoId fifo = aPacketFifo_Create();
  std::atomic<bool> stop{false};
  std::atomic<int64_t> taken{0};
  std::thread producer([&] {
    aPacket* packet = sPacket(2);
    int64_t sent = 0;
    while (!stop.load()) {
      if (sent - taken.load() < 8) {
        aPacketFifo_Put(fifo, packet);
        ++sent;
      } else {
        std::this_thread::yield();
      }
    }
    aPacket_Destroy(&packet);
  });
  uint8_t address = 2;
  for (auto _ : state) {
    aPacket* got = aPacketFifo_AwaitFirst(fifo, sAddressIs, &address, 1000);
    aPacket_Destroy(&got);
    taken++;
  }
  stop = true;
  producer.join();
  aPacketFifo_Destroy(&fifo);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HandOver)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
