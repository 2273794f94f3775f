#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Reads an integer option value: a decimal integer (optional sign) gives that
// number, anything else gives `fallback`.
int TrkParseInt(std::string_view text, int fallback);
// Reads a Boolean option value: a numeric text is true when not zero, otherwise
// "True"/"False" in any letter case; anything else gives `fallback`.
bool TrkParseBool(std::string_view text, bool fallback);
// TrkParseBool's reading, with no value for a text it does not read: for the
// options whose wrong value must refuse a run rather than fall back.
std::optional<bool> TrkReadBool(std::string_view text);
// A count a safety limit is given as: a whole number of 0 or more, blanks
// around it ignored; no value for anything else (a sign, a fraction, words,
// a number beyond int) or an empty text.
std::optional<int> TrkReadCount(std::string_view text);
// "True" or "False", as the program writes Booleans.
const char* TrkBoolText(bool value);

// An ordered list of name=value lines. Keys are compared without regard to ASCII
// letter case and the first matching line wins; lines without "=" are kept in
// place but never match. An empty value and a missing option are the same thing.
//
// Thread safety: every call takes the list's own lock, so the search thread and the
// workers may read options while the window changes them.
class TrkOptions {
 public:
  std::string Get(std::string_view key) const;
  int GetInt(std::string_view key, int fallback) const;
  bool GetBool(std::string_view key, bool fallback) const;

  // A non-empty value replaces the first matching line in place or is appended;
  // an empty value removes the first matching line.
  void Set(std::string_view key, std::string_view value);
  // Writes "True" or "False", as the design writes Booleans; no program path
  // writes one yet.
  void SetBool(std::string_view key, bool value);
  // Removes the first line whose key matches, if any.
  void Remove(std::string_view key);

  std::vector<std::string> Lines() const;
  void SetLines(std::vector<std::string> lines);
  void Clear();

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;  // guarded by mu_
};
