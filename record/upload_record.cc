#include "record/upload_record.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "project/ascii.h"
#include "project/output_buffer.h"
#include "digest/md5.h"
#include "record/stat_file.h"

namespace {

// Inline, where std::array's == calls memcmp: the table compares a key or two
// per lookup, and a run looks up each file several times.
bool SameDigest(const std::array<uint8_t, 16>& a, const std::array<uint8_t, 16>& b) {
  uint64_t a_low, a_high, b_low, b_high;
  std::memcpy(&a_low, a.data(), 8);
  std::memcpy(&a_high, a.data() + 8, 8);
  std::memcpy(&b_low, b.data(), 8);
  std::memcpy(&b_high, b.data() + 8, 8);
  return ((a_low ^ b_low) | (a_high ^ b_high)) == 0;
}

size_t Hash(const std::array<uint8_t, 16>& digest) {
  uint64_t low, high;
  std::memcpy(&low, digest.data(), 8);
  std::memcpy(&high, digest.data() + 8, 8);
  return static_cast<size_t>(low ^ (high * 0x9E3779B97F4A7C15ull));
}

}  // namespace

void TrkUploadRecord::Clear() {
  // Swapped, not cleared, so that a window that runs many projects gives the
  // memory of a large record back.
  std::vector<Line>().swap(lines_);
  std::vector<std::string>().swap(texts_);
  std::vector<uint32_t>().swap(digest_slots_);
  std::deque<TrkFileStat>().swap(stats_);
  stat_count_ = 0;
  digest_names_ = 0;
  std::unordered_map<std::string, uint32_t>().swap(name_index_);
}

void TrkUploadRecord::Assign(const std::vector<std::string_view>& lines) {
  Clear();
  lines_.resize(lines.size());
  // Sized for every line at once: a million lines indexed while the table
  // doubled would be placed again twenty times over.
  digest_slots_.assign(std::max<size_t>(16, std::bit_ceil(lines.size() * 2 + 1)), 0);
  for (size_t at = 0; at < lines.size(); ++at) {
    const std::string_view text = lines[at];
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
      SetLine(lines_[at], text, {}, false);
      continue;
    }
    SetLine(lines_[at], text.substr(0, equals), text.substr(equals + 1), true);
    const Line& line = lines_[at];
    if (line.digest_name) {
      IndexDigest(static_cast<uint32_t>(at), line.key);
    } else {
      IndexName(static_cast<uint32_t>(at), text.substr(0, equals));
    }
  }
}

bool TrkUploadRecord::Has(std::string_view key) const { return HasLine(Locate(key)); }

bool TrkUploadRecord::HasDigestName(const std::array<uint8_t, 16>& name) const {
  return HasLine(LocateDigest(name));
}

bool TrkUploadRecord::HasLine(int64_t at) const {
  if (at < 0 || lines_[at].removed) return false;
  const Line& line = lines_[at];
  return line.text == kDigestsOnly || !texts_[line.text].ends_with('=');
}

std::string TrkUploadRecord::Find(std::string_view key) const { return ValueAt(Locate(key)); }

std::string TrkUploadRecord::Find(const Digest& key) const { return ValueAt(LocateDigest(key)); }

std::string TrkUploadRecord::ValueAt(int64_t at) const {
  if (at < 0 || lines_[at].removed) return {};
  const Line& line = lines_[at];
  std::string value;
  if (line.text == kDigestsOnly) {
    TrkMD5::AppendHex(line.value.data(), value);
  } else {
    const std::string& text = texts_[line.text];
    value = text.substr(text.find('=') + 1);
  }
  return value;
}

void TrkUploadRecord::Put(const Digest& key, const Digest& value) { PutDigests(key, value); }

void TrkUploadRecord::Put(const Digest& key, const Digest& value, const TrkFileStat& stat) {
  SetStat(PutDigests(key, value), stat);
}

TrkUploadRecord::Line& TrkUploadRecord::PutDigests(const Digest& key, const Digest& value) {
  if (digest_slots_.empty()) digest_slots_.resize(16);
  const size_t slot = DigestSlot(key);
  if (digest_slots_[slot] != 0) {
    Line& line = lines_[digest_slots_[slot] - 1];
    SetDigests(line, key, value);
    return line;
  }
  const auto at = static_cast<uint32_t>(lines_.size());
  SetDigests(lines_.emplace_back(), key, value);
  IndexedDigest(slot, at);
  return lines_.back();
}

void TrkUploadRecord::Put(std::string_view key, std::string_view value) {
  const int64_t at = Locate(key);
  if (at >= 0) return SetLine(lines_[at], key, value, true);
  const auto next = static_cast<uint32_t>(lines_.size());
  lines_.emplace_back();
  SetLine(lines_.back(), key, value, true);
  const Line& line = lines_.back();
  if (line.digest_name) {
    IndexDigest(next, line.key);
  } else {
    IndexName(next, key.substr(0, key.find('=')));
  }
}

bool TrkUploadRecord::Remove(std::string_view key) {
  const int64_t at = Locate(key);
  if (at < 0 || lines_[at].removed) return false;
  DropStat(lines_[at]);
  lines_[at].removed = true;
  return true;
}

bool TrkUploadRecord::PutStat(std::string_view key, std::string_view digest, const TrkFileStat& stat) {
  Digest wanted;
  return TrkMD5::BytesOf(digest, wanted) && PutStatAt(Locate(key), wanted, stat);
}

bool TrkUploadRecord::PutStat(const Digest& key, const Digest& digest, const TrkFileStat& stat) {
  return PutStatAt(LocateDigest(key), digest, stat);
}

bool TrkUploadRecord::PutStatAt(int64_t at, const Digest& digest, const TrkFileStat& stat) {
  Digest value;
  if (!HasLine(at) || !ValueBytes(lines_[at], value) || value != digest) return false;
  SetStat(lines_[at], stat);
  return true;
}

bool TrkUploadRecord::Unchanged(std::string_view key, std::string_view recorded, const TrkFileStat& now) const {
  return UnchangedAt(Locate(key), recorded, now);
}

bool TrkUploadRecord::Unchanged(const Digest& key, std::string_view recorded, const TrkFileStat& now) const {
  return UnchangedAt(LocateDigest(key), recorded, now);
}

bool TrkUploadRecord::UnchangedAt(int64_t at, std::string_view recorded, const TrkFileStat& now) const {
  if (at < 0 || lines_[at].removed || lines_[at].stat == kNoStat) return false;
  const Line& line = lines_[at];
  // Compared again, although the caller found `recorded` on this line: its
  // stat data are kept beside its digest, not beside the caller's.
  Digest wanted, value;
  if (!TrkMD5::BytesOf(recorded, wanted) || !ValueBytes(line, value) || value != wanted) return false;
  const TrkFileStat& kept = stats_[line.stat];
  return kept.SameFile(now) && !kept.Racy();
}

void TrkUploadRecord::AssignStats(std::string_view bytes) {
  trk_stat_file::ForEach(bytes, [this](const trk_stat_file::Entry& entry) {
    const int64_t at = LocateDigest(entry.key);
    Digest value;
    if (!HasLine(at) || !ValueBytes(lines_[at], value) || value != entry.digest) return;
    SetStat(lines_[at], entry.stat);
  });
}

void TrkUploadRecord::WriteStats(TrkOutputBuffer& out) const {
  out.Append(trk_stat_file::kHeader);
  trk_stat_file::Entry entry;
  for (const Line& line : lines_) {
    if (line.removed || line.stat == kNoStat || !line.digest_name || !ValueBytes(line, entry.digest)) continue;
    entry.key = line.key;
    entry.stat = stats_[line.stat];
    trk_stat_file::Append(out, entry);
  }
}

bool TrkUploadRecord::ValueBytes(const Line& line, Digest& out) const {
  if (line.text == kDigestsOnly) {
    out = line.value;
    return true;
  }
  const std::string& text = texts_[line.text];
  const size_t equals = text.find('=');
  return equals != std::string::npos && TrkMD5::BytesOf(std::string_view(text).substr(equals + 1), out);
}

void TrkUploadRecord::SetStat(Line& line, const TrkFileStat& stat) {
  if (line.stat == kNoStat) {
    line.stat = static_cast<uint32_t>(stats_.size());
    stats_.push_back(stat);
    ++stat_count_;
  }
  stats_[line.stat] = stat;
}

void TrkUploadRecord::DropStat(Line& line) {
  if (line.stat == kNoStat) return;
  line.stat = kNoStat;
  --stat_count_;
}

void TrkUploadRecord::SetDigests(Line& line, const Digest& key, const Digest& value) {
  // Stat data stay only beside the digest they were kept with.
  if (line.text != kDigestsOnly || line.value != value) DropStat(line);
  // A line that had a text keeps its slot, emptied: positions of the others stay.
  if (line.text != kDigestsOnly) std::string().swap(texts_[line.text]);
  Line compact;
  compact.key = key;
  compact.value = value;
  compact.digest_name = true;
  compact.stat = line.stat;
  line = compact;
}

void TrkUploadRecord::SetLine(Line& line, std::string_view name, std::string_view value, bool has_equals) {
  Digest key, digest;
  // Upper case alone: only a text that TrkMD5::AppendHex gives back exactly is compact.
  if (has_equals && TrkMD5::BytesOf(name, key, true) && TrkMD5::BytesOf(value, digest, true)) {
    return SetDigests(line, key, digest);
  }
  std::string text(name);
  if (has_equals) text.append("=").append(value);
  if (line.text == kDigestsOnly || texts_[line.text] != text) DropStat(line);
  line.removed = false;
  line.digest_name = has_equals && TrkMD5::BytesOf(name.substr(0, name.find('=')), line.key);
  if (line.text == kDigestsOnly) {
    line.text = static_cast<uint32_t>(texts_.size());
    texts_.push_back(std::move(text));
  } else {
    texts_[line.text] = std::move(text);
  }
}

int64_t TrkUploadRecord::LocateDigest(const Digest& key) const {
  if (digest_slots_.empty()) return -1;
  return static_cast<int64_t>(digest_slots_[DigestSlot(key)]) - 1;
}

int64_t TrkUploadRecord::Locate(std::string_view name) const {
  Digest digest;
  if (TrkMD5::BytesOf(name, digest)) return LocateDigest(digest);
  auto found = name_index_.find(TrkUpperAscii(name));
  return found == name_index_.end() ? -1 : static_cast<int64_t>(found->second);
}

size_t TrkUploadRecord::DigestSlot(const Digest& digest) const {
  const size_t mask = digest_slots_.size() - 1;
  for (size_t slot = Hash(digest) & mask;; slot = (slot + 1) & mask) {
    const uint32_t entry = digest_slots_[slot];
    if (entry == 0 || SameDigest(lines_[entry - 1].key, digest)) return slot;
  }
}

void TrkUploadRecord::IndexDigest(uint32_t at, const Digest& digest) {
  if (digest_slots_.empty()) digest_slots_.resize(16);
  const size_t slot = DigestSlot(digest);
  if (digest_slots_[slot] != 0) return;  // an earlier line has the name
  IndexedDigest(slot, at);
}

void TrkUploadRecord::IndexedDigest(size_t slot, uint32_t at) {
  digest_slots_[slot] = at + 1;
  if (++digest_names_ * 2 <= digest_slots_.size()) return;
  std::vector<uint32_t> old(digest_slots_.size() * 2, 0);
  old.swap(digest_slots_);
  const size_t mask = digest_slots_.size() - 1;
  for (uint32_t moved : old) {
    if (moved == 0) continue;
    // Names in the table differ: the first free slot is the one, no key compared.
    size_t to = Hash(lines_[moved - 1].key) & mask;
    while (digest_slots_[to] != 0) to = (to + 1) & mask;
    digest_slots_[to] = moved;
  }
}

void TrkUploadRecord::IndexName(uint32_t at, std::string_view name) {
  name_index_.emplace(TrkUpperAscii(name), at);  // keeps an earlier line of the name
}

void TrkUploadRecord::AppendLine(const Line& line, std::string& out) const {
  if (line.text != kDigestsOnly) {
    out += texts_[line.text];
    return;
  }
  TrkMD5::AppendHex(line.key.data(), out);
  out += '=';
  TrkMD5::AppendHex(line.value.data(), out);
}

std::vector<std::string> TrkUploadRecord::Lines() const {
  std::vector<std::string> lines;
  lines.reserve(lines_.size());
  for (const Line& line : lines_) {
    if (!line.removed) AppendLine(line, lines.emplace_back());
  }
  return lines;
}

void TrkUploadRecord::Write(TrkOutputBuffer& out) const {
  for (const Line& line : lines_) {
    if (line.removed) continue;
    AppendLine(line, out.Text());
    out.Text() += "\r\n";
    out.Gathered();
  }
}

std::string TrkUploadRecord::Text() const {
  return TrkOutputBuffer::Collect([this](TrkOutputBuffer& out) { Write(out); });
}
