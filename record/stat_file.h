#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "record/file_stat.h"

class TrkOutputBuffer;

// The file of stat data beside the record: for a record key (the digest of a
// file's local path), the stat data taken when the file's bytes were read,
// with the digest those bytes had. It is what lets a later run trust the
// record's digest without reading the file again (TrkUploadRecord::Unchanged).
//
// It is derived data: it says nothing the record does not, an entry counts
// only while its digest is the record's, and a missing, damaged or foreign
// file only makes its files read once more. It is binary, a header then 80
// bytes per entry (key, digest, size, modification and change times, inode,
// device, the moment taken; little-endian), so that a million entries are
// parsed in one pass without a string each.
namespace trk_stat_file {

// The file's first bytes; a file without them is of another format.
constexpr std::string_view kHeader{"DVSTAT1\n"};
constexpr size_t kEntryBytes = 80;

using Digest = std::array<uint8_t, 16>;
struct Entry {
  Digest key{}, digest{};
  TrkFileStat stat;
};

// Hands `entry`'s bytes to `out` (the header first, once, is the caller's).
void Append(TrkOutputBuffer& out, const Entry& entry);
// Calls `each` for every whole entry of a file's bytes: none for a file of
// another format, and a cut-off last entry is dropped.
void ForEach(std::string_view bytes, const std::function<void(const Entry& entry)>& each);

}  // namespace trk_stat_file
