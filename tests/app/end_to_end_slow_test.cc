// A site of 10,000 small files through the dropvan program and pyftpdlib.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "dropvan_process.h"
#include "support/ftp_server.h"
#include "support/temp_dir.h"

namespace {

using testing_support::DropvanCopy;
using testing_support::FtpServer;
using testing_support::ProcessResult;
using testing_support::ReadCrLfLines;
using testing_support::ReadWholeFile;
using testing_support::TempDir;

constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 100;
constexpr int kFiles = kFolders * kFilesPerFolder;

std::string RelativeName(int folder, int file) {
  return "f" + std::to_string(folder) + "/file" + std::to_string(file) + ".txt";
}
std::string ContentOf(int folder, int file) { return "content " + std::to_string(folder * 1000 + file) + "\n"; }

TEST(EndToEndSlow, TenThousandFilesWithFourWorkers) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  DropvanCopy app;
  TempDir site, work;
  for (int folder = 0; folder < kFolders; ++folder) {
    for (int file = 0; file < kFilesPerFolder; ++file) site.Write(RelativeName(folder, file), ContentOf(folder, file));
  }
  const std::string log = work.dir() + "run.log";
  const std::string project = app.WriteProject(
      work.dir() + "big.batch-dropvan",
      {"Source=" + site.dir() + "*.*", "Subdir=True", "Target=/big/", "Server=127.0.0.1",
       "Port=" + std::to_string(server.port()), "User=" + server.user(), "Password=" + server.password(),
       "LogFile=" + log, "PureConsole=True", "ThreadsCount=4"});

  ProcessResult run = app.Run({project}, "", std::chrono::seconds(1200));
  ASSERT_FALSE(run.timed_out) << "the run did not end";
  ASSERT_EQ(0, run.exit_code) << run.err;
  std::cout << "10,000 files, 4 workers: " << run.elapsed.count() << " ms\n";

  std::vector<std::string> lines = ReadCrLfLines(log);
  EXPECT_EQ(static_cast<size_t>(kFiles), lines.size());
  std::set<std::string> distinct(lines.begin(), lines.end());
  EXPECT_EQ(lines.size(), distinct.size()) << "a file was logged twice";
  for (const std::string& line : lines) {
    if (line.rfind("Success => ", 0) != 0) {
      ADD_FAILURE() << "not uploaded: " << line;
      break;
    }
  }
  int wrong = 0;
  for (int folder = 0; folder < kFolders; ++folder) {
    for (int file = 0; file < kFilesPerFolder; ++file) {
      const std::string served = (server.root() / "big" / RelativeName(folder, file)).string();
      if (ReadWholeFile(served) != ContentOf(folder, file) && ++wrong <= 5) {
        ADD_FAILURE() << RelativeName(folder, file) << " is missing or differs on the server";
      }
    }
  }
  EXPECT_EQ(0, wrong);
  const std::vector<std::string> record = ReadCrLfLines(project + ".ini");
  EXPECT_EQ(static_cast<size_t>(kFiles), record.size() - 1) << "the upload record holds one line per file";
  EXPECT_TRUE(record.front().starts_with("Destination: ftp://")) << "first line: " << record.front();
}

}  // namespace
