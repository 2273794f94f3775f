#include "select/match.h"

#include <optional>
#include <vector>

#include "select/regex.h"

namespace {

// The patterns this thread compiled last. A walk tests every file against the
// same one or two patterns (the mask's and RegExt), so compiling them once per
// thread instead of once per file keeps the filter cheap beside the walk. Being
// per thread, it needs no lock and leaves the filter object without state.
class PatternCache {
 public:
  const TRegex& Get(const std::string& pattern) {
    for (const auto& entry : entries_) {
      if (entry.first == pattern) return entry.second;
    }
    // A path is one item, so a line break in a name is a character like any
    // other: the mask's "*" and "?" (and RegExt's ".") match it too.
    TRegex regex = Regex::Create(pattern, kRegexIgnoreCase | kRegexDotAll);  // throws before anything is kept
    if (entries_.size() < kSize) return entries_.emplace_back(pattern, std::move(regex)).second;
    next_ = (next_ + 1) % kSize;
    entries_[next_] = {pattern, std::move(regex)};
    return entries_[next_].second;
  }

 private:
  static constexpr size_t kSize = 4;
  std::vector<std::pair<std::string, TRegex>> entries_;
  size_t next_ = 0;  // the entry replaced last once the cache is full
};

// The compiled `pattern`, from this thread's cache.
const TRegex& Compiled(const std::string& pattern) {
  thread_local PatternCache cache;
  return cache.Get(pattern);
}

// Whether `text` matches `pattern`; nothing when the engine cannot tell (a
// pattern it rejects, a match over its limits).
std::optional<bool> TryMatch(const std::string& text, const std::string& pattern) {
  try {
    return Compiled(pattern).IsMatch(text);
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace

bool TrkMatchBase::Match(const std::string& text, const std::string& pattern) const {
  (void)text;
  (void)pattern;
  return true;
}

bool TrkMatch::Match(const std::string& text, const std::string& pattern) const {
  // A filter that cannot decide must not hide files: any failure lets the file through.
  return TryMatch(text, pattern).value_or(true);
}

bool TrkMatchBase::Excludes(const std::string& text, const std::string& pattern) const {
  (void)text;
  (void)pattern;
  return false;
}

bool TrkMatch::Excludes(const std::string& text, const std::string& pattern) const {
  return TryMatch(text, pattern).value_or(false);
}
