#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "record/file_stat.h"

class TrkOutputBuffer;

// What has been uploaded: for each file ever uploaded under a project, one line
// "KEY=VALUE", KEY the digest of the file's path and VALUE the digest of its
// bytes. Lines of any other form (blank, foreign, edited by hand) stay where
// they are and are written back unchanged, so the lines are the truth and the
// index only a way to find them: a lookup costs O(1) however long the record.
// A removed entry's line is left out of the text but keeps its place, so that
// positions stay valid; recording the name again brings it back there.
//
// A record may hold a line for every file of a large site, so the usual line,
// two digests of 32 upper-case hexadecimal digits, is kept as its 32 bytes; any
// other line keeps its text.
//
// A line of two digests may also keep the stat data its file had when its
// bytes were read with that content digest (their file: trk_stat_file): kept
// only beside that very digest, so a line given another value loses them.
// They take the place of a separate table keyed by path digest, which would
// hold every key and digest twice and cost a second lookup per file.
//
// Not thread-safe; see TrkUploadStore for who guards it.
class TrkUploadRecord {
 public:
  void Clear();
  // Makes `lines` the record, in their order.
  void Assign(const std::vector<std::string_view>& lines);
  // Whether Find would give a value that is not empty, without making it.
  bool Has(std::string_view key) const;
  // Has for a name of 32 hexadecimal digits given as the 16 bytes they spell.
  bool HasDigestName(const std::array<uint8_t, 16>& name) const;

  // The text after the first "=" of the first line whose name (the text before
  // that "=") equals `key` without regard to ASCII letter case; empty when no
  // line matches. Lines without "=" have no name and never match.
  std::string Find(std::string_view key) const;
  // Rewrites the line Find would use as key=value, in place, or appends one.
  void Put(std::string_view key, std::string_view value);

  // Find, Put, PutStat and Unchanged for a key of 32 hexadecimal digits given
  // as the 16 bytes they spell, as a run has it: no text made or read back.
  using Digest = std::array<uint8_t, 16>;
  std::string Find(const Digest& key) const;
  void Put(const Digest& key, const Digest& value);
  // Put, keeping `stat` beside the value: what PutStat would, in one lookup.
  void Put(const Digest& key, const Digest& value, const TrkFileStat& stat);
  bool PutStat(const Digest& key, const Digest& digest, const TrkFileStat& stat);
  bool Unchanged(const Digest& key, std::string_view recorded, const TrkFileStat& now) const;
  // Takes the line Find would use out of the record; false when none matched.
  bool Remove(std::string_view key);

  // Keeps `stat` for `key`'s line when its value is `digest` (32 hexadecimal
  // digits, any case); false, keeping nothing, when it is not.
  bool PutStat(std::string_view key, std::string_view digest, const TrkFileStat& stat);
  // Whether `key`'s file, recorded with the digest `recorded`, still holds
  // those bytes by its stat data `now`: its line has that value and stat data
  // of the same file with the same size and times, not racy.
  bool Unchanged(std::string_view key, std::string_view recorded, const TrkFileStat& now) const;
  // Lines that keep stat data.
  size_t StatCount() const { return stat_count_; }
  // Takes the stat data of a stat file's bytes (trk_stat_file), each entry
  // for its key's line when that has the entry's digest; the rest are dropped.
  void AssignStats(std::string_view bytes);
  // Hands the stat file's bytes to `out`.
  void WriteStats(TrkOutputBuffer& out) const;

  // Lines, removed ones included.
  size_t Count() const { return lines_.size(); }
  // The lines in order (a copy).
  std::vector<std::string> Lines() const;
  // The record file's text: every line followed by CR LF.
  std::string Text() const;
  // Hands Text() to `out`, without building it whole.
  void Write(TrkOutputBuffer& out) const;

 private:
  static constexpr uint32_t kDigestsOnly = UINT32_MAX;
  static constexpr uint32_t kNoStat = UINT32_MAX;
  struct Line {
    uint32_t text = kDigestsOnly;  // index into texts_, or kDigestsOnly
    uint32_t stat = kNoStat;       // index into stats_, or kNoStat
    bool digest_name = false;      // the name is 32 hexadecimal digits, held in `key`
    bool removed = false;          // left out of the text; still indexed
    Digest key{}, value{};
  };

  // Makes `line` name=value (just `name` without `has_equals`), in its compact
  // form when it has one.
  void SetLine(Line& line, std::string_view name, std::string_view value, bool has_equals);
  // Makes `line` the compact line key=value.
  void SetDigests(Line& line, const Digest& key, const Digest& value);
  // Put(key, value): the line set, by one lookup.
  Line& PutDigests(const Digest& key, const Digest& value);
  // Where the line named `key` is; -1 when none is.
  int64_t LocateDigest(const Digest& key) const;
  // The value of line `at` (-1: none) as Find gives it.
  std::string ValueAt(int64_t at) const;
  // PutStat and Unchanged for line `at` (-1: none).
  bool PutStatAt(int64_t at, const Digest& digest, const TrkFileStat& stat);
  bool UnchangedAt(int64_t at, std::string_view recorded, const TrkFileStat& now) const;
  void AppendLine(const Line& line, std::string& out) const;
  // The line's value as the 16 bytes its 32 hexadecimal digits (any case)
  // spell; false when it is none.
  bool ValueBytes(const Line& line, Digest& out) const;
  // Keeps `stat` for `line`.
  void SetStat(Line& line, const TrkFileStat& stat);
  // The line keeps no stat data from now on.
  void DropStat(Line& line);
  // Whether line `at` (-1: none) is there with a value that is not empty.
  bool HasLine(int64_t at) const;
  // Where the line named `name` (any case) is; -1 when none is.
  int64_t Locate(std::string_view name) const;
  // The slot of digest_slots_ holding the line named `digest`, or the empty
  // slot where it would go. The table must not be empty.
  size_t DigestSlot(const Digest& digest) const;
  // Index line `at` under its name unless an earlier line already has it.
  void IndexDigest(uint32_t at, const Digest& digest);
  // Line `at` was indexed in `slot`: the table doubles when it is half full.
  void IndexedDigest(size_t slot, uint32_t at);
  void IndexName(uint32_t at, std::string_view name);

  std::vector<Line> lines_;
  std::vector<std::string> texts_;  // the lines that have no compact form
  // Lines' stat data; a dropped one's place is left unused until the next
  // Clear, and taken again when its line keeps stat data once more.
  // A deque: grown by blocks, never copied whole, as a vector of a million
  // would be at its last doubling.
  std::deque<TrkFileStat> stats_;
  size_t stat_count_ = 0;  // lines with stat data
  // Name -> position of the first line with that name. Lines are never removed
  // or moved, and a rewrite keeps the name, so positions stay valid. Names of 32
  // hexadecimal digits (nearly all) are in an open-addressing table of position
  // + 1 (0: empty), at most half full, compared by the lines' own `key`: 8 bytes
  // a line rather than a node of a map. Any other name is indexed by its ASCII
  // upper case.
  std::vector<uint32_t> digest_slots_;
  size_t digest_names_ = 0;
  std::unordered_map<std::string, uint32_t> name_index_;
};
