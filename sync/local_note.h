#pragma once

#include <string>
#include <string_view>

// A small local file of given text, made to be stored on a server (the
// server check's probe, the server lock's holder file): in $TMPDIR (else
// /tmp), under `prefix` and a unique ending, removed with the object.
// Throws TrkError, naming the folder, when it cannot be written.
class TrkLocalNote {
 public:
  TrkLocalNote(const std::string& prefix, std::string_view text);
  ~TrkLocalNote();
  TrkLocalNote(const TrkLocalNote&) = delete;
  TrkLocalNote& operator=(const TrkLocalNote&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};
