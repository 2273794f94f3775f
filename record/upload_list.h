#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TrkOutputBuffer;

// The full local paths recorded during the current run, in the order recorded,
// kept as the upload list file's text. Duplicates are kept. Control characters
// of a path are escaped, so that every path is one line.
//
// A run over a million files records a million paths, its largest text: once
// Start has given it a folder, the list keeps all but its last kSpillAt bytes
// in an unnamed file there, gone when the list is cleared or the process ends
// however it ends. Where no such file can be made, or written, the text stays
// in memory. Not thread-safe; see TrkUploadStore.
class TrkUploadList {
 public:
  static constexpr size_t kSpillAt = 256 * 1024;

  explicit TrkUploadList(size_t spill_at = kSpillAt) : spill_at_(spill_at), spill_when_(spill_at) {}
  ~TrkUploadList() { Clear(); }
  TrkUploadList(const TrkUploadList&) = delete;
  TrkUploadList& operator=(const TrkUploadList&) = delete;

  // An empty list that keeps its text in memory.
  void Clear();
  // An empty list that keeps its text in an unnamed file in `folder` when it can.
  void Start(const std::string& folder);
  void Append(std::string_view path);
  std::vector<std::string> Lines() const;
  // Hands the file's text to `out`: every path followed by CR LF. Throws
  // TrkError when the part kept in the file cannot be read back.
  void Write(TrkOutputBuffer& out) const;

 private:
  // Moves text_ to the file; keeps it when the write fails (tried again later).
  void Spill();

  const size_t spill_at_;
  size_t spill_when_;    // the size of text_ at which Spill is tried next
  int spill_fd_ = -1;    // the unnamed file, or -1
  uint64_t spilled_ = 0;  // bytes of the text in it, before text_
  std::string text_;      // the text after the spilled part
};
