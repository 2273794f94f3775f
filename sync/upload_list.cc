#include "sync/upload_list.h"

#include "project/text_file.h"

void TrkUploadList::Clear() { std::string().swap(text_); }

void TrkUploadList::Append(std::string_view path) {
  // Grown by half, not doubled: the list of a large run is its largest text.
  if (text_.capacity() - text_.size() < path.size() + 2) text_.reserve(text_.size() + text_.size() / 2 + path.size() + 2);
  AppendEscaped(text_, path);
  text_ += "\r\n";
}

std::vector<std::string> TrkUploadList::Lines() const { return SplitLines(text_); }
