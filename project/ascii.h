#pragma once

#include <string>
#include <string_view>

// Letter case as the program's texts compare it: ASCII letters only, whatever the
// locale, so the other bytes of a UTF-8 text always compare exactly.

inline char TrkUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

inline std::string TrkUpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = TrkUpperAscii(c);
  return upper;
}

inline bool TrkSameTextIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (TrkUpperAscii(a[i]) != TrkUpperAscii(b[i])) return false;
  }
  return true;
}
