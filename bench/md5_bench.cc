// DigestHex over a 256 MiB buffer, to compare with `md5sum` on the same bytes
// (scripts/bench-foundation prints the ratio).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "project/whole_file.h"
#include "digest/md5.h"

namespace {

constexpr size_t kSize = 256u << 20;

// The bytes of DROPVAN_BENCH_MD5_FILE when it is set (so that md5sum can be
// timed on the very same data), else deterministic bytes with no regularity.
const std::string& Data() {
  static const std::string data = [] {
    if (const char* file = std::getenv("DROPVAN_BENCH_MD5_FILE")) return ReadFileContent(file);
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
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_DigestHex256MiB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
