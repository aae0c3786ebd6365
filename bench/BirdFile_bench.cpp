// Loading and personalising BIRD images of typical firmware sizes.
#include <benchmark/benchmark.h>

#include "BirdFile.h"
#include "birdwriter.h"

namespace {

birdwriter::Bytes image(size_t size) {
  birdwriter::Release release;
  release.firmware = {{0x10000, birdwriter::patternBytes(size, 1)}};
  release.loaders = {{0x20000000, birdwriter::patternBytes(16 * 1024, 2)}};
  return birdwriter::packRelease(release);
}

void BM_LoadFromMemory(benchmark::State& state) {
  birdwriter::Bytes file = image(size_t(state.range(0)));
  for (auto _ : state) {
    BirdFile bird;
    benchmark::DoNotOptimize(bird.LoadFromMemory(file.data(), file.size()));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_LoadFromMemory)->Arg(64 << 10)->Arg(512 << 10)->Arg(2 << 20);

void BM_Personalise(benchmark::State& state) {
  birdwriter::Bytes file = image(size_t(state.range(0)));
  BirdFile bird;
  bird.LoadFromMemory(file.data(), file.size());
  const uint32_t key[4] = {1, 2, 3, 4};
  for (auto _ : state) {
    benchmark::DoNotOptimize(bird.ReplaceSerialNumber(0x40F5849A));
    benchmark::DoNotOptimize(bird.DecodeFirmwareBlocks(key));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Personalise)->Arg(512 << 10);

}  // namespace

BENCHMARK_MAIN();
