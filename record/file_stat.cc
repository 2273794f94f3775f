#include "record/file_stat.h"

#include <sys/stat.h>
#include <fcntl.h>
#include <time.h>

namespace {

int64_t Nanoseconds(const struct timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

int64_t WallClockNs() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return Nanoseconds(now);
}

std::optional<TrkFileStat> FromInfo(int result, const struct stat& info, int64_t taken_ns) {
  if (result != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  TrkFileStat stat_data;
  stat_data.taken_ns = taken_ns;
  stat_data.size = static_cast<int64_t>(info.st_size);
  stat_data.mtime_ns = Nanoseconds(info.st_mtim);
  stat_data.ctime_ns = Nanoseconds(info.st_ctim);
  stat_data.inode = static_cast<uint64_t>(info.st_ino);
  stat_data.device = static_cast<uint64_t>(info.st_dev);
  return stat_data;
}

}  // namespace

std::optional<TrkFileStat> TrkFileStat::Of(const std::string& path) {
  // Before the stat: a write after the stat is then stamped no earlier than
  // this moment less the clock's tick, which Racy allows for.
  const int64_t taken_ns = WallClockNs();
  struct stat info;
  const int result = stat(path.c_str(), &info);
  return FromInfo(result, info, taken_ns);
}

std::optional<TrkFileStat> TrkFileStat::At(int folder_fd, const char* name) {
  const int64_t taken_ns = WallClockNs();  // as in Of
  struct stat info;
  const int result = fstatat(folder_fd, name, &info, 0);
  return FromInfo(result, info, taken_ns);
}

// Before the open: a write after the open's stat is then stamped no earlier
// than this moment less the clock's tick, which Racy allows for.
TrkFileStatWatch::TrkFileStatWatch() : taken_ns_(WallClockNs()) {}

void TrkFileStatWatch::Seen(const struct stat& info) {
  (seen_++ == 0 ? first_ : last_) = FromInfo(0, info, taken_ns_);
}

std::optional<TrkFileStat> TrkFileStatWatch::Result() const {
  if (seen_ != 2 || !first_ || !last_ || !first_->SameFile(*last_)) return std::nullopt;
  return first_;
}

std::optional<TrkFileStat> TrkFileStat::Around(const std::string& path, const std::function<void()>& read) {
  const std::optional<TrkFileStat> before = Of(path);
  read();
  const std::optional<TrkFileStat> after = Of(path);
  if (!before || !after || !before->SameFile(*after)) return std::nullopt;
  return before;
}

bool TrkFileStat::SameFile(const TrkFileStat& other) const {
  return size == other.size && mtime_ns == other.mtime_ns && ctime_ns == other.ctime_ns && inode == other.inode &&
         device == other.device;
}
