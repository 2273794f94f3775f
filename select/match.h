#pragma once

#include <string>

// The process-wide name filter. Its presence turns the name test of listings on
// (a batch without one lets every file pass); each listing compiles its mask,
// RegExt and Exclude once into a TrkNameFilter. The base lets everything through.
class TrkMatchBase {
 public:
  virtual ~TrkMatchBase() = default;
  // The design's test of one path against one pattern; no program path calls
  // it, listings test through their TrkNameFilter.
  virtual bool Match(const std::string& text, const std::string& pattern) const;
};

// Regular-expression test, letter case ignored. Any error (a pattern the engine
// rejects, a match over the engine's limits) counts as a match. Keeps no state, so
// one object serves any number of threads.
class TrkMatch : public TrkMatchBase {
 public:
  bool Match(const std::string& text, const std::string& pattern) const override;
};
