#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "sync/file_stat.h"

class TrkOutputBuffer;

// The stat data of recorded files, taken when their bytes were read, with the
// digest those bytes had: for a record key (the digest of the file's local
// path), what lets a later run trust the record's digest without reading the
// file again (Unchanged).
//
// Its file sits beside the record and is derived data: it says nothing the
// record does not, an entry counts only while its digest is the record's, and a
// missing, damaged or foreign file only makes its files read once more. It is
// binary, a header then 80 bytes per entry (key, digest, size, modification
// and change times, inode, device, the moment taken; little-endian): a large
// site has a million entries, so each is kept in memory at about that size,
// without a string, and the file is parsed in one pass.
//
// Not thread-safe; see TrkUploadStore for who guards it.
class TrkStatRecord {
 public:
  // The file's first bytes; a file without them is of another format.
  static constexpr std::string_view kHeader{"DVSTAT1\n"};
  static constexpr size_t kEntryBytes = 80;

  void Clear();
  // Reads a file's bytes. A file of another format holds nothing; a cut-off
  // last entry is dropped.
  void Assign(std::string_view bytes);
  // Keeps `stat` for `key`'s file, whose bytes had the digest `digest` (both 32
  // hexadecimal digits, any case; anything else is not kept).
  void Put(std::string_view key, std::string_view digest, const TrkFileStat& stat);
  void Remove(std::string_view key);
  // Whether `key`'s file, recorded with the digest `recorded`, still holds
  // those bytes, by its stat data `now`: kept with that very digest, the same
  // file with the same size and times, and not racy.
  bool Unchanged(std::string_view key, std::string_view recorded, const TrkFileStat& now) const;
  // A key or digest as its 16 bytes.
  using Digest = std::array<uint8_t, 16>;

  size_t Count() const { return count_; }
  // Hands the file's bytes to `out`, with the entries whose key is `recorded`: an entry whose
  // file left the record is dropped as it is written, not as it is read, so a
  // run that writes nothing never pays for it. An entry of another digest than
  // its record line's is left to Unchanged, which never trusts it, and to the
  // next reading of its file, which replaces it.
  void Write(TrkOutputBuffer& out, const std::function<bool(const Digest& key)>& recorded) const;

 private:
  struct Entry {
    Digest key{}, digest{};
    TrkFileStat stat;
    bool removed = false;  // left out of Bytes; still indexed, so positions stay valid
  };

  // Where `key`'s entry is; -1 when there is none.
  int64_t Locate(const Digest& key) const;
  // Sets (or adds) `key`'s entry.
  void Set(const Digest& key, const Digest& digest, const TrkFileStat& stat);
  // The slot of slots_ holding `key`, or the empty slot where it would go.
  size_t Slot(const Digest& key) const;
  void Index(uint32_t at);

  std::vector<Entry> entries_;
  // Open addressing: position + 1 (0: empty), at most half full.
  std::vector<uint32_t> slots_;
  size_t count_ = 0;  // entries not removed
};
