#include "project/whole_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <vector>

#include "project/error.h"

namespace {

std::string SystemError(int error) { return strerror(error); }

// A temporary name beside `path` that no other thread or process of ours uses.
std::string TemporaryName(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

// The file a replacement must land on: the target of a symbolic link rather than
// the link itself, so that saving never turns a link into a plain file.
std::string FinalTarget(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
  std::error_code error;
  std::filesystem::path target = std::filesystem::weakly_canonical(path, error);
  return error ? path : target.string();
}

// Hands `source`'s pieces to `fd`; false once a write failed (errno then says
// why), the pieces after it being dropped.
bool WriteFrom(int fd, const std::function<void(const TrkBytesSink&)>& source) {
  bool ok = true;
  int error = 0;
  source([&](std::string_view piece) {
    if (!ok) return;
    ok = WriteFully(fd, piece);
    error = errno;
  });
  errno = error;
  return ok;
}

// Writes over a file in place. Used for devices and FIFOs (a log sent to
// /dev/null), where renaming a file over one would replace the node itself, and
// for files in folders we may not create in. Never waits for a FIFO's reader.
void OverwriteInPlace(const std::string& name, const std::string& target,
                      const std::function<void(const TrkBytesSink&)>& source) {
  int fd = open(target.c_str(), O_WRONLY | O_TRUNC | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw TrkError("Cannot open file \"" + name + "\". " + SystemError(errno));
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  bool ok = false;
  try {
    ok = WriteFrom(fd, source);
  } catch (...) {
    close(fd);
    throw;
  }
  int error = errno;
  close(fd);
  if (!ok) throw TrkError("Cannot write file \"" + name + "\". " + SystemError(error));
}

std::string CannotOpen(const std::string& path, int error) {
  return "Cannot open file \"" + path + "\". " + SystemError(error);
}

// Closes the descriptor on every way out of a scope.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() { close(fd_); }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;

 private:
  int fd_;
};

// Opens `path` for reading and returns the descriptor with the size to read:
// the file's size for a regular file, 0 for anything else, which is therefore
// never read. Folders are refused as a read of them would: they hold no bytes
// to read. The open never blocks, so a FIFO without a writer cannot hang the
// caller.
int OpenForReading(const std::string& path, size_t* size, struct stat* opened = nullptr) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw TrkError(CannotOpen(path, errno));
  struct stat local;
  struct stat& info = opened != nullptr ? *opened : local;
  int error = fstat(fd, &info) != 0 ? errno : (S_ISDIR(info.st_mode) ? EISDIR : 0);
  if (error != 0) {
    close(fd);
    throw TrkError(CannotOpen(path, error));
  }
  *size = S_ISREG(info.st_mode) ? static_cast<size_t>(info.st_size) : 0;
  return fd;
}

// Reads exactly `count` bytes into `out`; a file that ends early or fails is a
// stream error.
void ReadExactly(int fd, char* out, size_t count) {
  while (count > 0) {
    ssize_t n = read(fd, out, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw TrkError("Stream read error");
    out += n;
    count -= static_cast<size_t>(n);
  }
}

}  // namespace

bool WriteFully(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}


std::string ReadFileBytes(const std::string& path) {
  // Opening a FIFO without a writer would wait for one; never wait, then look.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw TrkError("Cannot open file \"" + path + "\". " + SystemError(errno));
  struct stat info;
  std::string why;
  if (fstat(fd, &info) != 0) {
    why = SystemError(errno);
  } else if (!S_ISREG(info.st_mode)) {
    why = S_ISDIR(info.st_mode) ? SystemError(EISDIR) : "Not a regular file";
  }
  if (!why.empty()) {
    close(fd);
    throw TrkError("Cannot read file \"" + path + "\". " + why);
  }
  std::string data;
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      close(fd);
      throw TrkError("Cannot read file \"" + path + "\". " + SystemError(error));
    }
    if (n == 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return data;
}


std::string ReadFileContent(const std::string& path) {
  size_t size = 0;
  int fd = OpenForReading(path, &size);
  FdCloser closer(fd);
  std::string data(size, '\0');
  ReadExactly(fd, data.data(), size);
  return data;
}

void ReadFilePieces(const std::string& path, const std::function<void(std::string_view)>& consume,
                    size_t piece_size, const TrkReadEnds& at_ends) {
  if (piece_size == 0) piece_size = 1;
  size_t size = 0;
  struct stat info;
  int fd = OpenForReading(path, &size, &info);
  FdCloser closer(fd);
  if (at_ends) at_ends(info);
  // The size at opening decides what is read, as with ReadFileContent, so both
  // see the same bytes of a file that grows meanwhile. One buffer per thread,
  // kept from file to file: a buffer per file is new memory for every file,
  // and each of its pages a fault on first touch. A read nested in `consume`
  // gets one of its own.
  thread_local std::vector<char> kept;
  thread_local bool kept_in_use = false;
  std::vector<char> nested;
  std::vector<char>& piece = kept_in_use ? nested : kept;
  struct InUse {
    bool& flag;
    const bool was;
    ~InUse() { flag = was; }
  } in_use{kept_in_use, kept_in_use};
  kept_in_use = true;
  const size_t wanted = std::min(piece_size, size);
  if (piece.size() < wanted) piece.resize(wanted);
  while (size > 0) {
    const size_t count = std::min(wanted, size);
    ReadExactly(fd, piece.data(), count);
    consume(std::string_view(piece.data(), count));
    size -= count;
  }
  if (at_ends && fstat(fd, &info) == 0) at_ends(info);
}

void CheckFileReadable(const std::string& path) {
  size_t size = 0;
  close(OpenForReading(path, &size));
}

void ReplaceFile(const std::string& path, std::string_view data, mode_t new_file_mode, TrkFlush flush) {
  ReplaceFileFrom(path, [data](const TrkBytesSink& sink) { sink(data); }, new_file_mode, flush);
}

void ReplaceFileFrom(const std::string& path, const std::function<void(const TrkBytesSink& sink)>& source,
                     mode_t new_file_mode, TrkFlush flush) {
  const std::string target = FinalTarget(path);
  std::error_code ignored;
  std::filesystem::path parent = std::filesystem::path(target).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ignored);

  // A file that exists keeps its permission bits; a new one gets the caller's.
  mode_t mode = new_file_mode;
  bool existing_file = false;
  struct stat existing;
  if (stat(target.c_str(), &existing) == 0) {
    if (!S_ISREG(existing.st_mode) && !S_ISDIR(existing.st_mode)) return OverwriteInPlace(path, target, source);
    mode = existing.st_mode & 07777;
    existing_file = S_ISREG(existing.st_mode);
    // Renaming would also replace a file marked read-only; refuse as a write would.
    if (existing_file && access(target.c_str(), W_OK) != 0) {
      throw TrkError("Cannot create file \"" + path + "\". " + SystemError(errno));
    }
  }

  std::string temp = TemporaryName(target);
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0 && (errno == EACCES || errno == EPERM) && existing_file) {
    // A folder that we may not create in (a log in /var/log) can still hold a
    // file that we may write: write it in place rather than refuse it.
    return OverwriteInPlace(path, target, source);
  }
  if (fd < 0) throw TrkError("Cannot create file \"" + path + "\". " + SystemError(errno));
  bool ok = false;
  try {
    // The umask applied to the open above; an existing file's bits must survive whole.
    ok = (!existing_file || fchmod(fd, mode) == 0) && WriteFrom(fd, source) &&
         (flush == TrkFlush::kLeaveToSystem || fsync(fd) == 0);
  } catch (...) {
    close(fd);
    unlink(temp.c_str());
    throw;
  }
  int error = errno;
  ok = (close(fd) == 0) && ok;
  if (ok && rename(temp.c_str(), target.c_str()) == 0) return;
  if (ok) error = errno;
  unlink(temp.c_str());
  throw TrkError("Cannot write file \"" + path + "\". " + SystemError(error));
}

void AppendToFile(const std::string& path, std::string_view data) {
  for (;;) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
      fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      // Someone created it between the two calls: open it as an existing file.
      if (fd < 0 && errno == EEXIST) continue;
      if (fd < 0) throw TrkError("Cannot create file \"" + path + "\". " + SystemError(errno));
    }
    if (fd < 0) throw TrkError(CannotOpen(path, errno));
    FdCloser closer(fd);
    if (!WriteFully(fd, data)) throw TrkError("Stream write error");
    return;
  }
}
