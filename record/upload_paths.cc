#include "record/upload_paths.h"

#include "project/ascii.h"
#include "project/output_buffer.h"
#include "project/percent_encoding.h"

namespace {

// A path holding a tab or a line break must stay one field of one line.
constexpr TrkPercentEncoding kPathEncoding = TrkPercentEncoding::Of("\t\r\n");

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
  kPathEncoding.Append(line, local);
  line += '\t';
  kPathEncoding.Append(line, remote);
}

void TrkUploadPaths::Remove(std::string_view key) { lines_.erase(TrkUpperAscii(key)); }

void TrkUploadPaths::KeepOnly(const std::function<bool(std::string_view key)>& keep) {
  std::erase_if(lines_, [&keep](const auto& entry) { return !keep(entry.first); });
}

std::optional<TrkUploadPaths::Entry> TrkUploadPaths::EntryOf(const std::string& key, std::string_view line) {
  const size_t tab = line.find('\t');
  Entry entry{key, {}, {}};
  if (!TrkPercentEncoding::Decode(line.substr(0, tab), entry.local) ||
      !TrkPercentEncoding::Decode(line.substr(tab + 1), entry.remote)) {
    return std::nullopt;
  }
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
