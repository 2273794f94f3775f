#pragma once

// A convertor whose outcome the test writes into the files: a file whose content
// begins with "fail:" fails with the rest as its message, any other succeeds
// with "/www/" and its name. With HoldFirst set, the item with Index 0 finishes
// only once HoldFirst tells that another item has finished (or ten seconds have
// passed).

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "batch/batch.h"
#include "batch/convertor.h"
#include "project/whole_file.h"

namespace testing_support {

class ScriptedConvertor : public TrkConvertor {
 public:
  ScriptedConvertor(TrkBatch& batch, int number, TrkItemEvent done, const std::shared_ptr<TrkChainShare>& share)
      : TrkConvertor(batch, number, std::move(done), share) {}

  // How many files were converted; what the next run holds back.
  static std::atomic<int>& Converted() {
    static std::atomic<int> count{0};
    return count;
  }
  static std::function<bool()>& HoldFirst() {
    static std::function<bool()> another_finished;
    return another_finished;
  }

  void ConvertFile(TrkBatch& batch, TrkNode& item) override {
    ++Converted();
    if (item.Index == 0 && HoldFirst()) WaitForAnotherItem();
    const std::string content = ReadFileBytes(std::string(item.FileName()));
    if (content.rfind("fail:", 0) == 0) {
      item.State = TrkNode::kFailure;
      SetResult(item, content.substr(5));
      batch.RecordFailure(content.substr(5));
    } else {
      item.State = TrkNode::kSuccess;
      SetResult(item, "/www/" + std::filesystem::path(item.FileName()).filename().string());
      batch.RecordSuccess();
    }
  }

 private:
  static void WaitForAnotherItem() {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!HoldFirst()() && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
};

}  // namespace testing_support
