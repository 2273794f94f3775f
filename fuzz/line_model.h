#pragma once

#include <string>
#include <string_view>
#include <vector>

// The plain reading of name=value lines that the option list and the upload
// record must agree with, written as simply as possible: a linear scan, ASCII
// letter case folded by hand.

inline bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

// Position of the first line whose text before its first "=" is `key`; lines
// without "=" have no name. -1 when none.
inline long FirstLineNamed(const std::vector<std::string>& lines, std::string_view key) {
  for (size_t i = 0; i < lines.size(); ++i) {
    size_t eq = lines[i].find('=');
    if (eq != std::string::npos && SameNameIgnoringCase(std::string_view(lines[i]).substr(0, eq), key)) {
      return static_cast<long>(i);
    }
  }
  return -1;
}

inline std::string ValueNamed(const std::vector<std::string>& lines, std::string_view key) {
  long at = FirstLineNamed(lines, key);
  return at < 0 ? std::string() : lines[at].substr(lines[at].find('=') + 1);
}

// The lines after setting `key` to `value`: the first line with the key is
// rewritten in place or a line is appended; an empty value removes that line.
inline void SetNamed(std::vector<std::string>& lines, const std::string& key, const std::string& value) {
  long at = FirstLineNamed(lines, key);
  if (value.empty()) {
    if (at >= 0) lines.erase(lines.begin() + at);
  } else if (at >= 0) {
    lines[at] = key + "=" + value;
  } else {
    lines.push_back(key + "=" + value);
  }
}

// Every name the lines hold, each in an upper-, lower- and as-written spelling,
// so that lookups try what is there as well as what is not.
inline std::vector<std::string> NamesToAsk(const std::vector<std::string>& lines) {
  std::vector<std::string> keys;
  for (const auto& line : lines) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string name = line.substr(0, eq), upper = name, lower = name;
    for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    keys.push_back(name);
    keys.push_back(upper);
    keys.push_back(lower);
  }
  return keys;
}

// The text split at CR, LF or CR LF, a final line end starting no further line.
inline std::vector<std::string> SplitAtLineEnds(std::string_view text) {
  std::vector<std::string> lines;
  std::string line;
  bool pending = false;  // characters (or an empty line) since the last line end
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.push_back(line);
      line.clear();
      pending = false;
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += text[i];
      pending = true;
    }
  }
  if (pending) lines.push_back(line);
  return lines;
}

inline std::string JoinWithCrLf(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\r\n";
  return text;
}
