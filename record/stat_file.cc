#include "record/stat_file.h"

#include <algorithm>
#include <cstring>

#include "project/output_buffer.h"

namespace trk_stat_file {
namespace {

// Fixed-width little-endian numbers, so a file reads the same on any machine.
char* PutNumber(char* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) *out++ = static_cast<char>((value >> (8 * i)) & 0xff);
  return out;
}

uint64_t ReadNumber(const char* bytes) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[i]);
  return value;
}

}  // namespace

void Append(TrkOutputBuffer& out, const Entry& entry) {
  // Filled through a pointer: a save writes every entry, and a million of
  // them appended byte by byte cost more than the disk.
  char bytes[kEntryBytes];
  char* at = std::copy(entry.key.begin(), entry.key.end(), bytes);
  at = std::copy(entry.digest.begin(), entry.digest.end(), at);
  for (int64_t value : {entry.stat.size, entry.stat.mtime_ns, entry.stat.ctime_ns}) {
    at = PutNumber(at, static_cast<uint64_t>(value));
  }
  at = PutNumber(at, entry.stat.inode);
  at = PutNumber(at, entry.stat.device);
  PutNumber(at, static_cast<uint64_t>(entry.stat.taken_ns));
  out.Append(std::string_view(bytes, kEntryBytes));
}

void ForEach(std::string_view bytes, const std::function<void(const Entry& entry)>& each) {
  if (!bytes.starts_with(kHeader)) return;
  bytes.remove_prefix(kHeader.size());
  Entry entry;
  for (size_t at = 0; at + kEntryBytes <= bytes.size(); at += kEntryBytes) {
    const char* bytes_at = bytes.data() + at;
    std::memcpy(entry.key.data(), bytes_at, 16);
    std::memcpy(entry.digest.data(), bytes_at + 16, 16);
    entry.stat.size = static_cast<int64_t>(ReadNumber(bytes_at + 32));
    entry.stat.mtime_ns = static_cast<int64_t>(ReadNumber(bytes_at + 40));
    entry.stat.ctime_ns = static_cast<int64_t>(ReadNumber(bytes_at + 48));
    entry.stat.inode = ReadNumber(bytes_at + 56);
    entry.stat.device = ReadNumber(bytes_at + 64);
    entry.stat.taken_ns = static_cast<int64_t>(ReadNumber(bytes_at + 72));
    each(entry);
  }
}

}  // namespace trk_stat_file
