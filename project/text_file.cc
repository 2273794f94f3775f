#include "project/text_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "project/error.h"

namespace {

std::string SystemError(int error) { return strerror(error); }

// Writes all of `data` to `fd`; false on any error.
bool WriteFully(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

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

// Writes over a file in place. Used for devices and FIFOs (a log sent to
// /dev/null), where renaming a file over one would replace the node itself, and
// for files in folders we may not create in. Never waits for a FIFO's reader.
void OverwriteInPlace(const std::string& name, const std::string& target, std::string_view data) {
  int fd = open(target.c_str(), O_WRONLY | O_TRUNC | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw TrkError("Cannot open file \"" + name + "\". " + SystemError(errno));
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  bool ok = WriteFully(fd, data);
  int error = errno;
  close(fd);
  if (!ok) throw TrkError("Cannot write file \"" + name + "\". " + SystemError(error));
}

}  // namespace

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.emplace_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  size_t size = 0;
  for (const auto& line : lines) size += line.size() + 2;
  std::string text;
  text.reserve(size);
  for (const auto& line : lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

std::string EscapeControlChars(std::string_view text) {
  std::string out;
  AppendEscaped(out, text);
  return out;
}

void AppendEscaped(std::string& out, std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  auto is_plain = [](char c) { return static_cast<unsigned char>(c) >= 0x20 && c != 0x7f; };
  // Names almost never hold a control character: copy runs of plain bytes whole.
  while (!text.empty()) {
    size_t run = 0;
    while (run < text.size() && is_plain(text[run])) ++run;
    out.append(text.substr(0, run));
    if (run == text.size()) return;
    const char c = text[run];
    text.remove_prefix(run + 1);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
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

void ReplaceFile(const std::string& path, std::string_view data, mode_t new_file_mode) {
  const std::string target = FinalTarget(path);
  std::error_code ignored;
  std::filesystem::path parent = std::filesystem::path(target).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ignored);

  // A file that exists keeps its permission bits; a new one gets the caller's.
  mode_t mode = new_file_mode;
  bool existing_file = false;
  struct stat existing;
  if (stat(target.c_str(), &existing) == 0) {
    if (!S_ISREG(existing.st_mode) && !S_ISDIR(existing.st_mode)) return OverwriteInPlace(path, target, data);
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
    return OverwriteInPlace(path, target, data);
  }
  if (fd < 0) throw TrkError("Cannot create file \"" + path + "\". " + SystemError(errno));
  // The umask applied to the open above; an existing file's bits must survive whole.
  bool ok = (!existing_file || fchmod(fd, mode) == 0) && WriteFully(fd, data) && fsync(fd) == 0;
  int error = errno;
  ok = (close(fd) == 0) && ok;
  if (ok && rename(temp.c_str(), target.c_str()) == 0) return;
  if (ok) error = errno;
  unlink(temp.c_str());
  throw TrkError("Cannot write file \"" + path + "\". " + SystemError(error));
}
