// SearchFolder over a 100,000-file tree, to compare with `find` on the same tree
// (scripts/bench-foundation prints the ratio).
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>

#include "select/name_filter.h"
#include "select/regex.h"
#include "bench_tree.h"
#include "select/search.h"

namespace {

using bench_tree::kTreeFiles;
using bench_tree::Tree;

void BM_SearchFolder100k(benchmark::State& state) {
  const std::string& tree = Tree();
  std::atomic<bool> stop{false};
  size_t found = 0;
  for (auto _ : state) {
    found = 0;
    SearchFolder(tree, "*.*", true, false, [&](const std::string& path) { found += path.size() > 0; }, stop);
  }
  if (found != kTreeFiles) state.SkipWithError("wrong file count");
  state.counters["files"] = static_cast<double>(found);
}
BENCHMARK(BM_SearchFolder100k)->Unit(benchmark::kMillisecond);

// The walk with the name filter applied to every file, as a batch does.
void BM_SearchFolderFiltered100k(benchmark::State& state) {
  const std::string& tree = Tree();
  std::atomic<bool> stop{false};
  const TrkNameFilter filter("*.txt", "", "");
  size_t passed = 0;
  for (auto _ : state) {
    passed = 0;
    SearchFolder(tree, "*.*", true, false, [&](const std::string& path) { passed += filter.Accepts(path); }, stop);
  }
  state.counters["passed"] = static_cast<double>(passed);
}
BENCHMARK(BM_SearchFolderFiltered100k)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
