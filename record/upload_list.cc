#include "record/upload_list.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "project/error.h"
#include "project/output_buffer.h"
#include "project/text_file.h"

void TrkUploadList::Clear() {
  if (spill_fd_ >= 0) close(spill_fd_);
  spill_fd_ = -1;
  spilled_ = 0;
  spill_when_ = spill_at_;
  std::string().swap(text_);
}

void TrkUploadList::Start(const std::string& folder) {
  Clear();
  // Linked nowhere, so that no crash can leave it behind; a file system
  // without unnamed files keeps the list in memory as before.
  spill_fd_ = open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

void TrkUploadList::Append(std::string_view path) {
  AppendEscaped(text_, path);
  text_ += "\r\n";
  if (spill_fd_ >= 0 && text_.size() >= spill_when_) Spill();
}

void TrkUploadList::Spill() {
  // Written at its offset, so that a write cut short is simply written again.
  std::string_view rest = text_;
  uint64_t at = spilled_;
  while (!rest.empty()) {
    const ssize_t n = pwrite(spill_fd_, rest.data(), rest.size(), static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A full disk: the text waits in memory, tried again once it has doubled
      // rather than at every path.
      spill_when_ = text_.size() * 2;
      return;
    }
    rest.remove_prefix(static_cast<size_t>(n));
    at += static_cast<uint64_t>(n);
  }
  spilled_ = at;
  text_.clear();
  spill_when_ = spill_at_;
}

void TrkUploadList::Write(TrkOutputBuffer& out) const {
  std::string piece;
  for (uint64_t at = 0; at < spilled_;) {
    piece.resize(static_cast<size_t>(std::min<uint64_t>(spilled_ - at, spill_at_)));
    const ssize_t n = pread(spill_fd_, piece.data(), piece.size(), static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      throw TrkError("Cannot read the upload list kept aside. " + std::string(n < 0 ? strerror(errno) : "It ended early."));
    }
    out.AppendHeld(std::string_view(piece.data(), static_cast<size_t>(n)));
    at += static_cast<uint64_t>(n);
  }
  out.AppendHeld(text_);
}

std::vector<std::string> TrkUploadList::Lines() const {
  return SplitLines(TrkOutputBuffer::Collect([this](TrkOutputBuffer& out) { Write(out); }));
}
