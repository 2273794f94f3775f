#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

// Texts kept for as long as the arena lives, packed into large blocks rather
// than allocated one by one: a run over a million files keeps a path and a
// result for each, and as strings of their own those cost twice their size.
//
// A kept text never moves or changes, so it may be read from any thread while
// the arena lives (once its writer has published it). Keeping is not
// thread-safe: an arena has one writer at a time, by its owner's lock or by
// belonging to one thread.
class TrkTextArena {
 public:
  static constexpr size_t kBlockSize = 64 * 1024;
  // Texts longer than this get a block of their own, so that a long text
  // never leaves much of a block unused.
  static constexpr size_t kOwnBlock = kBlockSize / 4;

  TrkTextArena() = default;
  TrkTextArena(const TrkTextArena&) = delete;
  TrkTextArena& operator=(const TrkTextArena&) = delete;

  // A copy of `text` that stays valid as long as the arena.
  std::string_view Keep(std::string_view text);

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* free_ = nullptr;  // the unused end of the last block
  size_t left_ = 0;       // its size
};
