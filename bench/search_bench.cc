// SearchFolder over a 100,000-file tree, to compare with `find` on the same tree
// (scripts/bench-foundation prints the ratio). The tree is made once, under the
// temporary folder or DROPVAN_BENCH_TREE, and reused by later runs.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "select/match.h"
#include "select/regex.h"
#include "select/search.h"

namespace {

namespace fs = std::filesystem;

constexpr int kTopFolders = 10;
constexpr int kSubFolders = 10;
constexpr int kFilesPerFolder = 1000;  // 10 x 10 x 1000 = 100,000 files

std::string TreeRoot() {
  const char* given = std::getenv("DROPVAN_BENCH_TREE");
  return given != nullptr ? given : (fs::temp_directory_path() / "dropvan-bench-tree").string();
}

// Beside the tree rather than in it, so that the tree holds the files alone.
fs::path Marker(const fs::path& root) { return root.string() + ".complete"; }

// Empty files are enough: the walk never reads them.
void MakeTree(const fs::path& root) {
  char name[64];
  for (int t = 0; t < kTopFolders; ++t) {
    for (int s = 0; s < kSubFolders; ++s) {
      fs::path folder = root / ("dir" + std::to_string(t)) / ("sub" + std::to_string(s));
      fs::create_directories(folder);
      for (int f = 0; f < kFilesPerFolder; ++f) {
        std::snprintf(name, sizeof name, "file-%05d.%s", f, f % 3 == 0 ? "html" : "txt");
        std::ofstream(folder / name);
      }
    }
  }
  std::ofstream(Marker(root));
}

// The tree's folder text, ending in the separator; made on first use.
const std::string& Tree() {
  static const std::string tree = [] {
    fs::path root = TreeRoot();
    if (!fs::exists(Marker(root))) {
      fs::remove_all(root);
      MakeTree(root);
    }
    return root.string() + "/";
  }();
  return tree;
}

void BM_SearchFolder100k(benchmark::State& state) {
  const std::string& tree = Tree();
  std::atomic<bool> stop{false};
  size_t found = 0;
  for (auto _ : state) {
    found = 0;
    SearchFolder(tree, "*.*", true, false, [&](const std::string& path) { found += path.size() > 0; }, stop);
  }
  if (found != size_t{kTopFolders} * kSubFolders * kFilesPerFolder) state.SkipWithError("wrong file count");
  state.counters["files"] = static_cast<double>(found);
}
BENCHMARK(BM_SearchFolder100k)->Unit(benchmark::kMillisecond);

// The walk with the name filter applied to every file, as a batch does.
void BM_SearchFolderFiltered100k(benchmark::State& state) {
  const std::string& tree = Tree();
  std::atomic<bool> stop{false};
  TrkMatch filter;
  const std::string mask = MaskToPattern("*.txt");
  size_t passed = 0;
  for (auto _ : state) {
    passed = 0;
    SearchFolder(tree, "*.*", true, false, [&](const std::string& path) { passed += filter.Match(path, mask); },
                 stop);
  }
  state.counters["passed"] = static_cast<double>(passed);
}
BENCHMARK(BM_SearchFolderFiltered100k)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
