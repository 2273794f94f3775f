#include "select/file_utils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <string>

#include "project/error.h"
#include "support/as_ordinary_user.h"
#include "support/error_of.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

using testing_support::ErrorOf;

TEST(WriteAllTest, CreatesMissingFoldersAndReplacesWholeContent) {
  testing_support::TempDir dir;
  std::string path = dir.dir() + "new/deeper/counts.ext";
  TrkFileUtils::WriteAll(path, "a much longer first content");
  TrkFileUtils::WriteAll(path, "short");
  EXPECT_EQ(dir.Read("new/deeper/counts.ext"), "short");
  TrkFileUtils::WriteAll(path, "");
  EXPECT_EQ(dir.Read("new/deeper/counts.ext"), "");
  // Nothing but the target is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "new/deeper"), fs::directory_iterator()), 1);
}

TEST(WriteAllTest, AppendAddsAtTheEndAndCreatesAMissingFile) {
  testing_support::TempDir dir;
  std::string path = dir.dir() + "run.log";
  TrkFileUtils::WriteAll(path, "one\r\n", 1, true);
  TrkFileUtils::WriteAll(path, "two\r\n", 1, true);
  EXPECT_EQ(dir.Read("run.log"), "one\r\ntwo\r\n");
}

TEST(WriteAllTest, ReplacingKeepsALinkAndItsTarget) {
  testing_support::TempDir dir;
  std::string target = dir.Write("real.txt", "old");
  fs::create_symlink(target, dir.path() / "link.txt");
  TrkFileUtils::WriteAll(dir.dir() + "link.txt", "new");
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link.txt"));
  EXPECT_EQ(dir.Read("real.txt"), "new");
}

TEST(WriteAllTest, FailuresNameTheFile) {
  testing_support::TempDir dir;
  std::string blocker = dir.Write("plain", "x");
  std::string under_file = blocker + "/child.txt";
  EXPECT_EQ(ErrorOf([&] { TrkFileUtils::WriteAll(under_file, "data"); }),
            "Cannot create file \"" + under_file + "\". Not a directory");
  EXPECT_EQ(ErrorOf([&] { TrkFileUtils::WriteAll(dir.dir() + "sub/", "data"); }).rfind("Cannot ", 0), 0u);
  fs::create_directory(dir.path() / "folder");
  std::string folder = dir.dir() + "folder";
  EXPECT_EQ(ErrorOf([&] { TrkFileUtils::WriteAll(folder, "data"); }),
            "Cannot open file \"" + folder + "\". Is a directory");
  EXPECT_EQ(ErrorOf([&] { TrkFileUtils::WriteAll(folder, "data", 1, true); }),
            "Cannot open file \"" + folder + "\". Is a directory");
  EXPECT_EQ(ErrorOf([&] { TrkFileUtils::WriteAll("/dev/full", "data", 1, true); }), "Stream write error");
}

TEST(WriteAllTest, AFifoIsWrittenInPlaceNeverReplaced) {
  testing_support::TempDir dir;
  std::string fifo = dir.dir() + "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // No reader: the write is refused at once instead of waiting for one.
  EXPECT_EQ(ErrorOf([&] { TrkFileUtils::WriteAll(fifo, "data"); }),
            "Cannot open file \"" + fifo + "\". No such device or address");
  EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST(WriteAllTest, ReadOnlyFolderRefusesANewFile) {
  testing_support::TempDir dir;
  testing_support::LetOrdinaryUserIn(dir.path());
  fs::create_directory(dir.path() / "locked");
  fs::permissions(dir.path() / "locked", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                             fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  std::string path = dir.dir() + "locked/new.txt";
  // Root writes into read-only folders, so the write runs as an ordinary user.
  EXPECT_EQ(testing_support::RunAsOrdinaryUser([&] { return ErrorOf([&] { TrkFileUtils::WriteAll(path, "x"); }); }),
            "Cannot create file \"" + path + "\". Permission denied");
  EXPECT_FALSE(fs::exists(path));
}

// Sets a file's last-write time to the given UTC calendar time.
void SetWriteTime(const std::string& path, int year, int month, int day, int hour, int minute, int second) {
  struct tm parts = {};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = timegm(&parts);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

int32_t Dos(int year, int month, int day, int hour, int minute, int second) {
  uint32_t date = static_cast<uint32_t>((year - 1980) << 9 | month << 5 | day);
  uint32_t time = static_cast<uint32_t>(hour << 11 | minute << 5 | second / 2);
  return static_cast<int32_t>(date << 16 | time);
}

TEST(FileDateTest, PacksTheWriteTimeAsDosDateTime) {
  testing_support::TempDir dir;
  std::string path = dir.Write("a.txt", "");
  SetWriteTime(path, 2020, 5, 17, 13, 45, 37);
  EXPECT_EQ(TrkFileUtils::FileDate(path, false, true), Dos(2020, 5, 17, 13, 45, 36));
  EXPECT_EQ(TrkFileUtils::FileDate(path, false, true), 0x50B16DB2);
  SetWriteTime(path, 2050, 12, 31, 23, 59, 59);
  EXPECT_EQ(TrkFileUtils::FileDate(path, false, true), Dos(2050, 12, 31, 23, 59, 58));
  EXPECT_LT(TrkFileUtils::FileDate(path, false, true), -1) << "years from 2044 set the sign bit";
}

TEST(FileDateTest, LocalTimeFollowsTheTimeZone) {
  testing_support::TempDir dir;
  std::string path = dir.Write("a.txt", "");
  SetWriteTime(path, 2020, 5, 17, 23, 0, 0);
  const char* old = getenv("TZ");
  std::string saved = old != nullptr ? old : "";
  setenv("TZ", "XXX-02", 1);  // two hours east of UTC
  tzset();
  int32_t local = TrkFileUtils::FileDate(path, false, false);
  if (old != nullptr) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  EXPECT_EQ(local, Dos(2020, 5, 18, 1, 0, 0));
}

TEST(FileDateTest, OutOfRangeAndMissingGiveMinusOne) {
  testing_support::TempDir dir;
  std::string path = dir.Write("a.txt", "");
  SetWriteTime(path, 1979, 12, 31, 23, 59, 58);
  EXPECT_EQ(TrkFileUtils::FileDate(path, false, true), -1);
  SetWriteTime(path, 2108, 1, 1, 0, 0, 0);
  EXPECT_EQ(TrkFileUtils::FileDate(path, false, true), -1);
  SetWriteTime(path, 1980, 1, 1, 0, 0, 0);
  EXPECT_EQ(TrkFileUtils::FileDate(path, false, true), Dos(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(TrkFileUtils::FileDate(dir.dir() + "missing", true, true), -1);
  EXPECT_EQ(TrkFileUtils::FileDate("", true, true), -1);
}

TEST(FileDateTest, CreationTimeOfFilesAndFolders) {
  testing_support::TempDir dir;
  std::string path = dir.Write("a.txt", "");
  SetWriteTime(path, 2001, 2, 3, 4, 5, 6);
  // Where the file system keeps a birth time it is today's; elsewhere the
  // last-write time stands in for it.
  int32_t created = TrkFileUtils::FileDate(path, true, true);
  time_t now = time(nullptr);
  struct tm today;
  gmtime_r(&now, &today);
  int created_year = 1980 + static_cast<int>(static_cast<uint32_t>(created) >> 25);
  EXPECT_TRUE(created == Dos(2001, 2, 3, 4, 5, 6) || created_year == today.tm_year + 1900) << created;
  EXPECT_GT(TrkFileUtils::FileDate(dir.dir(), true, true), 0) << "a folder has a date as well";
}

}  // namespace
