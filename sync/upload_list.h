#pragma once

#include <string>
#include <string_view>
#include <vector>

// The full local paths recorded during the current run, in the order recorded,
// kept as the upload list file's text. Duplicates are kept. Control characters
// of a path are escaped, so that every path is one line. Not thread-safe; see
// TrkUploadStore.
class TrkUploadList {
 public:
  void Clear();
  void Append(std::string_view path);
  std::vector<std::string> Lines() const;
  // Every path followed by CR LF.
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};
