#pragma once

#include <string>

// The name filter's test. The base lets everything through.
class TrkMatchBase {
 public:
  virtual ~TrkMatchBase() = default;
  virtual bool Match(const std::string& text, const std::string& pattern) const;
  // Whether `text` matches the exclusion `pattern`; unlike Match, a test that
  // cannot decide says no, so that a failure never hides a file.
  virtual bool Excludes(const std::string& text, const std::string& pattern) const;
};

// Regular-expression test, letter case ignored. Any error (a pattern the engine
// rejects, a match over the engine's limits) counts as a match. Keeps no state, so
// one object serves any number of threads.
class TrkMatch : public TrkMatchBase {
 public:
  bool Match(const std::string& text, const std::string& pattern) const override;
  bool Excludes(const std::string& text, const std::string& pattern) const override;
};
