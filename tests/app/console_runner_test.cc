// What the console adds to a run: the run log it writes (empty for a run it
// refuses), and an unwritable log escaping the run after the counters.
#include "app/console_runner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "app/program.h"
#include "dropvan_process.h"
#include "project/error.h"
#include "project/project.h"
#include "report/info.h"
#include "select/match.h"
#include "support/recording_opener.h"
#include "support/scripted_convertor.h"
#include "support/temp_dir.h"

namespace {

using testing_support::ReadCrLfLines;
using testing_support::RecordingOpener;
using testing_support::ScriptedConvertor;
using testing_support::TempDir;

class ConsoleRunnerTest : public ::testing::Test {
 protected:
  ConsoleRunnerTest() {
    TrkSetProjectIdentity(project_);
    project_.ConvertorClass = TrkConvertorClassOf<ScriptedConvertor>();
    Set("Source", site_.dir() + "*.*");
    Set("Target", "/www");
    Set("LogFile", log_);
    ScriptedConvertor::Converted() = 0;
    ScriptedConvertor::HoldFirst() = nullptr;
  }
  void Set(const std::string& key, const std::string& value) { project_.Options().Set(key, value); }
  void Run() { runner_.Run(&filter_, err_); }

  TempDir program_dir_;
  TempDir site_;
  const std::string exe_ = program_dir_.Write("dropvan", "");
  const std::string log_ = program_dir_.dir() + "run.log";
  std::vector<std::string> links_;
  TrkInfo info_{TrkDropvanIdentity(), exe_, std::make_unique<RecordingOpener>(&links_)};
  TrkProject project_{exe_};
  TrkMatch filter_;
  TrkMain runner_{project_, info_};
  std::ostringstream err_;
};

TEST_F(ConsoleRunnerTest, TheLogHoldsTheRunsLinesAndAnEmptyRunGivesAnEmptyFile) {
  Run();
  ASSERT_TRUE(std::filesystem::exists(log_)) << "an empty run still replaces the log";
  EXPECT_EQ(0u, std::filesystem::file_size(log_));

  site_.Write("good.txt", "fine");
  site_.Write("bad.txt", "fail:[Error]Upload file failure");
  Set("ThreadsCount", "2");
  Run();
  ASSERT_EQ(2u, runner_.Lines().size());
  EXPECT_EQ(runner_.Lines(), ReadCrLfLines(log_)) << "every file has its line, failed ones too";
}

TEST_F(ConsoleRunnerTest, ARefusedRunWritesTheLogEmptyAndStartsNothing) {
  site_.Write("a.txt", "a");
  Set("DeleteRemoved", "True");
  struct Refused {
    std::string key, value, says;  // `says`: the beginning of the refusal
  };
  const Refused rows[] = {
      {"Target", "", "Target is empty"},
      {"Source", site_.dir() + "gone/*.*", "Cannot list the source folder"},
      {"Exclude", "(unclosed", "Exclude"},
      {"DeleteTo", "/www/attic", "DeleteTo \"/www/attic\" lies inside Target"},
      {"DeleteTo", "/", "DeleteTo \"/\" holds Target"},
      {"DeleteLimit", "-1", "DeleteLimit \"-1\" is not a whole number of 0 or more"},
      {"DeleteLimit", "3 files", "DeleteLimit \"3 files\" is not a whole number"},
      {"DryRun", "yes", "DryRun \"yes\" is neither True nor False"},
  };
  for (const Refused& row : rows) {
    SCOPED_TRACE(row.key + "=" + row.value);
    const std::string before = project_.GetOption(row.key);
    Set(row.key, row.value);
    std::string refusal;
    try {
      Run();
    } catch (const TrkError& e) {
      refusal = e.what();
    }
    EXPECT_EQ(row.says, refusal.substr(0, row.says.size())) << refusal;
    ASSERT_TRUE(std::filesystem::exists(log_));
    EXPECT_EQ(0u, std::filesystem::file_size(log_)) << "the log says nothing was done";
    Set(row.key, before);
    std::filesystem::remove(log_);
  }
  EXPECT_EQ(0, ScriptedConvertor::Converted().load());
  EXPECT_EQ("", info_.Count("C")) << "no run was started";
}

TEST_F(ConsoleRunnerTest, EmptyLogFileOptionWritesNoLog) {
  site_.Write("a.txt", "fail:[Error]x");
  Set("LogFile", "");
  Run();
  EXPECT_EQ(1u, runner_.Lines().size());
  EXPECT_FALSE(std::filesystem::exists(log_));
  EXPECT_EQ(1u, links_.size()) << "a single failed file is reported too, log or not";
}

TEST_F(ConsoleRunnerTest, UnwritableLogEscapesTheRunAfterTheCounters) {
  site_.Write("a.txt", "a");
  Set("LogFile", program_dir_.dir() + "missing/run.log");
  EXPECT_THROW(Run(), TrkError);
  EXPECT_EQ("1", info_.Count("A")) << "the counters come before the log";
  EXPECT_EQ("1", info_.Count("S"));
}

}  // namespace
