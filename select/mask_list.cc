#include "select/mask_list.h"

#include "project/platform.h"
#include "select/search.h"

namespace {

std::string_view WithoutBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

TrkMaskList::TrkMaskList(std::string_view text) {
  for (;;) {
    const size_t end = text.find(';');
    const std::string_view mask = WithoutBlanks(text.substr(0, end));
    if (!mask.empty()) masks_.emplace_back(mask);
    if (end == std::string_view::npos) return;
    text.remove_prefix(end + 1);
  }
}

bool TrkMaskList::MatchesName(std::string_view path) const {
  const size_t separator = trk_platform::LastSeparator(path);
  const std::string_view name = separator == std::string_view::npos ? path : path.substr(separator + 1);
  for (const std::string& mask : masks_) {
    if (WildcardMatch(mask, name)) return true;
  }
  return false;
}
