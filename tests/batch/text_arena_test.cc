#include "batch/text_arena.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr size_t kBlock = TrkTextArena::kBlockSize;
constexpr size_t kOwn = TrkTextArena::kOwnBlock;

// Every text kept stays as it was however the ones after it are placed: in
// the same block, in a new one, or in a block of their own between two that
// fill the current block.
TEST(TextArenaTest, KeptTextsStayAsTheyWereWhateverFollows) {
  const std::vector<std::vector<size_t>> series = {
      {0, 1, 0, 2},                             // empty texts take no room
      {kOwn, kOwn, kOwn, kOwn, 1},              // a block filled exactly, then the next
      {kOwn, kOwn, kOwn, kOwn - 1, 2},          // one byte short: the next goes elsewhere
      {10, kOwn + 1, 10, kBlock * 2, 10},       // long texts do not end the block being filled
      {kOwn, kOwn, kOwn, kOwn - 5, 6, 5},       // six bytes where five are left start a block
  };
  for (const std::vector<size_t>& sizes : series) {
    TrkTextArena arena;
    std::vector<std::string> texts;
    std::vector<std::string_view> kept;
    for (size_t size : sizes) {
      texts.push_back(std::string(size, static_cast<char>('a' + texts.size())));
      kept.push_back(arena.Keep(texts.back()));
    }
    for (size_t i = 0; i < texts.size(); ++i) {
      EXPECT_EQ(kept[i], texts[i]) << "text " << i << " of " << testing::PrintToString(sizes);
    }
  }
}

}  // namespace
