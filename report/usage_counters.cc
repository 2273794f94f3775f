#include "report/usage_counters.h"

#include <charconv>
#include <cstdint>
#include <filesystem>
#include <system_error>

#include "project/error.h"
#include "project/text_file.h"
#include "project/whole_file.h"

namespace {

// Header of the store file: a mark and a format number, then the checksum of the
// plain text (4 bytes, little-endian), then the scrambled text.
constexpr std::string_view kMagic = "DVUC\x01";
constexpr size_t kHeaderSize = kMagic.size() + 4;

uint32_t Checksum(std::string_view text) {
  uint32_t hash = 2166136261u;  // FNV-1a
  for (char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 16777619u;
  }
  return hash;
}

// XORs `data` with a position-dependent key stream; applying it twice restores it.
void ApplyKeyStream(std::string& data) {
  uint32_t state = 0x2F6B1D35u;
  for (char& c : data) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(static_cast<unsigned char>(c) ^ static_cast<unsigned char>(state >> 24));
  }
}

// Missing or non-numeric text counts as 0.
long long ParseCount(std::string_view text) {
  long long value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return 0;
  return value;
}

long long SaturatingAdd(long long a, long long b) {
  long long sum;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? INT64_MAX : INT64_MIN;
}

bool IsCounterName(std::string_view name) { return !name.empty() && name[0] >= 'A' && name[0] <= 'Z'; }

}  // namespace

std::string TrkScramble(std::string_view plain) {
  std::string data(kMagic);
  uint32_t sum = Checksum(plain);
  for (int i = 0; i < 4; ++i) data += static_cast<char>((sum >> (8 * i)) & 0xFF);
  std::string body(plain);
  ApplyKeyStream(body);
  return data + body;
}

std::optional<std::string> TrkUnscramble(std::string_view data) {
  if (data.size() < kHeaderSize || data.substr(0, kMagic.size()) != kMagic) return std::nullopt;
  uint32_t sum = 0;
  for (int i = 0; i < 4; ++i) sum |= uint32_t{static_cast<unsigned char>(data[kMagic.size() + i])} << (8 * i);
  std::string plain(data.substr(kHeaderSize));
  ApplyKeyStream(plain);
  if (Checksum(plain) != sum) return std::nullopt;
  return plain;
}

std::string TrkUsageCounters::Get(std::string_view name) const {
  for (const auto& [entry_name, value] : entries_) {
    if (entry_name == name) return value;
  }
  return {};
}

void TrkUsageCounters::Set(std::string_view name, std::string value) {
  for (auto& entry : entries_) {
    if (entry.first == name) {
      entry.second = std::move(value);
      return;
    }
  }
  entries_.emplace_back(std::string(name), std::move(value));
}

bool TrkUsageCounters::Add(std::string_view name, long long value, long long increment) {
  bool exists = false;
  std::string current;
  for (const auto& entry : entries_) {
    if (entry.first == name) {
      exists = true;
      current = entry.second;
      break;
    }
  }
  long long next = value <= 0 ? SaturatingAdd(ParseCount(current), increment) : value;
  std::string text = std::to_string(next);
  if (exists && text == current) return false;
  Set(name, std::move(text));
  return true;
}

std::string TrkUsageCounters::CounterText() const {
  std::string text;
  for (const auto& [name, value] : entries_) {
    if (!IsCounterName(name)) continue;
    text += static_cast<char>(name[0] - 'A' + 'a');
    text += value;
  }
  return text;
}

std::string TrkUsageCounters::Serialize() const {
  std::vector<std::string> lines;
  lines.reserve(entries_.size());
  for (const auto& [name, value] : entries_) lines.push_back(name + "=" + value);
  return TrkScramble(JoinLines(lines));
}

std::optional<TrkUsageCounters> TrkUsageCounters::Parse(std::string_view data) {
  std::optional<std::string> plain = TrkUnscramble(data);
  if (!plain) return std::nullopt;
  TrkUsageCounters counters;
  for (const std::string& line : SplitLines(*plain)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    counters.entries_.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  return counters;
}

TrkUsageCounters TrkUsageCounters::Load(const std::string& path) {
  try {
    std::optional<TrkUsageCounters> counters = Parse(ReadFileBytes(path));
    if (counters) return *counters;
  } catch (const TrkError&) {
    // A missing or unreadable store starts the counters afresh.
  }
  return {};
}

void TrkUsageCounters::Save(const std::string& path) const { SaveData(path, Serialize()); }

void TrkUsageCounters::SaveData(const std::string& path, std::string_view data) {
  namespace fs = std::filesystem;
  std::error_code ignored;
  fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, ignored);
  // Counters lost to a crash are not worth a wait for the disk at every run.
  ReplaceFile(path, data, 0666, TrkFlush::kLeaveToSystem);
}
