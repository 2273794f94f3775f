#pragma once

#include <string>
#include <string_view>
#include <vector>

// File-name masks separated by ";", each in the listing's wildcard syntax
// (WildcardMatch: "*" any run, "?" one character, letter case ignored). Blanks
// around a mask and empty masks are dropped, so "*.php; *.html;" holds two.
//
// Parsed once, then only read: any number of threads may test at once.
class TrkMaskList {
 public:
  TrkMaskList() = default;
  explicit TrkMaskList(std::string_view text);

  // Whether the name of `path` (the part after its last separator, see
  // trk_platform::LastSeparator) fits at least one mask. Folders on the way
  // never count: "*.php" takes /www/a.php, not /www/x.php/readme.
  bool MatchesName(std::string_view path) const;

 private:
  std::vector<std::string> masks_;
};
