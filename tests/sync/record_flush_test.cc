// The timed save of the upload record: a file recorded just after a save must
// reach the record file soon even when no other file is recorded and no worker
// ends, as when every worker is busy with a long transfer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "batch/batch.h"
#include "batch/convertor.h"
#include "dropvan_run.h"
#include "project/project.h"
#include "project/text_file.h"
#include "project/whole_file.h"
#include "support/temp_dir.h"
#include "record/upload_store.h"

namespace {

namespace fs = std::filesystem;
using dropvan_testing::QuickDropvan;
using dropvan_testing::RecordLine;
using dropvan_testing::SyncProject;
using testing_support::TempDir;

constexpr auto kPatience = std::chrono::seconds(2);

std::vector<std::string> LinesOf(const std::string& path) {
  if (!fs::exists(path)) return {};
  return SplitLines(ReadFileBytes(path));
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Polls `path` until it holds `line` or kPatience has passed.
bool AppearsSoon(const std::string& path, const std::string& line) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    if (Contains(LinesOf(path), line)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Stands for a long transfer: a file whose name ends in "hold" is worked on
// only once the test opens the gate.
class HoldingDropvan : public QuickDropvan {
 public:
  HoldingDropvan(TrkBatch& batch, int number, TrkItemEvent on_item_done, const std::shared_ptr<TrkChainShare>& share)
      : QuickDropvan(batch, number, std::move(on_item_done), share) {}

  static std::shared_future<void>& Gate() {
    static std::shared_future<void> gate;
    return gate;
  }

  void ConvertFile(TrkBatch& batch, TrkNode& item) override {
    if (item.FileName().ends_with("hold")) Gate().wait();
    TrkDropvan::ConvertFile(batch, item);
  }
};

TEST(RecordFlushTest, FileRecordedRightAfterASaveIsWrittenWhileTheWorkerIsBusy) {
  TempDir source;
  source.Write("first", "1");
  source.Write("second", "2");
  source.Write("third-hold", "3");
  SyncProject project;
  project.project().ConvertorClass = TrkConvertorClassOf<HoldingDropvan>();
  project.Set("NoUpload", "True");  // no connection: recording alone
  project.Set("ThreadsCount", "1");
  std::promise<void> open;
  HoldingDropvan::Gate() = open.get_future().share();

  auto batch = TrkBatch::Create(project.project(), nullptr);
  for (const char* name : {"first", "second", "third-hold"}) batch->Add(source.dir() + name);
  batch->MarkSearchDone();
  auto chain = TrkConvertor::CreateWorkers(*batch, "/www/", nullptr);
  chain->StartAll();

  // "first" is saved at once; "second" follows within the save interval and
  // waits for the timed save while the worker holds "third-hold".
  const std::string second = RecordLine(source.dir() + "second", "2");
  const bool written = AppearsSoon(project.RecordFile(), second);
  const bool still_held = !chain->Ended();
  open.set_value();
  chain->WaitUntilLetGo(std::chrono::seconds(2));

  EXPECT_TRUE(still_held) << "the worker ended before the check, so it proves nothing";
  EXPECT_TRUE(written) << "a recorded file stayed unsaved for " << kPatience.count()
                       << " s while the only worker was busy";
  EXPECT_TRUE(Contains(LinesOf(project.UploadListFile()), source.dir() + "second"));
  EXPECT_EQ(project.RecordLines().size(), 3u) << "the end of the run saves the rest";
  EXPECT_EQ(batch->Succeeded(), 3);
}

// The store driven directly, as a run's workers drive it.
class StoreFlushTest : public ::testing::Test {
 protected:
  TempDir folder;
  std::string project_file = (folder.path() / "site.batch-dropvan").string();
  std::string record_file = project_file + ".ini";
  TrkUploadStore& store = TrkUploadStore::Process();
};

TEST_F(StoreFlushTest, DeferredRecordIsSavedWithoutAnotherFileOrTheWorkersEnd) {
  store.Load(project_file);
  store.NewQueue();
  store.NewQueue();
  store.Recorded("AAAA", "1", "/src/a");  // the first save of a run is made at once
  ASSERT_TRUE(AppearsSoon(record_file, "AAAA=1")) << "the run's first record was never saved";
  store.Recorded("BBBB", "2", "/src/b");
  ASSERT_EQ(LinesOf(record_file), std::vector<std::string>{"AAAA=1"})
      << "the second file came too late to test the deferred save";
  EXPECT_TRUE(AppearsSoon(record_file, "BBBB=2")) << "the deferred record was never saved";
  EXPECT_TRUE(AppearsSoon(project_file + ".log", "/src/b")) << "the upload list was not saved with it";
  store.Recorded("CCCC", "3", "/src/c");
  EXPECT_TRUE(AppearsSoon(record_file, "CCCC=3")) << "the timed save stopped before the workers were done";
  store.WorkersDone();
}

TEST_F(StoreFlushTest, RefusedRecordIsNeverWrittenByTheTimedSave) {
  fs::create_directories(record_file);
  store.Load(project_file);
  store.NewQueue();
  store.Recorded("AAAA", "1", "/src/a");
  store.Recorded("BBBB", "2", "/src/b");
  std::this_thread::sleep_for(TrkUploadStore::kSaveInterval * 3);
  EXPECT_TRUE(fs::is_directory(record_file));
  EXPECT_FALSE(fs::exists(project_file + ".log"));
  store.WorkersDone();
}

}  // namespace
