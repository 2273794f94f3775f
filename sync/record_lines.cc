#include "sync/record_lines.h"

#include <cstring>

#include "project/ascii.h"
#include "project/text_file.h"

namespace {

constexpr size_t kDigestDigits = 32;

// Digit values by byte: 0-15 for upper-case digits, 16-31 (value + 16) for
// lower-case ones, 255 for anything else. A table, not comparisons: the digits
// of a digest are random, so branches on them are mispredicted half the time.
constexpr std::array<uint8_t, 256> kDigitValues = [] {
  std::array<uint8_t, 256> values{};
  values.fill(255);
  for (int i = 0; i < 10; ++i) values['0' + i] = static_cast<uint8_t>(i);
  for (int i = 0; i < 6; ++i) {
    values['A' + i] = static_cast<uint8_t>(10 + i);
    values['a' + i] = static_cast<uint8_t>(26 + i);
  }
  return values;
}();

// Decodes 32 hexadecimal digits. With `upper_only` a lower-case digit fails it,
// so that only a text that AppendHex gives back exactly is taken.
bool DecodeDigest(std::string_view hex, bool upper_only, std::array<uint8_t, 16>& out) {
  if (hex.size() != kDigestDigits) return false;
  const uint8_t limit = upper_only ? 16 : 32;
  for (size_t i = 0; i < 16; ++i) {
    const uint8_t high = kDigitValues[static_cast<uint8_t>(hex[2 * i])];
    const uint8_t low = kDigitValues[static_cast<uint8_t>(hex[2 * i + 1])];
    if (high >= limit || low >= limit) return false;
    out[i] = static_cast<uint8_t>(((high & 15) << 4) | (low & 15));
  }
  return true;
}

void AppendHex(const std::array<uint8_t, 16>& digest, std::string& out) {
  static const char kDigits[] = "0123456789ABCDEF";
  const size_t at = out.size();
  out.resize(at + kDigestDigits);
  char* hex = out.data() + at;
  for (uint8_t byte : digest) {
    *hex++ = kDigits[byte >> 4];
    *hex++ = kDigits[byte & 15];
  }
}

}  // namespace

size_t TrkUploadRecord::DigestHash::operator()(const Digest& digest) const noexcept {
  uint64_t low, high;
  std::memcpy(&low, digest.data(), 8);
  std::memcpy(&high, digest.data() + 8, 8);
  return static_cast<size_t>(low ^ (high * 0x9E3779B97F4A7C15ull));
}

void TrkUploadRecord::Clear() {
  // Swapped, not cleared, so that a window that runs many projects gives the
  // memory of a large record back.
  std::vector<Line>().swap(lines_);
  std::vector<std::string>().swap(texts_);
  std::unordered_map<Digest, uint32_t, DigestHash>().swap(digest_index_);
  std::unordered_map<std::string, uint32_t>().swap(name_index_);
}

void TrkUploadRecord::Assign(const std::vector<std::string>& lines) {
  Clear();
  lines_.resize(lines.size());
  digest_index_.reserve(lines.size());
  for (size_t at = 0; at < lines.size(); ++at) {
    const std::string& text = lines[at];
    const size_t equals = text.find('=');
    const std::string_view name = std::string_view(text).substr(0, equals);
    SetLine(lines_[at], name, equals == std::string::npos ? std::string_view() : std::string_view(text).substr(equals + 1),
            equals != std::string::npos);
    if (equals != std::string::npos) IndexLine(static_cast<uint32_t>(at), name);
  }
}

std::string TrkUploadRecord::Find(std::string_view key) const {
  const int64_t at = Locate(key);
  if (at < 0) return {};
  const Line& line = lines_[at];
  std::string value;
  if (line.text == kDigestsOnly) {
    AppendHex(line.value, value);
  } else {
    const std::string& text = texts_[line.text];
    value = text.substr(text.find('=') + 1);
  }
  return value;
}

void TrkUploadRecord::Put(std::string_view key, std::string_view value) {
  const auto next = static_cast<uint32_t>(lines_.size());
  Digest digest;
  // One look-up for the usual key: finds its line or indexes the one appended.
  if (DecodeDigest(key, false, digest)) {
    auto [found, added] = digest_index_.try_emplace(digest, next);
    if (!added) return SetLine(lines_[found->second], key, value, true);
  } else {
    const int64_t at = Locate(key);
    if (at >= 0) return SetLine(lines_[at], key, value, true);
    IndexLine(next, key.substr(0, key.find('=')));
  }
  lines_.emplace_back();
  SetLine(lines_.back(), key, value, true);
}

void TrkUploadRecord::SetLine(Line& line, std::string_view name, std::string_view value, bool has_equals) {
  Line compact;
  if (has_equals && DecodeDigest(name, true, compact.key) && DecodeDigest(value, true, compact.value)) {
    // A line that had a text keeps its slot, emptied: positions of the others stay.
    if (line.text != kDigestsOnly) std::string().swap(texts_[line.text]);
    line = compact;
    return;
  }
  std::string text(name);
  if (has_equals) text.append("=").append(value);
  if (line.text == kDigestsOnly) {
    line.text = static_cast<uint32_t>(texts_.size());
    texts_.push_back(std::move(text));
  } else {
    texts_[line.text] = std::move(text);
  }
}

void TrkUploadRecord::IndexLine(uint32_t at, std::string_view name) {
  Digest digest;
  // emplace keeps an earlier line of the same name.
  if (DecodeDigest(name, false, digest)) {
    digest_index_.emplace(digest, at);
  } else {
    name_index_.emplace(TrkUpperAscii(name), at);
  }
}

int64_t TrkUploadRecord::Locate(std::string_view name) const {
  Digest digest;
  if (DecodeDigest(name, false, digest)) {
    auto found = digest_index_.find(digest);
    return found == digest_index_.end() ? -1 : static_cast<int64_t>(found->second);
  }
  auto found = name_index_.find(TrkUpperAscii(name));
  return found == name_index_.end() ? -1 : static_cast<int64_t>(found->second);
}

void TrkUploadRecord::AppendLine(const Line& line, std::string& out) const {
  if (line.text != kDigestsOnly) {
    out += texts_[line.text];
    return;
  }
  AppendHex(line.key, out);
  out += '=';
  AppendHex(line.value, out);
}

std::vector<std::string> TrkUploadRecord::Lines() const {
  std::vector<std::string> lines(lines_.size());
  for (size_t at = 0; at < lines_.size(); ++at) AppendLine(lines_[at], lines[at]);
  return lines;
}

std::string TrkUploadRecord::Text() const {
  size_t size = lines_.size() * (2 * kDigestDigits + 3);
  for (const std::string& text : texts_) size += text.size();
  std::string out;
  out.reserve(size);
  for (const Line& line : lines_) {
    AppendLine(line, out);
    out += "\r\n";
  }
  return out;
}

void TrkUploadList::Clear() { std::string().swap(text_); }

void TrkUploadList::Append(std::string_view path) {
  AppendEscaped(text_, path);
  text_ += "\r\n";
}

std::vector<std::string> TrkUploadList::Lines() const { return SplitLines(text_); }
