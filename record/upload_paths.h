#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class TrkOutputBuffer;

// Where each recorded file came from and went: for a record key (the digest of
// the file's local path), the local path and the remote path it was uploaded
// to. The record holds digests alone; this is what lets a later run find the
// server's copy of a file that was removed locally.
//
// Its file sits beside the record, one line per entry: the key, a tab, the
// local path, a tab, the remote path, with "%", tab, CR and LF percent-escaped.
// It is saved with the record and says nothing the record does not: an entry
// counts only while the record has a line for its key, so a crash between the
// two saves can make a file forgotten here, never one remembered that the
// record lost. A missing or damaged file only makes files unknown here until
// they are next recorded.
//
// Not thread-safe; see TrkUploadStore for who guards it.
class TrkUploadPaths {
 public:
  struct Entry {
    std::string key, local, remote;
  };

  void Clear() { std::unordered_map<std::string, std::string>().swap(lines_); }
  // Reads a file's text; lines that do not parse are dropped.
  void Assign(std::string_view text);
  // Sets `key`'s entry (letter case of the key does not matter).
  void Put(std::string_view key, std::string_view local, std::string_view remote);
  void Remove(std::string_view key);
  // Removes every entry whose key `keep` refuses, without unescaping a path.
  void KeepOnly(const std::function<bool(std::string_view key)>& keep);
  size_t Count() const { return lines_.size(); }
  // `key`'s entry (letter case of the key does not matter), if it has one.
  std::optional<Entry> Find(std::string_view key) const;
  // Every entry, in no particular order.
  std::vector<Entry> Entries() const;
  // Hands the file's text to `out`: every entry's line followed by LF.
  void Write(TrkOutputBuffer& out) const;

 private:
  // The entry of an upper-case `key` and its `line`; none for a damaged line.
  static std::optional<Entry> EntryOf(const std::string& key, std::string_view line);

  // Upper-case key -> the rest of its line as written (escaped local, tab,
  // escaped remote): a large site's entries are kept as one text each.
  std::unordered_map<std::string, std::string> lines_;
};
