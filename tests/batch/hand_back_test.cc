// Items a worker gives back before working on them (a worker the server has no
// room for leaves its item to the others).

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "fakes.h"

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

}  // namespace
