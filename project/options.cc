#include "project/options.h"

#include <charconv>
#include <limits>

#include "project/ascii.h"

namespace {

// The line's key matches when its text before the first "=" equals `key`; a line
// without "=" has no key.
bool LineHasKey(const std::string& line, std::string_view key) {
  size_t eq = line.find('=');
  return eq != std::string::npos && TrkSameTextIgnoreCase(std::string_view(line).substr(0, eq), key);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Whether `text` is a decimal number (optional sign, digits with at most one
// point, optional exponent); `nonzero` tells whether its mantissa has a digit
// other than 0.
bool ReadNumber(std::string_view text, bool* nonzero) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  bool digits = false, point = false;
  *nonzero = false;
  for (; i < text.size(); ++i) {
    if (IsDigit(text[i])) {
      digits = true;
      if (text[i] != '0') *nonzero = true;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (!digits) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t start = i;
    while (i < text.size() && IsDigit(text[i])) ++i;
    if (i == start) return false;
  }
  return i == text.size();
}

}  // namespace

int TrkParseInt(std::string_view text, int fallback) {
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty() || !IsDigit(digits[0])) return fallback;
  long long value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return fallback;
  if (negative) value = -value;
  if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) return fallback;
  return static_cast<int>(value);
}

bool TrkParseBool(std::string_view text, bool fallback) { return TrkReadBool(text).value_or(fallback); }

std::optional<bool> TrkReadBool(std::string_view text) {
  bool nonzero = false;
  if (ReadNumber(text, &nonzero)) return nonzero;
  if (TrkSameTextIgnoreCase(text, "True")) return true;
  if (TrkSameTextIgnoreCase(text, "False")) return false;
  return std::nullopt;
}

std::optional<int> TrkReadCount(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(" \t") + 1 - first);
  int value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !IsDigit(text.front())) return std::nullopt;
  return value;
}

const char* TrkBoolText(bool value) { return value ? "True" : "False"; }

std::string TrkOptions::Get(std::string_view key) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& line : lines_) {
    if (LineHasKey(line, key)) return line.substr(line.find('=') + 1);
  }
  return std::string();
}

int TrkOptions::GetInt(std::string_view key, int fallback) const { return TrkParseInt(Get(key), fallback); }

bool TrkOptions::GetBool(std::string_view key, bool fallback) const {
  return TrkParseBool(Get(key), fallback);
}

void TrkOptions::Set(std::string_view key, std::string_view value) {
  if (value.empty()) {
    Remove(key);
    return;
  }
  std::string line;
  line.reserve(key.size() + 1 + value.size());
  line.append(key).append("=").append(value);
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& existing : lines_) {
    if (LineHasKey(existing, key)) {
      existing = std::move(line);
      return;
    }
  }
  lines_.push_back(std::move(line));
}

void TrkOptions::SetBool(std::string_view key, bool value) { Set(key, TrkBoolText(value)); }

void TrkOptions::Remove(std::string_view key) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = lines_.begin(); it != lines_.end(); ++it) {
    if (LineHasKey(*it, key)) {
      lines_.erase(it);
      return;
    }
  }
}

std::vector<std::string> TrkOptions::Lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

void TrkOptions::SetLines(std::vector<std::string> lines) {
  std::lock_guard<std::mutex> lock(mu_);
  lines_ = std::move(lines);
}

void TrkOptions::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.clear();
}
