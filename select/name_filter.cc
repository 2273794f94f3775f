#include "select/name_filter.h"

#include "project/error.h"

namespace {

// A path is one item, so a line break in a name is a character like any other:
// the mask's "*" and "?" (and RegExt's ".") match it too.
constexpr unsigned kOptions = kRegexIgnoreCase | kRegexDotAll;

std::optional<TRegex> CompiledOrNone(const std::string& pattern) {
  try {
    return Regex::Create(pattern, kOptions);
  } catch (const ERegexException&) {
    return std::nullopt;
  }
}

// The mask "*" fits every path: a regex run per file of a listing would test nothing.
std::optional<TRegex> MaskPattern(const std::string& mask) {
  if (mask == "*") return std::nullopt;
  return CompiledOrNone(MaskToPattern(mask));
}

}  // namespace

TrkNameFilter::TrkNameFilter(const std::string& mask, const std::string& reg_ext, const std::string& exclude)
    : mask_(MaskPattern(mask)), reg_ext_(reg_ext.empty() ? std::nullopt : CompiledOrNone(reg_ext)) {
  if (exclude.empty()) return;
  try {
    exclude_ = Regex::Create(exclude, kOptions);
  } catch (const ERegexException& e) {
    throw TrkError("Exclude is not a valid regular expression (" + std::string(e.what()) + "): " + exclude);
  }
}

bool TrkNameFilter::Accepts(const std::string& path) const {
  return MatchesOrUndecided(mask_, path) && MatchesOrUndecided(reg_ext_, path) && !Excluded(path);
}

bool TrkNameFilter::SkipsFolder(const std::string& folder) const { return Excluded(folder); }

bool TrkNameFilter::MatchesOrUndecided(const std::optional<TRegex>& regex, const std::string& text) {
  if (!regex) return true;
  try {
    return regex->IsMatch(text);
  } catch (const ERegexException&) {
    return true;  // over the engine's limits
  }
}

bool TrkNameFilter::Excluded(const std::string& text) const {
  if (!exclude_) return false;
  try {
    return exclude_->IsMatch(text);
  } catch (const ERegexException&) {
    return false;
  }
}
