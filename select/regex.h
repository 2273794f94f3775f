#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "project/error.h"

// An error of the regular-expression engine: a pattern it rejects, or a match
// that hit the engine's limits.
class ERegexException : public TrkError {
 public:
  ERegexException(int32_t error_code, const std::string& message) : TrkError(message), ErrorCode(error_code) {}
  int32_t ErrorCode;
};

// kRegexDotAll: "." also matches a line break.
enum TrkRegexOptions : unsigned { kRegexNone = 0, kRegexIgnoreCase = 1, kRegexMultiline = 2, kRegexDotAll = 4 };

// One compiled expression, shared by reference. Matching is a search (the pattern
// may match anywhere in the text) with a match limit, so no pattern can hang.
// Immutable once made: any number of threads may match with one at once.
class TRegex {
 public:
  class Impl;
  explicit TRegex(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}

  std::string Pattern() const;
  bool IgnoreCase() const;
  bool Multiline() const;
  bool IsMatch(const std::string& text) const;
  // The text with its first match replaced ("$1".."$9" and "$&" name groups).
  std::string Replace(const std::string& text, const std::string& replacement) const;

 private:
  std::shared_ptr<const Impl> impl_;
};

// Class-level operations of the wrapper. Create throws ERegexException for a
// pattern the engine rejects.
class Regex {
 public:
  static TRegex Create(const std::string& pattern, unsigned options);
  static bool IsMatch(const std::string& pattern, unsigned options, const std::string& text);
  static std::string Replace(const std::string& pattern, const std::string& text, const std::string& replacement);
};

// A listing mask turned into a pattern that matches paths ending in text that
// fits the mask ("." -> "\.", "*" -> ".*", "?" -> ".?", metacharacters and
// backslashes escaped, "$" appended).
std::string MaskToPattern(const std::string& mask);
