#include "transfer/listing_parser.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <vector>

namespace trk_listing {
namespace {

using Kind = Line::Kind;

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

bool AllDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// `text` as a size; -1 when it is none (or beyond what a size can be).
int64_t SizeOf(std::string_view text) {
  if (!AllDigits(text) || text.size() > 18) return -1;
  int64_t size = 0;
  for (char c : text) size = size * 10 + (c - '0');
  return size;
}

// A blank-separated word of a line and where it ends.
struct Word {
  std::string_view text;
  size_t end;
};

std::vector<Word> Words(std::string_view line) {
  std::vector<Word> words;
  size_t at = 0;
  while ((at = line.find_first_not_of(' ', at)) != std::string_view::npos) {
    const size_t end = std::min(line.find(' ', at), line.size());
    words.push_back({line.substr(at, end - at), end});
    at = end;
  }
  return words;
}

bool IsMonth(std::string_view word) {
  static const std::string_view kMonths = "jan feb mar apr may jun jul aug sep oct nov dec";
  return word.size() == 3 && kMonths.find(Lower(word)) != std::string_view::npos;
}

// "10:00" or "2024", as ls shows a file's time or year.
bool IsTimeOrYear(std::string_view word) {
  if (word.size() == 5 && word[2] == ':') return AllDigits(word.substr(0, 2)) && AllDigits(word.substr(3));
  return word.size() == 4 && AllDigits(word);
}

// The file mode of ls -l: a type and nine permission letters, maybe followed
// by an ACL mark ("+", ".", "@").
bool IsMode(std::string_view word) {
  return word.size() >= 10 && std::string_view("-dlbcps").find(word[0]) != std::string_view::npos &&
         std::all_of(word.begin() + 1, word.begin() + 10,
                     [](char c) { return std::string_view("rwxsStTl-").find(c) != std::string_view::npos; });
}

Line NamedLine(bool file, std::string_view name, int64_t size) {
  if (name.empty()) return {};
  if (!file || name == "." || name == "..") return {Kind::kOther, "", -1};
  return {Kind::kFile, std::string(name), size};
}

// The date column of ls -l: size, month, day, time or year; the name starts
// one blank after it, so names keep their own blanks.
Line UnixLine(std::string_view line, const std::vector<Word>& words) {
  for (size_t i = 2; i + 3 < words.size(); ++i) {
    if (!AllDigits(words[i].text) || !IsMonth(words[i + 1].text) || !AllDigits(words[i + 2].text) ||
        words[i + 2].text.size() > 2 || !IsTimeOrYear(words[i + 3].text)) {
      continue;
    }
    const size_t start = words[i + 3].end + 1;
    return NamedLine(words[0].text[0] == '-', start < line.size() ? line.substr(start) : "", SizeOf(words[i].text));
  }
  return {};
}

// "12-31-25" or "12-31-2025".
bool IsDosDate(std::string_view word) {
  return (word.size() == 8 || word.size() == 10) && word[2] == '-' && word[5] == '-' && AllDigits(word.substr(0, 2)) &&
         AllDigits(word.substr(3, 2)) && AllDigits(word.substr(6));
}

// "10:00PM".
bool IsDosTime(std::string_view word) {
  const std::string upper = Lower(word);
  return word.size() == 7 && word[2] == ':' && AllDigits(word.substr(0, 2)) && AllDigits(word.substr(3, 2)) &&
         (upper.ends_with("am") || upper.ends_with("pm"));
}

Line DosLine(std::string_view line, const std::vector<Word>& words) {
  if (words.size() < 4 || !IsDosDate(words[0].text) || !IsDosTime(words[1].text)) return {};
  const bool folder = words[2].text == "<DIR>";
  if (!folder && !AllDigits(words[2].text)) return {};
  const size_t start = line.find_first_not_of(' ', words[2].end);
  return NamedLine(!folder, line.substr(start), SizeOf(words[2].text));
}

}  // namespace

Line ParseMlsdLine(const std::string& line) {
  const size_t blank = line.find(' ');
  if (blank == std::string::npos || line.find('=') > blank) return {};
  bool file = false;
  int64_t size = -1;
  std::string_view facts = std::string_view(line).substr(0, blank);
  while (!facts.empty()) {
    const std::string_view fact = facts.substr(0, facts.find(';'));
    facts.remove_prefix(std::min(facts.size(), fact.size() + 1));
    const size_t equals = fact.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string name = Lower(fact.substr(0, equals));
    if (name == "type") file = Lower(fact.substr(equals + 1)) == "file";
    if (name == "size") size = SizeOf(fact.substr(equals + 1));
  }
  return NamedLine(file, std::string_view(line).substr(blank + 1), size);
}

Line ParseListLine(const std::string& line) {
  const std::vector<Word> words = Words(line);
  if (words.empty()) return {};
  if (words.size() == 2 && words[0].text == "total" && AllDigits(words[1].text)) return {Kind::kOther, "", -1};
  if (IsMode(words[0].text)) return UnixLine(line, words);
  return DosLine(line, words);
}

std::optional<std::unordered_map<std::string, int64_t>> FileSizes(const std::string& listing, bool mlsd) {
  std::unordered_map<std::string, int64_t> sizes;
  bool any_line = false, any_known = false;
  size_t at = 0;
  while (at < listing.size()) {
    size_t end = std::min(listing.find('\n', at), listing.size());
    std::string line = listing.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    any_line = true;
    const Line parsed = mlsd ? ParseMlsdLine(line) : ParseListLine(line);
    any_known = any_known || parsed.kind != Kind::kJunk;
    if (parsed.kind == Kind::kFile) sizes.emplace(parsed.name, parsed.size);
  }
  if (any_line && !any_known) return std::nullopt;
  return sizes;
}

size_t Entries(const std::string& listing) {
  size_t entries = 0;
  for (size_t at = 0; at < listing.size();) {
    const size_t end = std::min(listing.find('\n', at), listing.size());
    entries += listing.find_first_not_of("\r \t", at) < end;
    at = end + 1;
  }
  return entries;
}

}  // namespace trk_listing
