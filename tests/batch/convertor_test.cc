#include "batch/convertor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <set>
#include <stdexcept>

#include "fakes.h"
#include "support/temp_dir.h"

using namespace batch_testing;

namespace {

class ConvertorTest : public ::testing::Test {
 protected:
  void SetUp() override { log_ = UseCountingConvertor(project_); }

  std::shared_ptr<TrkConvertor> MakeChain(int threads) {
    project_.Options().Set("ThreadsCount", std::to_string(threads));
    return TrkConvertor::CreateWorkers(*batch_, "/www/", ItemDoneInto(log_));
  }
  // Sets the end event (counted in log_) and the pending count, then starts.
  void Run(const std::shared_ptr<TrkConvertor>& first) {
    const int ended_before = log_->end_works.load();
    first->SetOnEnd(
        [log = log_, ended_before, workers = first->WorkerNumber()] {
          if (log->end_works.load() - ended_before != workers) log->early_ends.fetch_add(1);
          log->ends.fetch_add(1);
        },
        nullptr);
    first->StartAll();
  }
  // `chains` ended, each told once, after every one of `workers` had ended.
  void ExpectEnded(int chains, int workers) {
    EXPECT_EQ(log_->ends.load(), chains) << "a chain's end is told once";
    EXPECT_EQ(log_->end_works.load(), workers) << "every worker ends";
    EXPECT_EQ(log_->early_ends.load(), 0) << "the end was told before every worker had ended";
  }
  void WaitForEnd(const std::shared_ptr<TrkConvertor>& first) {
    ASSERT_TRUE(WaitUntil([&] { return AllEnded(first.get()); })) << "the workers did not all end";
  }

  TrkProject project_{""};
  std::shared_ptr<RunLog> log_;
  std::shared_ptr<TrkBatch> batch_ = TrkBatch::Create(project_, nullptr);
};

TEST_F(ConvertorTest, ChainIsNumberedDownAndNumberOneIsCompleteFirst) {
  auto first = MakeChain(3);
  std::vector<int> numbers;
  for (TrkConvertor* w : Chain(first.get())) numbers.push_back(w->WorkerNumber());
  EXPECT_EQ(numbers, (std::vector<int>{3, 2, 1}));
  EXPECT_EQ(log_->constructed, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(batch_->TargetDir(), "/www/");
}

TEST_F(ConvertorTest, ThreadsCountBelowOneCountsAsOneAndIsCapped) {
  for (auto [text, expected] : std::vector<std::pair<std::string, int>>{
           {"0", 1}, {"-4", 1}, {"many", 1}, {"64", 64}, {"1000", 64}}) {
    project_.Options().Set("ThreadsCount", text);
    // Checked directly: each worker clamps its number again, so the chain alone
    // would hide a wrong count.
    EXPECT_EQ(TrkConvertor::ThreadsCount(project_), expected) << "ThreadsCount=" << text;
    auto first = TrkConvertor::CreateWorkers(*batch_, "/", nullptr);
    EXPECT_EQ(first->WorkerNumber(), expected) << "ThreadsCount=" << text;
    EXPECT_EQ(Chain(first.get()).size(), static_cast<size_t>(expected)) << "ThreadsCount=" << text;
  }
}

TEST_F(ConvertorTest, CreateWorkersTurnsAFileTargetIntoAPath) {
  TrkConvertor::CreateWorkers(*batch_, "file://server/share/", nullptr);
  EXPECT_EQ(batch_->TargetDir(), "//server/share/");
}

TEST_F(ConvertorTest, WorkersTakeItemsInIndexOrderEachExactlyOnce) {
  Fill(*batch_, 300);
  auto first = MakeChain(4);
  Run(first);
  WaitForEnd(first);
  for (int n = 1; n <= 4; ++n) {
    const auto& taken = log_->taken_by[n];
    EXPECT_TRUE(std::is_sorted(taken.begin(), taken.end())) << "worker " << n << " got items out of order";
  }
  std::vector<int> all = log_->AllTaken();
  std::sort(all.begin(), all.end());
  std::vector<int> expected(300);
  for (int i = 0; i < 300; ++i) expected[i] = i;
  EXPECT_EQ(all, expected);
  EXPECT_EQ(batch_->Succeeded(), 300);
  EXPECT_EQ(log_->DoneCount(), 300u);
  ExpectEnded(1, 4);
  EXPECT_TRUE(batch_->IsExhausted());
}

TEST_F(ConvertorTest, OneItemThreeWorkersAllEndAndTheEndIsSeenAfterTheThird) {
  Fill(*batch_, 1);
  auto first = MakeChain(3);
  Run(first);
  WaitForEnd(first);
  EXPECT_EQ(log_->AllTaken(), (std::vector<int>{0}));
  EXPECT_EQ(log_->DoneCount(), 1u);
  ExpectEnded(1, 3);
}

TEST_F(ConvertorTest, EmptyBatchEndsEveryWorkerWithoutItemDone) {
  auto first = MakeChain(3);
  Run(first);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(log_->ends.load(), 0) << "workers ended before the list was complete";
  batch_->MarkSearchDone();
  WaitForEnd(first);
  ExpectEnded(1, 3);
  EXPECT_EQ(log_->DoneCount(), 0u);
}

TEST_F(ConvertorTest, WorkersStartOnItemsWhileTheListStillGrows) {
  auto first = MakeChain(2);
  Run(first);
  batch_->Add("/a");
  ASSERT_TRUE(WaitUntil([&] { return log_->DoneCount() == 1; })) << "the first item waited for the list's end";
  batch_->AddSingle("/b");
  WaitForEnd(first);
  EXPECT_EQ(log_->DoneCount(), 2u);
}

TEST_F(ConvertorTest, OrdinaryErrorLeavesItemRunningWithItsMessageAndTheWorkerGoesOn) {
  log_->on_convert = [](TrkConvertor&, TrkNode& item) {
    if (item.Index == 1) throw TrkError("Disk unreadable");
  };
  Fill(*batch_, 3);
  auto first = MakeChain(1);
  Run(first);
  WaitForEnd(first);
  TrkBatchLock lock(*batch_);
  const TrkItemList& items = lock.Items();
  EXPECT_EQ(items[1].State, TrkNode::kRunning);
  EXPECT_EQ(items[1].ResultText(), "Disk unreadable");
  EXPECT_EQ(items[2].State, TrkNode::kSuccess) << "the worker stopped after the error";
  EXPECT_EQ(log_->done_events, (std::vector<int>{0, 2}));
  EXPECT_EQ(batch_->Succeeded(), 2);
  EXPECT_EQ(batch_->Failed(), 0);
}

TEST_F(ConvertorTest, OtherErrorEndsOnlyThatWorkerAndTheEndsStillAddUp) {
  log_->on_convert = [](TrkConvertor&, TrkNode& item) {
    if (item.Index == 0) throw std::logic_error("bug");
  };
  Fill(*batch_, 50);
  auto first = MakeChain(2);
  Run(first);
  WaitForEnd(first);
  ExpectEnded(1, 2);
  EXPECT_EQ(batch_->Succeeded(), 49);
  EXPECT_EQ(log_->DoneCount(), 49u);
  TrkBatchLock lock(*batch_);
  EXPECT_EQ(lock.Items()[0].State, TrkNode::kRunning);
}

TEST_F(ConvertorTest, PauseAfterFiveOfTenThenANewChainDoesTheRest) {
  std::mutex mu;
  std::condition_variable cv;
  bool in_hand = false, released = false;
  log_->on_convert = [&](TrkConvertor&, TrkNode& item) {
    if (item.Index != 4) return;
    std::unique_lock<std::mutex> lock(mu);
    in_hand = true;
    cv.notify_all();
    cv.wait(lock, [&] { return released; });
  };
  Fill(*batch_, 10);
  auto first = MakeChain(1);
  Run(first);
  {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return in_hand; });
  }
  first->StopAll();
  {
    std::lock_guard<std::mutex> lock(mu);
    released = true;
  }
  cv.notify_all();
  WaitForEnd(first);
  EXPECT_EQ(log_->AllTaken(), (std::vector<int>{0, 1, 2, 3, 4})) << "the item in hand was not finished, or more were taken";
  EXPECT_EQ(log_->DoneCount(), 5u);
  EXPECT_FALSE(batch_->IsExhausted());

  log_->on_convert = nullptr;
  auto second = MakeChain(3);
  Run(second);
  WaitForEnd(second);
  std::vector<int> all = log_->AllTaken();
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(batch_->Succeeded(), 10);
  ExpectEnded(2, 4);
}

TEST_F(ConvertorTest, PauseWithEveryWorkerBusyFinishesAndReportsEachItemInHand) {
  std::atomic<int> busy{0};
  std::atomic<bool> release{false};
  log_->on_convert = [&](TrkConvertor&, TrkNode&) {
    busy.fetch_add(1);
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  Fill(*batch_, 10);
  auto first = MakeChain(2);
  Run(first);
  ASSERT_TRUE(WaitUntil([&] { return busy.load() == 2; }));
  first->StopAll();
  release = true;
  WaitForEnd(first);
  EXPECT_EQ(log_->DoneCount(), 2u);
  EXPECT_EQ(batch_->Succeeded(), 2);
  ExpectEnded(1, 2);
}

TEST_F(ConvertorTest, StopAllBeforeStartAllRunsNoItemButEveryEnd) {
  Fill(*batch_, 5);
  auto first = MakeChain(3);
  first->StopAll();
  Run(first);
  WaitForEnd(first);
  EXPECT_EQ(log_->AllTaken(), std::vector<int>{});
  ExpectEnded(1, 3);
}

TEST_F(ConvertorTest, StopAllAfterTheWorkersEndedIsHarmless) {
  Fill(*batch_, 20);
  auto first = MakeChain(4);
  Run(first);
  WaitForEnd(first);
  first->StopAll();
  first->StopAll();
  ExpectEnded(1, 4);
}

TEST_F(ConvertorTest, StopAllWhileSomeWorkersHaveEnded) {
  // Worker 1 ends at once on a logic error; the others are held until StopAll.
  std::atomic<bool> release{false};
  log_->on_convert = [&](TrkConvertor& w, TrkNode&) {
    if (w.WorkerNumber() == 1) throw std::logic_error("gone");
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  Fill(*batch_, 100);
  auto first = MakeChain(3);
  Run(first);
  ASSERT_TRUE(WaitUntil([&] { return Chain(first.get()).back()->Ended(); }));
  first->StopAll();
  release = true;
  WaitForEnd(first);
  ExpectEnded(1, 3);
  EXPECT_LT(batch_->Succeeded(), 100) << "the stop request was not seen";
}

TEST_F(ConvertorTest, OwnerMayDropChainAndBatchWhileWorkersRun) {
  Fill(*batch_, 200);
  auto first = MakeChain(4);
  std::vector<std::weak_ptr<TrkWorkBase>> workers;
  for (TrkConvertor* w : Chain(first.get())) workers.push_back(w->weak_from_this());
  std::weak_ptr<TrkBatch> batch = batch_;
  Run(first);
  first.reset();
  batch_.reset();
  ASSERT_TRUE(WaitUntil([&] {
    return batch.expired() && std::all_of(workers.begin(), workers.end(), [](auto& w) { return w.expired(); });
  })) << "a worker or the batch was never freed";
  EXPECT_EQ(log_->DoneCount(), 200u);
  ExpectEnded(1, 4);
}

TEST_F(ConvertorTest, EndWorkRunsOnTheWorkerBeforeTheEndEvent) {
  std::thread::id main_id = std::this_thread::get_id();
  std::vector<std::string> order;  // one worker: no lock needed beyond the events' own order
  log_->on_end_work = [&](TrkConvertor&) {
    EXPECT_NE(std::this_thread::get_id(), main_id);
    order.push_back("work");
  };
  Fill(*batch_, 2);
  auto first = MakeChain(1);
  first->SetOnEnd([&] { order.push_back("end"); }, nullptr);
  first->StartAll();
  WaitForEnd(first);
  EXPECT_EQ(order, (std::vector<std::string>{"work", "end"}));
}

// Serves calls on the test's thread, as a window's event loop would.
class QueueDispatcher : public TrkDispatcher {
 public:
  void RunOnMain(const std::function<void()>& call) override {
    std::unique_lock<std::mutex> lock(mu_);
    bool done = false;
    queue_.push_back([&] {
      call();
      std::lock_guard<std::mutex> inner(mu_);
      done = true;
      cv_.notify_all();
    });
    cv_.notify_all();
    cv_.wait(lock, [&] { return done; });
  }
  // Runs queued calls until `finished` holds.
  void Serve(const std::function<bool()>& finished) {
    std::unique_lock<std::mutex> lock(mu_);
    while (!finished()) {
      if (!cv_.wait_for(lock, std::chrono::seconds(20), [&] { return !queue_.empty(); })) {
        ADD_FAILURE() << "no end event arrived";
        return;
      }
      auto call = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      call();
      lock.lock();
    }
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
};

TEST_F(ConvertorTest, EndEventRunsOnTheMainThreadWhichMayTakeTheBatchLock) {
  Fill(*batch_, 30);
  auto first = MakeChain(3);
  auto dispatcher = std::make_shared<QueueDispatcher>();
  std::thread::id main_id = std::this_thread::get_id();
  int ends = 0;  // main thread only
  first->SetOnEnd(
      [&] {
        EXPECT_EQ(std::this_thread::get_id(), main_id);
        TrkBatchLock lock(*batch_);  // would deadlock if the ending worker held it
        ++ends;
      },
      dispatcher);
  first->StartAll();
  dispatcher->Serve([&] { return ends == 1; });
  EXPECT_EQ(log_->end_works.load(), 3) << "told before every worker had ended";
  EXPECT_EQ(batch_->Succeeded(), 30);
  WaitForEnd(first);
}

// ---- LastMask: the hand-out order ----

class LastMaskTest : public ConvertorTest {
 protected:
  // Lists `names` (in this order) with LastMask "*.html; *.htm".
  void List(std::initializer_list<const char*> names) {
    for (const char* name : names) site_.Write(name, name);
    project_.Options().Set("LastMask", "*.html; *.htm");
    batch_->Start(site_.dir() + "*", "/www/", false);
  }
  testing_support::TempDir site_;
};

TEST_F(LastMaskTest, MatchingFilesGoOutOnlyOnceEveryOtherFileIsDone) {
  List({"a.css", "about.html", "b.js", "c.png", "index.htm"});
  std::vector<long> others_done_as_pages_went_out;  // items 0, 2 and 3 are no pages
  log_->on_convert = [&](TrkConvertor&, TrkNode& item) {
    if (item.Index != 1 && item.Index != 4) return std::this_thread::sleep_for(std::chrono::milliseconds(30));
    std::lock_guard<std::mutex> lock(log_->mu);
    others_done_as_pages_went_out.push_back(std::count_if(log_->done_events.begin(), log_->done_events.end(),
                                                          [](int index) { return index != 1 && index != 4; }));
  };
  auto first = MakeChain(2);
  Run(first);
  WaitForEnd(first);
  EXPECT_EQ(batch_->Succeeded(), 5);
  EXPECT_EQ(others_done_as_pages_went_out, (std::vector<long>{3, 3}));
}

TEST_F(LastMaskTest, AWaitForTheLastFilesEndsAtAStopRequest) {
  List({"a.css", "index.html"});
  batch_->WaitForSearch();
  ASSERT_NE(batch_->NextItem(), nullptr);  // a.css, in hand
  std::atomic<bool> stop{false}, returned{false};
  std::thread waiting([&] {
    EXPECT_EQ(batch_->NextItem(&stop), nullptr);
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned.load()) << "the page went out while a.css was in hand";
  stop = true;
  EXPECT_TRUE(WaitUntil([&] { return returned.load(); }, std::chrono::milliseconds(1000))) << "the stop was missed";
  batch_->ItemDone();
  waiting.join();
  TrkNode* page = batch_->NextItem();
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->FileName(), site_.dir() + "index.html");
}

}  // namespace
