// Items a worker gives back before working on them (a worker the server has no
// room for leaves its item to the others), and items a worker takes ahead of
// the one in hand (to open on the server early): worked on next, or given back.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "fakes.h"
#include "support/temp_dir.h"

using namespace batch_testing;

namespace {

TEST(BatchHandBackTest, AHandedBackItemComesNextAndIsRefusedOnceTheBatchIsExhausted) {
  TrkProject project("");
  auto batch = TrkBatch::Create(project, nullptr);
  Fill(*batch, 3);
  TrkNode* first = batch->NextItem();
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(batch->HandBack(*first));
  EXPECT_EQ(batch->NextItem(), first) << "the item handed back is not handed out next";
  EXPECT_EQ(batch->NextItem()->Index, 1);
  TrkNode* last = batch->NextItem();
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(batch->NextItem(), nullptr);
  EXPECT_FALSE(batch->HandBack(*last)) << "an exhausted batch took an item nobody would ask for";
  EXPECT_EQ(batch->NextItem(), nullptr);
}

// Workers numbered `leaving` or below give their first item back; the others
// mark each item done.
class GivingWayConvertor : public TrkConvertor {
 public:
  struct Log {
    std::mutex mu;
    std::map<int, int> done;  // item index -> times done
    int handed_back = 0;
  };
  GivingWayConvertor(TrkBatch& batch, int number, TrkItemEvent on_item_done,
                     const std::shared_ptr<TrkChainShare>& share, int leaving, std::shared_ptr<Log> log)
      : TrkConvertor(batch, number, std::move(on_item_done), share), leaving_(leaving), log_(std::move(log)) {}

  void ConvertFile(TrkBatch& batch, TrkNode& item) override {
    if (WorkerNumber() <= leaving_) {
      std::lock_guard<std::mutex> lock(log_->mu);
      log_->handed_back += HandBackItem();
      return;
    }
    // Nobody finishes the list before every leaving worker had an item to give back.
    WaitUntil([this] {
      std::lock_guard<std::mutex> lock(log_->mu);
      return log_->handed_back == leaving_;
    });
    std::lock_guard<std::mutex> lock(log_->mu);
    ++log_->done[item.Index];
    item.State = TrkNode::kSuccess;
    batch.RecordSuccess();
  }

 private:
  const int leaving_;
  std::shared_ptr<Log> log_;
};

TEST(ConvertorHandBackTest, ItemsGivenBackAreDoneOnceByTheOthersWithOneItemDoneEventEach) {
  for (int leaving : {1, 3}) {
    SCOPED_TRACE("workers giving way: " + std::to_string(leaving));
    TrkProject project("");
    project.Options().Set("ThreadsCount", "4");
    auto log = std::make_shared<GivingWayConvertor::Log>();
    project.ConvertorClass.make = [log, leaving](TrkBatch& batch, int number, TrkItemEvent on_item_done,
                                                 const std::shared_ptr<TrkChainShare>& share) {
      return std::make_shared<GivingWayConvertor>(batch, number, std::move(on_item_done), share, leaving, log);
    };
    auto batch = TrkBatch::Create(project, nullptr);
    Fill(*batch, 50);
    std::mutex events_mu;
    std::vector<int> events;
    auto first = TrkConvertor::CreateWorkers(*batch, "/www/", [&](TrkBatch&, TrkNode& item) {
      std::lock_guard<std::mutex> lock(events_mu);
      events.push_back(item.Index);
    });
    first->StartAll();
    ASSERT_TRUE(WaitUntil([&] { return AllEnded(first.get()); })) << "the workers did not all end";

    EXPECT_EQ(log->handed_back, leaving);
    EXPECT_EQ(batch->Succeeded(), 50);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(log->done[i], 1) << "item " << i << " was not done exactly once";
    std::sort(events.begin(), events.end());
    EXPECT_EQ(events.size(), 50u);
    EXPECT_TRUE(std::adjacent_find(events.begin(), events.end()) == events.end()) << "an item got two events";
  }
}

// Takes an item ahead at every item, taking `pause` over each; worker 2
// leaves at its first item as `leave` says, the item ahead in its hands.
class LookingAheadConvertor : public TrkConvertor {
 public:
  enum class Leave { kNever, kStop, kStopOnceEmptied, kUnexpectedError };
  struct Log {
    std::mutex mu;
    std::vector<int> events;                // index + 1 as an item starts, -(index + 1) as it is done
    std::map<int, std::vector<int>> by;     // worker -> the items it did, in order
    std::map<int, int> ahead_of;            // item taken ahead -> the item in hand as it was
    std::atomic<TrkConvertor*> leaver{nullptr};  // worker 2, once it leaves
  };
  LookingAheadConvertor(TrkBatch& batch, int number, TrkItemEvent on_item_done,
                        const std::shared_ptr<TrkChainShare>& share, Leave leave, std::chrono::milliseconds pause,
                        std::shared_ptr<Log> log)
      : TrkConvertor(batch, number, std::move(on_item_done), share),
        leave_(number == 2 ? leave : Leave::kNever),
        await_leaver_(number != 2 ? leave : Leave::kNever),
        pause_(pause),
        log_(std::move(log)) {}

  void ConvertFile(TrkBatch& batch, TrkNode& item) override {
    const TrkNode* ahead = TakeAhead();
    {
      std::lock_guard<std::mutex> lock(log_->mu);
      log_->events.push_back(item.Index + 1);
      if (ahead != nullptr) log_->ahead_of[ahead->Index] = item.Index;
    }
    if (leave_ != Leave::kNever) log_->leaver = this;
    // The others go on once the leaver has its item ahead, and unless it is
    // to find the batch emptied, once it has ended: a batch they had emptied
    // meanwhile would take nothing back.
    if (await_leaver_ != Leave::kNever) {
      WaitUntil([this] {
        TrkConvertor* leaver = log_->leaver;
        return leaver != nullptr && (await_leaver_ == Leave::kStopOnceEmptied || leaver->Ended());
      });
    }
    switch (std::exchange(leave_, Leave::kNever)) {
      case Leave::kNever: break;
      case Leave::kStopOnceEmptied:
        // The other has taken every item and found none left: the batch takes nothing back.
        WaitUntil([this] { return NextWorker()->Ended(); });
        [[fallthrough]];
      case Leave::kStop: Terminate(); return LeaveItem();
      case Leave::kUnexpectedError: throw std::runtime_error("not an item's error: the worker ends");
    }
    std::this_thread::sleep_for(pause_);
    std::lock_guard<std::mutex> lock(log_->mu);
    log_->events.push_back(-(item.Index + 1));
    log_->by[WorkerNumber()].push_back(item.Index);
    item.State = TrkNode::kSuccess;
    batch.RecordSuccess();
  }

 private:
  Leave leave_;
  const Leave await_leaver_;  // of another worker
  const std::chrono::milliseconds pause_;
  std::shared_ptr<Log> log_;
};

TEST(ConvertorTakeAheadTest, AnItemTakenAheadIsDoneNextByItsTakerOrByAnotherWhenItsTakerLeaves) {
  using Leave = LookingAheadConvertor::Leave;
  const struct Row {
    const char* what;
    int threads;
    Leave leave;
    const char* last_mask = "";
    std::chrono::milliseconds pause{0};
  } rows[] = {
      {"one worker: each item taken ahead is done next", 1, Leave::kNever},
      {"a worker stops: its item ahead goes to the other", 2, Leave::kStop},
      {"a worker stops once the batch was emptied: it does its item ahead itself", 2, Leave::kStopOnceEmptied},
      {"a worker ends on an unexpected error: its item ahead goes to the other", 2, Leave::kUnexpectedError},
      {"files held back for last are not taken ahead before the others are done", 3, Leave::kNever, "f13*",
       std::chrono::milliseconds(2)},
  };
  constexpr int kItems = 40;  // f100 to f139; f130 to f139 fit the last mask
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TrkProject project("");
    project.Options().Set("ThreadsCount", std::to_string(row.threads));
    project.Options().Set("LastMask", row.last_mask);
    auto log = std::make_shared<LookingAheadConvertor::Log>();
    project.ConvertorClass.make = [log, leave = row.leave, pause = row.pause](
                                      TrkBatch& batch, int number, TrkItemEvent on_item_done,
                                      const std::shared_ptr<TrkChainShare>& share) {
      return std::make_shared<LookingAheadConvertor>(batch, number, std::move(on_item_done), share, leave, pause, log);
    };
    auto batch = TrkBatch::Create(project, nullptr);
    testing_support::TempDir site;
    for (int i = 0; i < kItems; ++i) site.Write("f" + std::to_string(100 + i), "x");
    batch->Start(site.dir() + "*", "/www/", false);
    auto first = TrkConvertor::CreateWorkers(*batch, "/www/", nullptr);
    first->StartAll();
    ASSERT_TRUE(WaitUntil([&] { return AllEnded(first.get()); })) << "the workers did not all end";

    // The item worker 2 left when it stopped is the only one not done;
    // one it had in hand at an unexpected error is lost, as any such item is.
    const int left = row.leave == Leave::kNever ? 0 : 1;
    EXPECT_EQ(batch->Succeeded(), kItems - left);
    std::map<int, int> done, done_after;  // item -> times done; the item its worker did before it
    for (auto& [worker, did] : log->by) {
      for (size_t i = 0; i < did.size(); ++i) {
        ++done[did[i]];
        if (i > 0) done_after[did[i]] = did[i - 1];
      }
    }
    for (auto& [ahead, in_hand] : log->ahead_of) {
      if (done.count(in_hand) != 0) {
        EXPECT_EQ(done_after[ahead], in_hand) << "item " << ahead << " was not done next";
      }
    }
    EXPECT_EQ(done.size(), static_cast<size_t>(kItems - left)) << "an item taken ahead was lost";
    for (auto& [index, times] : done) EXPECT_EQ(times, 1) << "item " << index;
    if (*row.last_mask != '\0') {
      const auto last_start = std::find_if(log->events.begin(), log->events.end(), [](int e) { return e > 30; });
      const auto other_done = std::find_if(log->events.rbegin(), log->events.rend(), [](int e) { return e < 0 && e >= -30; });
      EXPECT_LT(log->events.rend() - other_done, last_start - log->events.begin() + 1)
          << "a file held back for last started before every other was done";
    }
  }
}

}  // namespace
