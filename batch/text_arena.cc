#include "batch/text_arena.h"

#include <algorithm>

std::string_view TrkTextArena::Keep(std::string_view text) {
  if (text.empty()) return {};
  if (text.size() > kOwnBlock) {
    // A block of its own; the one being filled stays the one to fill.
    char* at = blocks_.emplace_back(std::make_unique_for_overwrite<char[]>(text.size())).get();
    std::copy(text.begin(), text.end(), at);
    return {at, text.size()};
  }
  if (text.size() > left_) {
    free_ = blocks_.emplace_back(std::make_unique_for_overwrite<char[]>(kBlockSize)).get();
    left_ = kBlockSize;
  }
  char* at = free_;
  std::copy(text.begin(), text.end(), at);
  free_ += text.size();
  left_ -= text.size();
  return {at, text.size()};
}
