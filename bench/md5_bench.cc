// DigestHex over a 256 MiB buffer, to compare with `md5sum` on the same bytes
// (scripts/bench-foundation prints the ratio).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "sync/md5.h"

namespace {

constexpr size_t kSize = 256u << 20;

// Deterministic bytes that no compressor or branch predictor finds regular.
const std::string& Data() {
  static const std::string data = [] {
    std::string bytes(kSize, '\0');
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < kSize; i += 8) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      for (size_t k = 0; k < 8; ++k) bytes[i + k] = static_cast<char>(x >> (8 * k));
    }
    return bytes;
  }();
  return data;
}

void BM_DigestHex256MiB(benchmark::State& state) {
  const std::string& data = Data();
  TrkMD5 md5;
  for (auto _ : state) {
    std::string hex = md5.DigestHex(data);
    benchmark::DoNotOptimize(hex);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kSize));
}
BENCHMARK(BM_DigestHex256MiB)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
