#include "sync/stat_record.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "project/output_buffer.h"

namespace {

using Digest = std::array<uint8_t, 16>;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Decode(std::string_view hex, Digest& out) {
  if (hex.size() != 32) return false;
  for (size_t i = 0; i < 16; ++i) {
    const int high = HexValue(hex[2 * i]), low = HexValue(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}


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

// MD5 digests are evenly spread: their first bytes are a hash already.
size_t HashOf(const Digest& key) {
  uint64_t hash = 0;
  std::memcpy(&hash, key.data(), sizeof hash);
  return static_cast<size_t>(hash);
}

}  // namespace

void TrkStatRecord::Clear() {
  std::vector<Entry>().swap(entries_);
  std::vector<uint32_t>().swap(slots_);
  count_ = 0;
}

void TrkStatRecord::Assign(std::string_view bytes) {
  Clear();
  if (!bytes.starts_with(kHeader)) return;
  bytes.remove_prefix(kHeader.size());
  const size_t entries = bytes.size() / kEntryBytes;
  entries_.reserve(entries);
  slots_.assign(std::max<size_t>(16, std::bit_ceil(entries * 2)), 0);
  for (size_t at = 0; at < entries; ++at) {
    const char* entry = bytes.data() + at * kEntryBytes;
    Digest key, digest;
    std::memcpy(key.data(), entry, 16);
    std::memcpy(digest.data(), entry + 16, 16);
    TrkFileStat stat;
    stat.size = static_cast<int64_t>(ReadNumber(entry + 32));
    stat.mtime_ns = static_cast<int64_t>(ReadNumber(entry + 40));
    stat.ctime_ns = static_cast<int64_t>(ReadNumber(entry + 48));
    stat.inode = ReadNumber(entry + 56);
    stat.device = ReadNumber(entry + 64);
    stat.taken_ns = static_cast<int64_t>(ReadNumber(entry + 72));
    Set(key, digest, stat);
  }
}

void TrkStatRecord::Put(std::string_view key, std::string_view digest, const TrkFileStat& stat) {
  Digest key_bytes, digest_bytes;
  if (Decode(key, key_bytes) && Decode(digest, digest_bytes)) Set(key_bytes, digest_bytes, stat);
}

void TrkStatRecord::Remove(std::string_view key) {
  Digest key_bytes;
  if (!Decode(key, key_bytes)) return;
  const int64_t at = Locate(key_bytes);
  if (at < 0 || entries_[at].removed) return;
  entries_[at].removed = true;
  --count_;
}

bool TrkStatRecord::Unchanged(std::string_view key, std::string_view recorded, const TrkFileStat& now) const {
  Digest key_bytes, recorded_bytes;
  if (!Decode(key, key_bytes) || !Decode(recorded, recorded_bytes)) return false;
  const int64_t at = Locate(key_bytes);
  if (at < 0) return false;
  const Entry& entry = entries_[at];
  return !entry.removed && entry.digest == recorded_bytes && entry.stat.SameFile(now) && !entry.stat.Racy();
}

void TrkStatRecord::Write(TrkOutputBuffer& out, const std::function<bool(const Digest& key)>& recorded) const {
  out.Append(kHeader);
  for (const Entry& entry : entries_) {
    if (entry.removed || !recorded(entry.key)) continue;
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
}

int64_t TrkStatRecord::Locate(const Digest& key) const {
  if (slots_.empty()) return -1;
  const uint32_t slot = slots_[Slot(key)];
  return slot == 0 ? -1 : static_cast<int64_t>(slot - 1);
}

void TrkStatRecord::Set(const Digest& key, const Digest& digest, const TrkFileStat& stat) {
  int64_t at = Locate(key);
  if (at < 0) {
    entries_.push_back(Entry{key, digest, stat, true});
    Index(static_cast<uint32_t>(entries_.size() - 1));
    at = static_cast<int64_t>(entries_.size() - 1);
  }
  Entry& entry = entries_[at];
  if (entry.removed) ++count_;
  entry.digest = digest;
  entry.stat = stat;
  entry.removed = false;
}

size_t TrkStatRecord::Slot(const Digest& key) const {
  const size_t mask = slots_.size() - 1;
  for (size_t slot = HashOf(key) & mask;; slot = (slot + 1) & mask) {
    if (slots_[slot] == 0 || entries_[slots_[slot] - 1].key == key) return slot;
  }
}

void TrkStatRecord::Index(uint32_t at) {
  if ((entries_.size()) * 2 > slots_.size()) {
    // Grown by doubling, every entry placed anew: at most half full.
    slots_.assign(std::max<size_t>(16, slots_.size() * 2), 0);
    for (uint32_t each = 0; each < at; ++each) slots_[Slot(entries_[each].key)] = each + 1;
  }
  slots_[Slot(entries_[at].key)] = at + 1;
}
