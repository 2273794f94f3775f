#pragma once
// The benchmarks' 100,000-file tree: 10 x 10 folders of 1,000 empty files, a
// third of them .html. Made once, under the temporary folder or
// DROPVAN_BENCH_TREE, and reused by later runs.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace bench_tree {

namespace fs = std::filesystem;

inline constexpr int kTopFolders = 10;
inline constexpr int kSubFolders = 10;
inline constexpr int kFilesPerFolder = 1000;
inline constexpr size_t kTreeFiles = size_t{kTopFolders} * kSubFolders * kFilesPerFolder;

inline std::string TreeRoot() {
  const char* given = std::getenv("DROPVAN_BENCH_TREE");
  return given != nullptr ? given : (fs::temp_directory_path() / "dropvan-bench-tree").string();
}

// Beside the tree rather than in it, so that the tree holds the files alone.
inline fs::path Marker(const fs::path& root) { return root.string() + ".complete"; }

// Empty files are enough: the walk never reads them.
inline void MakeTree(const fs::path& root) {
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
inline const std::string& Tree() {
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

}  // namespace bench_tree
