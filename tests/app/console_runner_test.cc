#include "app/console_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/program.h"
#include "batch/batch.h"
#include "batch/convertor.h"
#include "dropvan_process.h"
#include "project/error.h"
#include "project/project.h"
#include "report/info.h"
#include "select/match.h"
#include "support/recording_opener.h"
#include "support/temp_dir.h"

namespace {

using testing_support::ReadCrLfLines;
using testing_support::TempDir;

// What the scripted convertor sees of the test; set before each run.
std::atomic<int> g_converted{0};
std::atomic<TrkMain*> g_runner{nullptr};
std::atomic<bool> g_hold_first{false};

// A convertor whose outcome the test writes into the files: a file whose content
// begins with "fail:" fails with the rest as its message, any other succeeds. With
// g_hold_first, the item with Index 0 finishes only after another item's line is in.
class ScriptedConvertor : public TrkConvertor {
 public:
  ScriptedConvertor(TrkBatch& batch, int number, TrkItemEvent done) : TrkConvertor(batch, number, std::move(done)) {}

  void ConvertFile(TrkBatch& batch, TrkNode& item) override {
    ++g_converted;
    if (item.Index == 0 && g_hold_first) WaitForAnotherLine();
    const std::string content = testing_support::ReadWholeFile(item.FileName);
    if (content.rfind("fail:", 0) == 0) {
      item.State = TrkNode::kFailure;
      item.ResultText = content.substr(5);
      batch.RecordFailure(item.ResultText);
    } else {
      item.State = TrkNode::kSuccess;
      item.ResultText = "/www/" + std::filesystem::path(item.FileName).filename().string();
      batch.RecordSuccess();
    }
  }

 private:
  static void WaitForAnotherLine() {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (g_runner.load()->Lines().empty() && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
};

using testing_support::RecordingOpener;

class ConsoleRunnerTest : public ::testing::Test {
 protected:
  ConsoleRunnerTest() {
    TrkSetProjectIdentity(project_);
    project_.ConvertorClass = TrkConvertorClassOf<ScriptedConvertor>();
    Set("Source", site_.dir() + "*.*");
    Set("Target", "/www");
    Set("LogFile", log_);
    g_converted = 0;
    g_runner = &runner_;
    g_hold_first = false;
  }
  void Set(const std::string& key, const std::string& value) { project_.Options().Set(key, value); }
  void Run() { runner_.Run(&filter_); }

  TempDir program_dir_;
  TempDir site_;
  const std::string exe_ = program_dir_.Write("dropvan", "");
  const std::string log_ = program_dir_.dir() + "run.log";
  std::vector<std::string> links_;
  TrkInfo info_{TrkDropvanIdentity(), exe_, std::make_unique<RecordingOpener>(&links_)};
  TrkProject project_{exe_};
  TrkMatch filter_;
  TrkMain runner_{project_, info_};
};

TEST_F(ConsoleRunnerTest, LogHoldsTheLinesInFinishingOrderNotListOrder) {
  site_.Write("one.txt", "1");
  site_.Write("two.txt", "2");
  Set("ThreadsCount", "2");
  g_hold_first = true;
  Run();

  std::string first_listed, second_listed;
  {
    TrkBatchLock lock(*runner_.Batch());
    ASSERT_EQ(2u, lock.Items().size());
    first_listed = lock.Items()[0].FileName;
    second_listed = lock.Items()[1].FileName;
  }
  const std::string name0 = std::filesystem::path(first_listed).filename().string();
  const std::string name1 = std::filesystem::path(second_listed).filename().string();
  std::vector<std::string> expected{"Success => " + second_listed + " => /www/" + name1,
                                    "Success => " + first_listed + " => /www/" + name0};
  EXPECT_EQ(expected, runner_.Lines()) << "the item held back finished last, so its line comes last";
  EXPECT_EQ(expected, ReadCrLfLines(log_));
}

TEST_F(ConsoleRunnerTest, FailuresAreLoggedCountedAndReportedOncePerMessage) {
  site_.Write("good.txt", "fine");
  site_.Write("bad1.txt", "fail:[Error]Upload file failure");
  site_.Write("bad2.txt", "fail:[Error]UPLOAD FILE FAILURE");
  site_.Write("bad3.txt", "fail:[Error]Why?");
  Set("ThreadsCount", "3");
  Run();

  ASSERT_EQ(4u, runner_.Lines().size());
  EXPECT_EQ(runner_.Lines(), ReadCrLfLines(log_)) << "every file has its line, failed ones too";
  int failure_lines = 0;
  for (const std::string& line : runner_.Lines()) failure_lines += line.rfind("Failure => ", 0) == 0;
  EXPECT_EQ(3, failure_lines);

  ASSERT_EQ(1u, links_.size()) << "one failure report for the whole run";
  const std::string& link = links_[0];
  EXPECT_EQ(0u, link.find("https://dropvan.example/net/?a=err&e=")) << link;
  const size_t upload_failure = link.find("[Error]Upload file failure");
  const size_t other_spelling = link.find("[Error]UPLOAD FILE FAILURE");
  EXPECT_TRUE((upload_failure == std::string::npos) != (other_spelling == std::string::npos))
      << "messages differing in letter case are one entry: " << link;
  EXPECT_NE(std::string::npos, link.find("[Error]Why%3F")) << link;
  EXPECT_EQ(std::string::npos, link.find('?', link.find("e="))) << "a '?' would open a second query: " << link;

  EXPECT_EQ("4", info_.Count("A"));
  EXPECT_EQ("1", info_.Count("S"));
  EXPECT_EQ("3", info_.Count("F"));
  EXPECT_EQ("1", info_.Count("C"));
}

TEST_F(ConsoleRunnerTest, EmptyRunWritesAnEmptyLogAndNoReport) {
  Run();

  EXPECT_TRUE(runner_.Lines().empty());
  ASSERT_TRUE(std::filesystem::exists(log_)) << "an empty run still replaces the log";
  EXPECT_EQ(0u, std::filesystem::file_size(log_));
  EXPECT_TRUE(links_.empty());
  EXPECT_EQ("0", info_.Count("A")) << "adding 0 to a missing counter creates it";
  EXPECT_EQ("0", info_.Count("S"));
  EXPECT_EQ("0", info_.Count("F"));
  EXPECT_EQ("1", info_.Count("C"));
}

TEST_F(ConsoleRunnerTest, EmptyLogFileOptionWritesNoLog) {
  site_.Write("a.txt", "fail:[Error]x");
  Set("LogFile", "");
  Run();
  EXPECT_EQ(1u, runner_.Lines().size());
  EXPECT_FALSE(std::filesystem::exists(log_));
  EXPECT_EQ(1u, links_.size()) << "a single failed file is reported too, log or not";
}

TEST_F(ConsoleRunnerTest, EmptyTargetIsRefusedBeforeAnyFileIsTouched) {
  site_.Write("a.txt", "a");
  Set("Target", "");
  try {
    Run();
    FAIL() << "a run without a target must not go ahead";
  } catch (const TrkError& e) {
    EXPECT_STREQ("Target is empty", e.what());
  }
  EXPECT_EQ(0, g_converted.load());
  ASSERT_TRUE(std::filesystem::exists(log_));
  EXPECT_EQ(0u, std::filesystem::file_size(log_)) << "the log says nothing was done";
  EXPECT_EQ("", info_.Count("C")) << "no run was started";
}

TEST_F(ConsoleRunnerTest, TargetThatIsOnlyTheFileSchemeIsRefusedAsEmpty) {
  site_.Write("a.txt", "a");
  for (const char* target : {"file:", "file:///"}) {
    Set("Target", target);
    EXPECT_THROW(Run(), TrkError) << "Target=" << target << " leaves no target directory";
  }
  EXPECT_EQ(0, g_converted.load()) << "a file went to the server's login folder";
}

TEST_F(ConsoleRunnerTest, ThreadsCountBelowOneRunsOneWorkerToTheEnd) {
  site_.Write("a.txt", "a");
  site_.Write("b.txt", "b");
  site_.Write("c.txt", "c");
  Set("ThreadsCount", "0");
  Run();
  EXPECT_EQ(3u, runner_.Lines().size()) << "the run must wait for the one worker it made";
  EXPECT_EQ(3u, ReadCrLfLines(log_).size());
}

TEST_F(ConsoleRunnerTest, UnwritableLogEscapesTheRunAfterTheCounters) {
  site_.Write("a.txt", "a");
  Set("LogFile", program_dir_.dir() + "missing/run.log");
  EXPECT_THROW(Run(), TrkError);
  EXPECT_EQ("1", info_.Count("A")) << "the counters come before the log";
  EXPECT_EQ("1", info_.Count("S"));
}

TEST_F(ConsoleRunnerTest, NoWorkerThreadHoldsOnToTheRunAfterItReturned) {
  for (int i = 0; i < 20; ++i) site_.Write("f" + std::to_string(i) + ".txt", "x");
  Set("ThreadsCount", "8");
  std::weak_ptr<TrkBatch> batch;
  {
    TrkMain runner(project_, info_);
    g_runner = &runner;
    runner.Run(&filter_);
    EXPECT_EQ(20u, runner.Lines().size());
    batch = runner.Batch();
  }
  // Had a thread still held its worker, the worker (and the batch) would now go
  // on that thread, racing the end of the process.
  EXPECT_TRUE(batch.expired()) << "the batch outlived its runner";
}

}  // namespace
