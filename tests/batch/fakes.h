#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "batch/batch.h"
#include "batch/convertor.h"
#include "project/error.h"
#include "project/project.h"

namespace batch_testing {

// Polls `done` every millisecond for up to `limit`; true when it held in time.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// What a run of CountingConvertor workers did, shared by the whole chain.
struct RunLog {
  std::mutex mu;
  std::vector<int> constructed;                 // worker numbers, as constructors completed
  std::vector<std::vector<int>> taken_by{65};   // per worker number: item indices in order
  std::vector<int> done_events;                 // item indices, in item-done order
  std::atomic<int> ends{0};
  std::atomic<int> end_works{0};
  std::atomic<int> early_ends{0};  // chain ends told before every worker of the chain had ended
  // Called in ConvertFile before the item is marked; may throw or block.
  std::function<void(TrkConvertor& worker, TrkNode& item)> on_convert;
  std::function<void(TrkConvertor& worker)> on_end_work;

  std::vector<int> AllTaken() {
    std::lock_guard<std::mutex> lock(mu);
    std::vector<int> all;
    for (const auto& list : taken_by) all.insert(all.end(), list.begin(), list.end());
    return all;
  }
  size_t DoneCount() {
    std::lock_guard<std::mutex> lock(mu);
    return done_events.size();
  }
};

// A convertor whose per-file operation marks the item done and counts it,
// writing down which worker took which item.
class CountingConvertor : public TrkConvertor {
 public:
  CountingConvertor(TrkBatch& batch, int number, TrkItemEvent on_item_done,
                    const std::shared_ptr<TrkChainShare>& share, std::shared_ptr<RunLog> log)
      : TrkConvertor(batch, number, std::move(on_item_done), share), log_(std::move(log)) {
    std::lock_guard<std::mutex> lock(log_->mu);
    log_->constructed.push_back(WorkerNumber());
  }

  void ConvertFile(TrkBatch& batch, TrkNode& item) override {
    {
      std::lock_guard<std::mutex> lock(log_->mu);
      log_->taken_by[WorkerNumber()].push_back(item.Index);
    }
    if (log_->on_convert) log_->on_convert(*this, item);
    item.State = TrkNode::kSuccess;
    SetResult(item, "done " + std::string(item.FileName()));
    batch.RecordSuccess();
  }

 protected:
  void EndWork() override {
    log_->end_works.fetch_add(1);
    if (log_->on_end_work) log_->on_end_work(*this);
  }

 private:
  std::shared_ptr<RunLog> log_;
};

// Registers CountingConvertor as the project's class and returns its shared log.
inline std::shared_ptr<RunLog> UseCountingConvertor(TrkProject& project) {
  auto log = std::make_shared<RunLog>();
  project.ConvertorClass.make = [log](TrkBatch& batch, int number, TrkItemEvent on_item_done,
                                      const std::shared_ptr<TrkChainShare>& share) {
    return std::make_shared<CountingConvertor>(batch, number, std::move(on_item_done), share, log);
  };
  return log;
}

// The item-done event that writes into `log`.
inline TrkItemEvent ItemDoneInto(std::shared_ptr<RunLog> log) {
  return [log](TrkBatch&, TrkNode& item) {
    std::lock_guard<std::mutex> lock(log->mu);
    log->done_events.push_back(item.Index);
  };
}

// Every worker of the chain starting at `first`.
inline std::vector<TrkConvertor*> Chain(TrkConvertor* first) {
  std::vector<TrkConvertor*> chain;
  for (TrkConvertor* w = first; w != nullptr; w = w->NextWorker()) chain.push_back(w);
  return chain;
}

inline bool AllEnded(TrkConvertor* first) {
  for (TrkConvertor* w : Chain(first)) {
    if (!w->Ended()) return false;
  }
  return true;
}

// Adds `count` items named "/src/file<i>.txt" and marks the list complete.
inline void Fill(TrkBatch& batch, int count) {
  for (int i = 0; i < count; ++i) batch.Add("/src/file" + std::to_string(i) + ".txt");
  batch.MarkSearchDone();
}

}  // namespace batch_testing
