#pragma once

#include <optional>
#include <string>

#include "select/regex.h"

// The name test of one listing: a file passes when its whole path fits the
// mask, matches RegExt when that is set, and does not match Exclude when that
// is set; a folder whose path with its closing separator matches Exclude is not
// entered at all. Letter case is ignored, and a line break in a name is a
// character like any other.
//
// Compiled once, when the listing starts, and only read afterwards: the search
// thread and any other thread may test at once without a lock.
class TrkNameFilter {
 public:
  // Throws TrkError naming the problem when `exclude` is set and is not a valid
  // regular expression: matching would fail for every path, and an exclusion
  // can decide neither way silently. A mask or RegExt the engine rejects lets
  // every file through instead, as the engine's limits do.
  TrkNameFilter(const std::string& mask, const std::string& reg_ext, const std::string& exclude);

  bool Accepts(const std::string& path) const;
  // Whether the walk leaves `folder` (ending in its separator) out.
  bool SkipsFolder(const std::string& folder) const;

 private:
  // True when `regex` matches `text`, when the engine cannot tell, and when
  // there is no regex (none given, or one the engine rejects).
  static bool MatchesOrUndecided(const std::optional<TRegex>& regex, const std::string& text);
  // False when the engine cannot tell: an undecided exclusion never hides a file.
  bool Excluded(const std::string& text) const;

  std::optional<TRegex> mask_;
  std::optional<TRegex> reg_ext_;
  std::optional<TRegex> exclude_;  // none: nothing is excluded
};
