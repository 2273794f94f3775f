#pragma once

#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <string_view>

// A file that lives in memory only, rewritten for every input, so that reading
// inputs back through the program's own file code costs no disk write. Its
// name is /proc/self/fd/N; Link gives it another name (one the program takes
// for a project file, say) through a symbolic link in a folder of this process
// under $TMPDIR (scripts/fuzz points that at its own temporary folder).
class FuzzMemoryFile {
 public:
  FuzzMemoryFile() : fd_(memfd_create("dropvan-fuzz", MFD_CLOEXEC)) {
    if (fd_ < 0) abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }

  const std::string& Path() const { return path_; }

  void Write(std::string_view data) const {
    if (ftruncate(fd_, 0) != 0) abort();
    if (!data.empty() && pwrite(fd_, data.data(), data.size(), 0) != static_cast<ssize_t>(data.size())) abort();
  }

  // A name `file_name` for this file, in a folder of this process.
  std::string Link(const std::string& file_name) const {
    const char* tmp = getenv("TMPDIR");
    std::string folder = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/dropvan-fuzz-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) abort();
    std::string name = folder + "/" + file_name;
    if (symlink(path_.c_str(), name.c_str()) != 0) abort();
    return name;
  }

 private:
  int fd_;
  std::string path_;
};
