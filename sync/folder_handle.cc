#include "sync/folder_handle.h"

#include <fcntl.h>
#include <unistd.h>

#ifndef O_PATH
#define O_PATH O_RDONLY  // a handle that can be read serves as well
#endif

TrkFolderHandle::~TrkFolderHandle() {
  if (fd_ >= 0) close(fd_);
}

std::optional<TrkFileStat> TrkFolderHandle::Stat(const std::string& path) {
  const size_t separator = path.rfind('/');
  if (separator == std::string::npos || separator + 1 == path.size() ||
      !Hold(std::string_view(path).substr(0, separator + 1))) {
    return TrkFileStat::Of(path);
  }
  return TrkFileStat::At(fd_, path.c_str() + separator + 1);
}

bool TrkFolderHandle::Hold(std::string_view folder) {
  if (fd_ >= 0 && folder == folder_) return true;
  if (fd_ >= 0) close(fd_);
  folder_.assign(folder);
  fd_ = open(folder_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  return fd_ >= 0;
}
