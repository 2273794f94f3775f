#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "project/whole_file.h"

// Bytes on their way to a sink (ReplaceFileFrom), gathered in any sizes and
// handed on a piece of about kPiece bytes at a time, so that a file the size
// of a large record is written without its whole text ever being built.
// Whatever is left is handed on at Flush, never by the destructor: a writer
// that fails part way hands on nothing more.
class TrkOutputBuffer {
 public:
  static constexpr size_t kPiece = 256 * 1024;

  explicit TrkOutputBuffer(TrkBytesSink sink) : sink_(std::move(sink)) {}
  TrkOutputBuffer(const TrkOutputBuffer&) = delete;
  TrkOutputBuffer& operator=(const TrkOutputBuffer&) = delete;

  void Append(std::string_view bytes) {
    text_.append(bytes);
    Gathered();
  }
  // Append for bytes held whole already: handed on as they are, uncopied.
  void AppendHeld(std::string_view bytes) {
    Flush();
    if (!bytes.empty()) sink_(bytes);
  }
  // The bytes gathered so far, for writers that append to a string
  // themselves; they call Gathered when done.
  std::string& Text() { return text_; }
  void Gathered() {
    if (text_.size() >= kPiece) Flush();
  }
  void Flush() {
    if (!text_.empty()) sink_(text_);
    text_.clear();
  }

  // Everything `write` hands a buffer, as one text: for callers that want it
  // whole (small files, tests).
  static std::string Collect(const std::function<void(TrkOutputBuffer& out)>& write) {
    std::string text;
    TrkOutputBuffer out([&text](std::string_view piece) { text += piece; });
    write(out);
    out.Flush();
    return text;
  }

 private:
  const TrkBytesSink sink_;
  std::string text_;
};
