#include "select/match.h"

#include "select/regex.h"

bool TrkMatchBase::Match(const std::string& text, const std::string& pattern) const {
  (void)text;
  (void)pattern;
  return true;
}

bool TrkMatch::Match(const std::string& text, const std::string& pattern) const {
  // A filter that cannot decide must not hide files: any failure lets the file through.
  try {
    return Regex::IsMatch(pattern, kRegexIgnoreCase | kRegexDotAll, text);
  } catch (...) {
    return true;
  }
}
