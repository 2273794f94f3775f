// A run's contract, as any owner meets it: the lines in finishing order, the
// counters and the failure report, one end however many workers, the refusals,
// and no worker left holding on to the run.
#include "run/run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "app/program.h"
#include "batch/batch.h"
#include "project/error.h"
#include "project/project.h"
#include "report/info.h"
#include "select/match.h"
#include "sync/dropvan.h"
#include "record/run_lock.h"
#include "record/upload_store.h"
#include "support/as_ordinary_user.h"
#include "support/recording_opener.h"
#include "support/scripted_convertor.h"
#include "support/temp_dir.h"

namespace {

using testing_support::RecordingOpener;
using testing_support::ScriptedConvertor;
using testing_support::TempDir;

class RunTest : public ::testing::Test {
 protected:
  RunTest() {
    TrkSetProjectIdentity(project_);
    project_.ConvertorClass = TrkConvertorClassOf<ScriptedConvertor>();
    ScriptedConvertor::Converted() = 0;
    ScriptedConvertor::HoldFirst() = nullptr;
  }
  void Set(const std::string& key, const std::string& value) { project_.Options().Set(key, value); }
  // The run of the site's files, as an owner without a dispatcher makes it.
  void RunToTheEnd(TrkRun::Events events = {}) {
    run_.List(site_.dir() + "*.*", "/www", false);
    run_.Start("/www", std::move(events), TrkRun::HeldRecord::kRefuseTheRun);
    run_.WaitForEnd();
    run_.Batch()->WaitForSearch();
    EXPECT_EQ("", run_.Finish());
  }

  TempDir program_dir_;
  TempDir site_;
  const std::string exe_ = program_dir_.Write("dropvan", "");
  std::vector<std::string> links_;
  TrkInfo info_{TrkDropvanIdentity(), exe_, std::make_unique<RecordingOpener>(&links_)};
  TrkProject project_{exe_};
  TrkMatch filter_;
  TrkRun run_{project_, info_, &filter_};
};

TEST_F(RunTest, LinesComeInFinishingOrderNotListOrder) {
  site_.Write("one.txt", "1");
  site_.Write("two.txt", "2");
  Set("ThreadsCount", "2");
  ScriptedConvertor::HoldFirst() = [this] { return !run_.Lines().empty(); };
  RunToTheEnd();

  std::string first_listed, second_listed;
  {
    TrkBatchLock lock(*run_.Batch());
    ASSERT_EQ(2u, lock.Items().size());
    first_listed = lock.Items()[0].FileName();
    second_listed = lock.Items()[1].FileName();
  }
  const std::string name0 = std::filesystem::path(first_listed).filename().string();
  const std::string name1 = std::filesystem::path(second_listed).filename().string();
  EXPECT_EQ(run_.Lines(), (std::vector<std::string>{"Success => " + second_listed + " => /www/" + name1,
                                                     "Success => " + first_listed + " => /www/" + name0}))
      << "the item held back finished last, so its line comes last";
}

TEST_F(RunTest, FailuresAreCountedAndReportedOncePerMessageAndTheRunEndsOnce) {
  site_.Write("good.txt", "fine");
  site_.Write("bad1.txt", "fail:[Error]Upload file failure");
  site_.Write("bad2.txt", "fail:[Error]UPLOAD FILE FAILURE");
  site_.Write("bad3.txt", "fail:[Error]Why?");
  Set("ThreadsCount", "3");
  int ended = 0;
  TrkRun::Events events;
  events.ended = [&] {
    ++ended;
    EXPECT_FALSE(run_.Running()) << "ended while a worker runs";
  };
  RunToTheEnd(std::move(events));

  EXPECT_EQ(1, ended) << "three workers, one end";
  ASSERT_EQ(4u, run_.Lines().size()) << "every file has its line, failed ones too";
  int failure_lines = 0;
  for (const std::string& line : run_.Lines()) failure_lines += line.rfind("Failure => ", 0) == 0;
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

// The walk skips a folder it cannot read; the run must not pass for one that
// uploaded everything.
TEST_F(RunTest, AFolderTheListingCannotReadIsToldLoggedAndCountedAsAFailure) {
  site_.Write("a.txt", "a");
  site_.Write("s/b.txt", "b");
  site_.Write("t/c.txt", "fail:[Error]Why");
  testing_support::LetOrdinaryUserIn(site_.path());
  std::filesystem::permissions(site_.path() / "s", std::filesystem::perms::none);
  const std::string told = testing_support::RunAsOrdinaryUser([this] {
    run_.List(site_.dir() + "*.*", "/www", true);
    run_.Start("/www", {}, TrkRun::HeldRecord::kRefuseTheRun);
    run_.WaitForEnd();  // with the folder's row in
    std::string text = std::to_string(run_.Batch()->Failed()) + " failed\n" + run_.LogText();
    for (const std::string& notice : run_.ListingNotices()) text += "notice: " + notice + "\n";
    for (const auto& [reason, files] : run_.FailureReasons()) text += "reason: " + reason + "\n";
    return text;
  });
  std::filesystem::permissions(site_.path() / "s", std::filesystem::perms::owner_all);
  const std::string unread = "cannot read folder " + site_.dir() + "s: Permission denied; its files were neither "
                             "uploaded nor deleted";
  EXPECT_EQ("2 failed\n"
            "Success => " + site_.dir() + "a.txt => /www/a.txt\r\n"
            "Failure => " + site_.dir() + "t/c.txt => [Error]Why\r\n"
            "Failure => " + site_.dir() + "s/ => " + unread + "\r\n"
            "notice: " + unread + "\n"
            "reason: [Error]Why\n",
            told);
}

TEST_F(RunTest, AnEmptyRunCountsNothingAndReportsNothing) {
  RunToTheEnd();
  EXPECT_EQ("", run_.LogText());
  EXPECT_TRUE(links_.empty());
  EXPECT_EQ("0", info_.Count("A")) << "adding 0 to a missing counter creates it";
  EXPECT_EQ("0", info_.Count("S"));
  EXPECT_EQ("0", info_.Count("F"));
  EXPECT_EQ("1", info_.Count("C"));
}

TEST_F(RunTest, ThreadsCountBelowOneRunsOneWorkerToTheEnd) {
  site_.Write("a.txt", "a");
  site_.Write("b.txt", "b");
  site_.Write("c.txt", "c");
  Set("ThreadsCount", "0");
  RunToTheEnd();
  EXPECT_EQ(3u, run_.Lines().size()) << "the run must wait for the one worker it made";
}

TEST_F(RunTest, TheLastWorkersEndWakesTheOwnersWaitAtOnce) {
  // The worker finishes once the owner waits: only its end can end the wait.
  site_.Write("a.txt", "a");
  ScriptedConvertor::HoldFirst() = [] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return true;
  };
  run_.List(site_.dir() + "*.*", "/www", false);
  run_.Start("/www", {}, TrkRun::HeldRecord::kRefuseTheRun);
  auto woken = std::make_shared<std::promise<void>>();
  std::thread([this, woken] {
    run_.WaitForEnd();
    woken->set_value();
  }).detach();
  EXPECT_EQ(woken->get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
}

TEST_F(RunTest, NoWorkerThreadHoldsOnToARunThatIsGone) {
  for (int i = 0; i < 20; ++i) site_.Write("f" + std::to_string(i) + ".txt", "x");
  Set("ThreadsCount", "8");
  std::weak_ptr<TrkBatch> batch;
  {
    TrkRun run(project_, info_, &filter_);
    run.List(site_.dir() + "*.*", "/www", false);
    run.Start("/www", {}, TrkRun::HeldRecord::kRefuseTheRun);
    batch = run.Batch();
  }
  // Had a thread still held its worker, the worker (and the batch) would now go
  // on that thread, racing the end of the process.
  EXPECT_TRUE(batch.expired()) << "the batch outlived its run";
  EXPECT_EQ(20, ScriptedConvertor::Converted()) << "the run went before its workers ended";
}

TEST_F(RunTest, StopEndsTheListingAndTheWorkers) {
  constexpr int kFolders = 2000;  // far more than the listing gets through before the Stop
  for (int i = 0; i < kFolders; ++i) site_.Write("f" + std::to_string(i) + "/a.txt", "a");
  run_.List(site_.dir() + "*.*", "/www", true);
  run_.Start("/www", {}, TrkRun::HeldRecord::kRefuseTheRun);
  run_.Stop();
  run_.WaitForEnd();
  run_.Batch()->WaitForSearch();
  EXPECT_LT(run_.Batch()->Count(), kFolders) << "the listing went on after the Stop";
  EXPECT_LT(ScriptedConvertor::Converted(), kFolders) << "the workers went on after the Stop";
}

TEST_F(RunTest, ARecordThatAnotherRunHoldsRefusesTheRunBeforeAnyFile) {
  site_.Write("a.txt", "a");
  const std::string project_file = site_.dir() + "site.batch-dropvan";
  project_.SetFileName(project_file);
  project_.ConvertorClass = TrkDropvan::Class();  // whose chains load the record
  TrkRunLock other;
  ASSERT_TRUE(other.Take(TrkUploadStore::LockFileName(project_file)));
  run_.List(site_.dir() + "*.*", "/www", false);
  std::string refusal;
  try {
    run_.Start("/www", {}, TrkRun::HeldRecord::kRefuseTheRun);
  } catch (const TrkError& e) {
    refusal = e.what();
  }
  EXPECT_EQ(refusal.rfind("Another run of this project is using its upload record", 0), 0u) << refusal;
  EXPECT_FALSE(run_.Running());
  EXPECT_EQ(0, run_.Batch()->Succeeded() + run_.Batch()->Failed()) << "a file was worked on";
  other.Release();

  // Once the other has ended, a run takes the record, and lets it go at its end.
  Set("NoUpload", "True");  // recorded without a server
  TrkRun again{project_, info_, &filter_};
  again.List(site_.dir() + "*.*", "/www", false);
  again.Start("/www", {}, TrkRun::HeldRecord::kRefuseTheRun);
  again.WaitForEnd();
  again.Batch()->WaitForSearch();
  EXPECT_EQ("", again.Finish());
  EXPECT_EQ(0, again.Batch()->Failed());
  EXPECT_TRUE(other.Take(TrkUploadStore::LockFileName(project_file))) << "the run kept the record after its end";
  other.Release();
}

// Whoever owns the run: an owner that forgot its own check still starts nothing.
TEST_F(RunTest, StartRefusesDeletionOptionsThatCouldReachTheSiteBeforeAnyWorker) {
  site_.Write("a.txt", "a");
  Set("DeleteRemoved", "True");
  for (const auto& [key, value] : {std::pair{"DeleteTo", "/"}, {"DeleteLimit", "-1"}, {"DryRun", "maybe"}}) {
    SCOPED_TRACE(std::string(key) + "=" + value);
    Set(key, value);
    TrkRun run{project_, info_, &filter_};
    run.List(site_.dir() + "*.*", "/www", false);
    EXPECT_THROW(run.Start("/www", {}, TrkRun::HeldRecord::kRefuseTheRun), TrkError);
    Set(key, "");
  }
  EXPECT_EQ(0, ScriptedConvertor::Converted());
}

TEST_F(RunTest, RefusesAnEmptyTargetAndASourceFolderThatCannotBeListed) {
  struct Row {
    std::string source, target, error;
  } rows[] = {
      {site_.dir() + "*.*", "", "Target is empty"},
      {site_.dir() + "*.*", "file:", "Target is empty"},  // no target directory left after the scheme
      {site_.dir() + "*.*", "file:///", "Target is empty"},
      {site_.dir() + "gone/*.*", "/www/", "Cannot list the source folder \"" + site_.dir() + "gone/\": "},
      {site_.dir() + "*.*", "/www/", ""},
  };
  for (const Row& row : rows) {
    std::string error;
    try {
      TrkRun::RequireRunnable(row.source, row.target);
    } catch (const TrkError& e) {
      error = e.what();
    }
    EXPECT_EQ(error.substr(0, row.error.size()), row.error) << row.source << " to \"" << row.target << "\"";
    EXPECT_EQ(error.empty(), row.error.empty()) << error;
  }
}

}  // namespace
