#include "sync/file_stat.h"

#include <sys/stat.h>
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

}  // namespace

std::optional<TrkFileStat> TrkFileStat::Of(const std::string& path) {
  TrkFileStat stat_data;
  // Before the stat: a write after the stat is then stamped no earlier than
  // this moment less the clock's tick, which Racy allows for.
  stat_data.taken_ns = WallClockNs();
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  stat_data.size = static_cast<int64_t>(info.st_size);
  stat_data.mtime_ns = Nanoseconds(info.st_mtim);
  stat_data.ctime_ns = Nanoseconds(info.st_ctim);
  stat_data.inode = static_cast<uint64_t>(info.st_ino);
  stat_data.device = static_cast<uint64_t>(info.st_dev);
  return stat_data;
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
