#include "sync/local_note.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "project/error.h"
#include "project/whole_file.h"

TrkLocalNote::TrkLocalNote(const std::string& prefix, std::string_view text) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  std::string path = folder + "/" + prefix + "-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) throw TrkError("Cannot create a file to store in " + folder);
  const bool written = WriteFully(fd, text);
  close(fd);
  path_ = path;
  if (!written) throw TrkError("Cannot write the file to store " + path_);
}

TrkLocalNote::~TrkLocalNote() { std::remove(path_.c_str()); }
