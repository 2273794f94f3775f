#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <string_view>

// A folder of this fuzzer process for the files it has the program read, under
// $TMPDIR (scripts/fuzz points that at a folder of its own, removed afterwards).
inline const std::string& FuzzFolder() {
  static const std::string folder = [] {
    const char* tmp = getenv("TMPDIR");
    std::string name = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/dropvan-fuzz-XXXXXX";
    if (mkdtemp(name.data()) == nullptr) abort();
    return name;
  }();
  return folder;
}

// Writes `data` as the whole content of `path`, plainly (no temporary file, no
// flush to disk): the program's own writing is not what is fuzzed here.
inline void FuzzWriteFile(const std::string& path, std::string_view data) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) abort();
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n <= 0) abort();
    data.remove_prefix(static_cast<size_t>(n));
  }
  close(fd);
}

// A file that lives in memory only, rewritten for every input, so that reading
// inputs back through the program's own file code costs no disk write. Its
// name is /proc/self/fd/N; Link gives it another name (one the program takes
// for a project file, say) through a symbolic link in FuzzFolder().
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

  // The name FuzzFolder()/`file_name` for this file.
  std::string Link(const std::string& file_name) const {
    std::string name = FuzzFolder() + "/" + file_name;
    if (symlink(path_.c_str(), name.c_str()) != 0) abort();
    return name;
  }

 private:
  int fd_;
  std::string path_;
};
