#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

struct stat;

// What the file system tells of a file without opening it, as a later run
// compares it to know the file unchanged since its bytes were read: any write
// moves the change time, and a file put in its place has another inode.
struct TrkFileStat {
  // The file system's timestamp granularity assumed for every file system: a
  // file modified this close to the moment its stat data were taken may be
  // written again within the same timestamp, its stat data unchanged.
  static constexpr int64_t kGranularityNs = 1'000'000'000;

  int64_t size = 0;
  int64_t mtime_ns = 0;  // modification time, nanoseconds since the epoch
  int64_t ctime_ns = 0;  // change time, nanoseconds since the epoch
  uint64_t inode = 0;
  uint64_t device = 0;
  int64_t taken_ns = 0;  // the wall clock just before they were taken

  // `path`'s stat data now (stat(2): the file is not opened); none when it
  // cannot be statted or is no regular file.
  static std::optional<TrkFileStat> Of(const std::string& path);
  // The same of the file `name` in the open folder `folder_fd` (fstatat(2)).
  static std::optional<TrkFileStat> At(int folder_fd, const char* name);
  // Runs `read` (a read of the file's bytes) between two takes of `path`'s stat
  // data and returns the first when the file was the same before and after;
  // none when it changed meanwhile or could not be statted. What `read`
  // throws goes through.
  static std::optional<TrkFileStat> Around(const std::string& path, const std::function<void()>& read);


  // The five values a write or a replacement changes are all equal.
  bool SameFile(const TrkFileStat& other) const;
  // Modified too close to the moment these were taken for a later write to be
  // sure to show (git's racy-file rule).
  bool Racy() const { return mtime_ns >= taken_ns - kGranularityNs; }
};

// Watches one read through the stat data of its open file, told at the read's
// start and end (TrkMD5::DigestFileHex's `at_ends`): cheaper than
// TrkFileStat::Around, which looks the path up twice, and the start's are those
// the open took anyway. A file put in its place meanwhile is not seen, and
// need not be: the data kept are the read file's own, which the path no longer
// has, so a later run reads it. Make it just before the read: the moment its
// data are taken is the watch's making.
class TrkFileStatWatch {
 public:
  TrkFileStatWatch();
  void Seen(const struct stat& info);
  // The stat data as the read began, when they were the same at its end.
  std::optional<TrkFileStat> Result() const;

 private:
  const int64_t taken_ns_;
  std::optional<TrkFileStat> first_, last_;
  int seen_ = 0;
};
