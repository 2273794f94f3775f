#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "record/file_stat.h"

// Stats files through an open handle of their folder, held from one file to
// the next: a worker takes its files a folder at a time, and a name looked up
// in an open folder costs one step of the kernel's path walk, where the whole
// path costs one step per folder of it. The handle is kept while the files
// are of its folder; a folder renamed meanwhile is still the one statted,
// which is no worse than a file renamed just after its stat.
//
// One per thread; not thread-safe.
class TrkFolderHandle {
 public:
  TrkFolderHandle() = default;
  ~TrkFolderHandle();
  TrkFolderHandle(const TrkFolderHandle&) = delete;
  TrkFolderHandle& operator=(const TrkFolderHandle&) = delete;

  // What TrkFileStat::Of(path) tells, by the path's name in its held folder.
  std::optional<TrkFileStat> Stat(const std::string& path);

 private:
  // Holds `folder` (ending in its separator); false when it cannot be opened.
  bool Hold(std::string_view folder);

  std::string folder_;  // the held folder's text
  int fd_ = -1;         // owned; -1 when none is held
};
