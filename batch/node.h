#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// One work item of a batch: a file, its state and its result text.
//
// Items are created only by their batch (TrkBatch::Add) and live as long as the
// batch; everyone else holds plain references. `Index` and `FileName` never change
// after creation. `State` and `ResultText` are written by the one worker that
// works on the item (an item a worker handed back untouched goes to another, so
// exactly one works on it); other threads read them in the item-done event,
// under the batch lock after that event, or once the run has ended.
//
// An item holds its texts by view, not by copy: they are kept by the batch
// (TrkTextArena), packed, since a run over a million files holds a million
// items at once.
class TrkNode {
 public:
  // Values of `State`; also the index of the item's picture in the window's list.
  static constexpr int kRunning = 0;
  static constexpr int kSuccess = 1;
  static constexpr int kFailure = 2;

  // `file_name` must live as long as the item.
  TrkNode(int index, std::string_view file_name)
      : Index(index), file_name_(file_name.data()), file_name_size_(static_cast<uint32_t>(file_name.size())) {}

  int State = kRunning;
  // 0-based position in the batch: the number of items it held when this one was added.
  const int Index;
  // Full local path: the searched folder's text followed by the file's name, or
  // the text the owner handed to AddSingle.
  std::string_view FileName() const { return {file_name_, file_name_size_}; }
  // Set by the per-file operation: a remote path, a note or an error message.
  std::string_view ResultText() const { return {result_, result_size_}; }
  // `text` must live as long as the item: a text the worker's batch keeps
  // (TrkWorkBase::SetResult) or a literal.
  void SetResultText(std::string_view text) {
    result_ = text.data();
    result_size_ = static_cast<uint32_t>(text.size());
  }
  // With a failure: why, in the words of the server or the library that told
  // (TrkError::Reason); empty when the result says it all. Held apart: a run
  // over a million files keeps a million items, nearly all without one.
  const std::string& Reason() const { return reason_ ? *reason_ : kNoReason; }
  void SetReason(std::string reason) {
    reason_ = reason.empty() ? nullptr : std::make_unique<std::string>(std::move(reason));
  }

 private:
  static inline const std::string kNoReason;
  const char* file_name_;
  const char* result_ = nullptr;
  std::unique_ptr<std::string> reason_;
  uint32_t file_name_size_;
  uint32_t result_size_ = 0;
};
