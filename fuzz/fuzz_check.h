#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// What the fuzzers share: a failed property prints what broke and aborts, so that
// libFuzzer keeps the input as a crash and the run fails.

// `bytes` readable on one line: printable ASCII as it is, everything else as \xNN.
inline std::string FuzzQuote(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f && c != '"' && c != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out + "\"";
}

// Lines readable in a message, each quoted and indented on a line of its own.
template <typename Lines>
std::string FuzzQuoteLines(const Lines& lines) {
  std::string text;
  for (const auto& line : lines) text += "\n    " + FuzzQuote(line);
  return text;
}

inline void FuzzCheck(bool holds, const char* property, const std::string& detail = {}) {
  if (holds) return;
  fprintf(stderr, "\nproperty broken: %s\n%s\n", property, detail.c_str());
  abort();
}

// Two texts that must be equal; the message shows both.
inline void FuzzCheckEqual(const std::string& got, const std::string& want, const char* property,
                           const std::string& context = {}) {
  if (got == want) return;
  FuzzCheck(false, property, context + "\n  got:  " + FuzzQuote(got) + "\n  want: " + FuzzQuote(want));
}
