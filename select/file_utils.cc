#include "select/file_utils.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "project/error.h"
#include "project/whole_file.h"

namespace {

std::string CannotOpen(const std::string& path, int error) {
  return "Cannot open file \"" + path + "\". " + strerror(error);
}

void CreateParentFolders(const std::string& path) {
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  std::error_code ignored;  // the open that follows reports what matters
  if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
}

// Whole-file replacement is the shared atomic one; what this adds are the
// messages a whole-file write has always given for a target it cannot open.
void ReplaceWhole(const std::string& path, std::string_view data) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) throw TrkError(CannotOpen(path, EISDIR));
    if (access(path.c_str(), W_OK) != 0) throw TrkError(CannotOpen(path, errno));
  }
  try {
    ReplaceFile(path, data);
  } catch (const TrkError& error) {
    const std::string_view message = error.what();
    if (message.starts_with("Cannot create file") || message.starts_with("Cannot open file")) throw;
    throw TrkError("Stream write error");
  }
}

}  // namespace

void TrkFileUtils::WriteAll(const std::string& path, std::string_view data, int element_size, bool append) {
  (void)element_size;  // `data` already holds whole elements as bytes
  CreateParentFolders(path);
  if (!append) {
    ReplaceWhole(path, data);
    return;
  }
  AppendToFile(path, data);
}

namespace {

// A time as a DOS date-time number, or -1 outside the years 1980 to 2107.
int32_t PackDosTime(const struct tm& t) {
  int year = t.tm_year + 1900;
  if (year < 1980 || year > 2107) return -1;
  uint32_t date = (static_cast<uint32_t>(year - 1980) << 9) | (static_cast<uint32_t>(t.tm_mon + 1) << 5) |
                  static_cast<uint32_t>(t.tm_mday);
  uint32_t time = (static_cast<uint32_t>(t.tm_hour) << 11) | (static_cast<uint32_t>(t.tm_min) << 5) |
                  static_cast<uint32_t>(t.tm_sec / 2);
  // Years from 2044 on set the top bit: the number is then negative, but never -1.
  return static_cast<int32_t>((date << 16) | time);
}

// The creation (birth) time where the file system keeps one, else the last write.
bool FileTime(const std::string& path, bool creation, time_t* out) {
#ifdef STATX_BTIME
  struct statx info;
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &info) != 0) return false;
  bool has_birth = creation && (info.stx_mask & STATX_BTIME) != 0;
  *out = static_cast<time_t>(has_birth ? info.stx_btime.tv_sec : info.stx_mtime.tv_sec);
  return true;
#else
  (void)creation;
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  *out = info.st_mtime;
  return true;
#endif
}

}  // namespace

int32_t TrkFileUtils::FileDate(const std::string& path, bool creation, bool utc) {
  time_t seconds = 0;
  if (path.empty() || !FileTime(path, creation, &seconds)) return -1;
  struct tm parts;
  if ((utc ? gmtime_r(&seconds, &parts) : localtime_r(&seconds, &parts)) == nullptr) return -1;
  return PackDosTime(parts);
}
