#include "project/percent_encoding.h"

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

// A digit's value; -1 for anything else, lower-case digits included.
int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void TrkPercentEncoding::Append(std::string& out, std::string_view text) const {
  for (char c : text) {
    if (!Escapes(c)) {
      out += c;
      continue;
    }
    const auto byte = static_cast<unsigned char>(c);
    out += '%';
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
  }
}

std::string TrkPercentEncoding::Encoded(std::string_view text) const {
  std::string out;
  Append(out, text);
  return out;
}

bool TrkPercentEncoding::Decode(std::string_view text, std::string& out) {
  out.clear();
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] != '%') {
      out += text[at];
      continue;
    }
    if (at + 2 >= text.size()) return false;
    const int high = DigitValue(text[at + 1]), low = DigitValue(text[at + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    at += 2;
  }
  return true;
}
