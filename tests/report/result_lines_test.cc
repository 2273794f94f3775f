#include "report/result_lines.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "project/error.h"
#include "support/as_ordinary_user.h"
#include "support/temp_dir.h"

namespace {

TEST(StatusWordTest, NamesSuccessFailureAndEverythingElseRunning) {
  EXPECT_STREQ("Success", TrkStatusWord(1));
  EXPECT_STREQ("Failure", TrkStatusWord(2));
  EXPECT_STREQ("Running", TrkStatusWord(0));
  EXPECT_STREQ("Running", TrkStatusWord(3));
  EXPECT_STREQ("Running", TrkStatusWord(-1));
}

TEST(ResultLineTest, ConsoleLineJoinsTheThreeFields) {
  EXPECT_EQ("Success => /s/a.html => /www/a.html", TrkConsoleLine(1, "/s/a.html", "/www/a.html"));
  EXPECT_EQ("Failure => /s/b.png => [Error]Upload file failure",
            TrkConsoleLine(2, "/s/b.png", "[Error]Upload file failure"));
}

TEST(ResultLineTest, ListLinePutsTheWordInBrackets) {
  EXPECT_EQ("[Failure] => /s/b.png => [Error]Upload file failure",
            TrkListLine(2, "/s/b.png", "[Error]Upload file failure"));
}

TEST(ResultLineTest, RowWithoutResultEndsWithABlank) {
  EXPECT_EQ("[Running] => /s/c.txt => ", TrkListLine(0, "/s/c.txt", ""));
}

TEST(ResultLineTest, ControlCharactersOfNameAndResultAreEscapedSoOneItemIsOneLine) {
  struct Row {
    std::string file, result, console_line;
  };
  for (const Row& row : std::vector<Row>{
           {"/s/a\nSuccess => FORGED", "/www/a\nSuccess => FORGED",
            "Success => /s/a\\nSuccess => FORGED => /www/a\\nSuccess => FORGED"},
           {"/s/cr\r.txt", "[Error]x\r\ny", "Success => /s/cr\\r.txt => [Error]x\\r\\ny"},
           {"/s/tab\tbell\a.txt", "", "Success => /s/tab\\tbell\\x07.txt => "},
           {"/s/caf\xC3\xA9 \\ x.txt", "File identical.", "Success => /s/caf\xC3\xA9 \\ x.txt => File identical."},
       }) {
    EXPECT_EQ(TrkConsoleLine(1, row.file, row.result), row.console_line);
    EXPECT_EQ(TrkListLine(1, row.file, row.result), "[Success]" + row.console_line.substr(7));
  }
}

TEST(ResultLineTest, FieldsWithFormatCharactersAreInsertedUnchanged) {
  EXPECT_EQ("Success => /s/100%s %d.txt => /www/100%s %d.txt",
            TrkConsoleLine(1, "/s/100%s %d.txt", "/www/100%s %d.txt"));
}

TEST(LogFileTest, WritesEveryLineWithCrLf) {
  testing_support::TempDir dir;
  std::string path = dir.dir() + "run.log";
  TrkWriteLogFile(path, {"Success => /s/a.txt => /www/a.txt", "Success => /s/b.txt => File identical."});
  EXPECT_EQ("Success => /s/a.txt => /www/a.txt\r\nSuccess => /s/b.txt => File identical.\r\n",
            dir.Read("run.log"));
}

TEST(LogFileTest, EmptyRunGivesZeroByteFile) {
  testing_support::TempDir dir;
  std::string path = dir.dir() + "run.log";
  TrkWriteLogFile(path, {});
  ASSERT_TRUE(std::filesystem::exists(path)) << "an empty run must still leave a log file";
  EXPECT_EQ(0u, std::filesystem::file_size(path));
}

TEST(LogFileTest, ReplacesAnEarlierLogInsteadOfAppending) {
  testing_support::TempDir dir;
  std::string path = dir.Write("run.log", "old line 1\r\nold line 2\r\nold line 3\r\n");
  TrkWriteLogFile(path, {"Success => a => b"});
  EXPECT_EQ("Success => a => b\r\n", dir.Read("run.log"));
}

TEST(LogFileTest, PathThatIsAFolderRaisesError) {
  testing_support::TempDir dir;
  std::filesystem::create_directory(dir.path() / "logs");
  EXPECT_THROW(TrkWriteLogFile(dir.dir() + "logs", {"x"}), TrkError);
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "logs"));
}

TEST(LogFileTest, MissingFolderRaisesErrorAndCreatesNothing) {
  testing_support::TempDir dir;
  EXPECT_THROW(TrkWriteLogFile(dir.dir() + "missing/run.log", {"x"}), TrkError);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
}

TEST(LogFileTest, FileInPlaceOfFolderRaisesError) {
  testing_support::TempDir dir;
  dir.Write("plain", "a file");
  EXPECT_THROW(TrkWriteLogFile(dir.dir() + "plain/run.log", {"x"}), TrkError);
}

TEST(LogFileTest, LogSentToADeviceThroughALinkLeavesBothInPlace) {
  testing_support::TempDir dir;
  std::filesystem::path link = dir.path() / "run.log";
  std::filesystem::create_symlink("/dev/null", link);
  TrkWriteLogFile(link.string(), {"Success => a => b"});
  EXPECT_TRUE(std::filesystem::is_symlink(link)) << "the link was replaced by a plain file";
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
}

TEST(LogFileTest, LogSentToAFifoIsWrittenIntoIt) {
  testing_support::TempDir dir;
  std::string fifo = dir.dir() + "run.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  TrkWriteLogFile(fifo, {"Success => a => b"});
  char buffer[64] = {};
  ssize_t n = read(reader, buffer, sizeof buffer);
  close(reader);
  EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), "Success => a => b\r\n");
  EXPECT_TRUE(std::filesystem::is_fifo(fifo)) << "the FIFO was replaced by a plain file";
}

TEST(LogFileTest, AWritableLogInAFolderWeMayNotWriteIsWrittenInPlace) {
  // /var/log/dropvan.log made writable for the user that cron runs the job as.
  testing_support::TempDir dir;
  namespace fs = std::filesystem;
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  std::string log = dir.Write("logs/run.log", "old line\r\n");
  fs::permissions(log, fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec));
  fs::permissions(dir.path() / "logs", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_exec |
                                           fs::perms::others_read | fs::perms::others_exec);
  // Root may create files in any folder: write as an ordinary user instead.
  std::string error = testing_support::RunAsOrdinaryUser([&] {
    try {
      TrkWriteLogFile(log, {"Success => a => b"});
    } catch (const TrkError& e) {
      return std::string(e.what());
    }
    return std::string();
  });
  fs::permissions(dir.path() / "logs", fs::perms::owner_all);
  EXPECT_EQ(error, "") << "the log could not be written";
  EXPECT_EQ(dir.Read("logs/run.log"), "Success => a => b\r\n");
}

TEST(ResultLinesTest, FinishOrderKeepsEveryIndexAppendedFromManyThreads) {
  TrkFinishOrder order;
  constexpr int kThreads = 8;
  constexpr int kPerThread = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&order, t] {
      for (int i = 0; i < kPerThread; ++i) order.Append(t * kPerThread + i);
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<int> all = order.Indices();
  ASSERT_EQ(size_t{kThreads * kPerThread}, all.size());
  // Each thread's indices keep their own order among the others'.
  std::vector<int> next(kThreads, 0);
  for (int index : all) {
    const int t = index / kPerThread;
    ASSERT_EQ(t * kPerThread + next[t], index) << "thread " << t << " lost or reordered an index";
    ++next[t];
  }
}

}  // namespace
