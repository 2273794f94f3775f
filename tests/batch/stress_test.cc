// Many items through many workers, again and again: every item is handed out
// once, counted once and reported once, whatever the interleaving. Sized to stay
// quick under ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "batch/convertor.h"
#include "fakes.h"
#include "select/match.h"
#include "support/temp_dir.h"

using namespace batch_testing;

namespace {

constexpr int kItems = 3000;
constexpr int kWorkers = 8;

void ExpectEveryItemOnce(RunLog& log, int count) {
  std::vector<int> all = log.AllTaken();
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), static_cast<size_t>(count)) << "items lost or handed out twice";
  for (int i = 0; i < count; ++i) ASSERT_EQ(all[i], i) << "item " << i << " missing or doubled";
}

TEST(BatchStressTest, ItemsAddedWhileEightWorkersDrainThem) {
  for (int round = 0; round < 15; ++round) {
    TrkProject project("");
    project.Options().Set("ThreadsCount", std::to_string(kWorkers));
    auto log = UseCountingConvertor(project);
    auto batch = TrkBatch::Create(project, nullptr);
    auto first = TrkConvertor::CreateWorkers(*batch, "/t/", ItemDoneInto(log));
    first->SetOnEnd([log] { log->ends.fetch_add(1); }, nullptr);
    first->StartAll();
    std::thread producer([&] { Fill(*batch, kItems); });
    first->WaitUntilLetGo(std::chrono::seconds(2));
    producer.join();
    ExpectEveryItemOnce(*log, kItems);
    EXPECT_EQ(batch->Succeeded(), kItems);
    EXPECT_EQ(log->DoneCount(), static_cast<size_t>(kItems));
    EXPECT_EQ(log->ends.load(), 1) << "the chain's end is told once";
    EXPECT_EQ(log->end_works.load(), kWorkers);
    ASSERT_TRUE(WaitUntil([&] { return AllEnded(first.get()); }));
  }
}

TEST(BatchStressTest, PauseAndResumeRepeatedlyLosesAndRepeatsNothing) {
  TrkProject project("");
  project.Options().Set("ThreadsCount", std::to_string(kWorkers));
  auto log = UseCountingConvertor(project);
  // Slow enough per item that the run spans several pauses.
  log->on_convert = [](TrkConvertor&, TrkNode&) { std::this_thread::sleep_for(std::chrono::microseconds(50)); };
  auto batch = TrkBatch::Create(project, nullptr);
  std::thread producer([&] { Fill(*batch, kItems); });
  int chains = 0;
  while (!batch->IsExhausted()) {
    auto first = TrkConvertor::CreateWorkers(*batch, "/t/", ItemDoneInto(log));
    first->StartAll();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    first->StopAll();
    ASSERT_TRUE(WaitUntil([&] { return AllEnded(first.get()); })) << "a paused worker did not end";
    ++chains;
  }
  producer.join();
  ExpectEveryItemOnce(*log, kItems);
  EXPECT_EQ(batch->Succeeded(), kItems);
  EXPECT_EQ(log->DoneCount(), static_cast<size_t>(kItems));
  EXPECT_GE(chains, 1);
}

TEST(BatchStressTest, CountersAndFailureTextsFromManyWorkers) {
  TrkProject project("");
  project.Options().Set("ThreadsCount", std::to_string(kWorkers));
  auto log = UseCountingConvertor(project);
  // Every third item fails with one of five texts, spelled in either case; the
  // error then escapes, so the item is not counted as a success as well.
  log->on_convert = [](TrkConvertor& worker, TrkNode& item) {
    if (item.Index % 3 != 0) return;
    std::string text = "Upload failure " + std::to_string(item.Index % 5);
    if (item.Index % 2 == 0) std::transform(text.begin(), text.end(), text.begin(), ::toupper);
    item.State = TrkNode::kFailure;
    worker.Batch().RecordFailure(text);
    throw TrkError(text);
  };
  auto batch = TrkBatch::Create(project, nullptr);
  Fill(*batch, kItems);
  auto first = TrkConvertor::CreateWorkers(*batch, "/t/", ItemDoneInto(log));
  first->StartAll();
  ASSERT_TRUE(WaitUntil([&] { return AllEnded(first.get()); }));
  const int failures = (kItems + 2) / 3;
  EXPECT_EQ(batch->Failed(), failures);
  EXPECT_EQ(batch->Succeeded(), kItems - failures);
  EXPECT_EQ(batch->ErrorTexts().size(), 5u) << "texts differing in case were kept twice, or lost";
  EXPECT_EQ(log->DoneCount(), static_cast<size_t>(kItems - failures));
}

}  // namespace

namespace {

TEST(BatchStressTest, RealSearchFeedsEightWorkersWhileItWalks) {
  testing_support::TempDir dir;
  std::set<std::string> files;
  for (int d = 0; d < 10; ++d) {
    for (int f = 0; f < 30; ++f) files.insert(dir.Write("d" + std::to_string(d) + "/f" + std::to_string(f) + ".txt", ""));
  }
  TrkMatch filter;
  for (int round = 0; round < 3; ++round) {
    TrkProject project("");
    project.Options().Set("ThreadsCount", std::to_string(kWorkers));
    auto log = UseCountingConvertor(project);
    auto batch = TrkBatch::Create(project, &filter);
    batch->Start(dir.dir() + "*.txt", "/t/", true);
    auto first = TrkConvertor::CreateWorkers(*batch, "/t/", ItemDoneInto(log));
    first->StartAll();
    ASSERT_TRUE(WaitUntil([&] { return AllEnded(first.get()); }));
    ExpectEveryItemOnce(*log, static_cast<int>(files.size()));
    std::set<std::string> processed;
    for (const TrkNode& item : TrkBatchLock(*batch).Items()) {
      EXPECT_EQ(item.State, TrkNode::kSuccess) << item.FileName();
      processed.emplace(item.FileName());
    }
    EXPECT_EQ(processed, files);
  }
}

}  // namespace
