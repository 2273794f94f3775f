#include "sync/upload_paths.h"

#include "project/ascii.h"
#include "project/output_buffer.h"

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

// A path holding a tab or a line break must stay one field of one line.
void AppendEscaped(std::string& out, std::string_view path) {
  for (char c : path) {
    if (c != '%' && c != '\t' && c != '\r' && c != '\n') {
      out += c;
      continue;
    }
    out += '%';
    out += kHex[static_cast<unsigned char>(c) >> 4];
    out += kHex[static_cast<unsigned char>(c) & 15];
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// False for a text that AppendEscaped could not have written.
bool Unescape(std::string_view field, std::string& out) {
  out.clear();
  for (size_t at = 0; at < field.size(); ++at) {
    if (field[at] != '%') {
      out += field[at];
      continue;
    }
    if (at + 2 >= field.size()) return false;
    const int high = HexValue(field[at + 1]), low = HexValue(field[at + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    at += 2;
  }
  return true;
}

}  // namespace

void TrkUploadPaths::Assign(std::string_view text) {
  Clear();
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const size_t tab = line.find('\t');
    if (tab == std::string_view::npos || line.find('\t', tab + 1) == std::string_view::npos) continue;
    lines_[TrkUpperAscii(line.substr(0, tab))] = std::string(line.substr(tab + 1));
  }
}

void TrkUploadPaths::Put(std::string_view key, std::string_view local, std::string_view remote) {
  std::string& line = lines_[TrkUpperAscii(key)];
  line.clear();
  AppendEscaped(line, local);
  line += '\t';
  AppendEscaped(line, remote);
}

void TrkUploadPaths::Remove(std::string_view key) { lines_.erase(TrkUpperAscii(key)); }

void TrkUploadPaths::KeepOnly(const std::function<bool(std::string_view key)>& keep) {
  std::erase_if(lines_, [&keep](const auto& entry) { return !keep(entry.first); });
}

std::optional<TrkUploadPaths::Entry> TrkUploadPaths::EntryOf(const std::string& key, std::string_view line) {
  const size_t tab = line.find('\t');
  Entry entry{key, {}, {}};
  if (!Unescape(line.substr(0, tab), entry.local) || !Unescape(line.substr(tab + 1), entry.remote)) return std::nullopt;
  return entry;
}

std::optional<TrkUploadPaths::Entry> TrkUploadPaths::Find(std::string_view key) const {
  const std::string upper = TrkUpperAscii(key);
  const auto found = lines_.find(upper);
  return found == lines_.end() ? std::nullopt : EntryOf(upper, found->second);
}

std::vector<TrkUploadPaths::Entry> TrkUploadPaths::Entries() const {
  std::vector<Entry> entries;
  entries.reserve(lines_.size());
  for (const auto& [key, line] : lines_) {
    if (std::optional<Entry> entry = EntryOf(key, line)) entries.push_back(std::move(*entry));
  }
  return entries;
}

void TrkUploadPaths::Write(TrkOutputBuffer& out) const {
  for (const auto& [key, line] : lines_) {
    out.Text().append(key).append("\t").append(line).append("\n");
    out.Gathered();
  }
}
