#pragma once

#include <memory>
#include <string>
#include <utility>

// One work item of a batch: a file, its state and its result text.
//
// Items are created only by their batch (TrkBatch::Add) and live as long as the
// batch; everyone else holds plain references. `Index` and `FileName` never change
// after creation. `State` and `ResultText` are written by the one worker that
// works on the item (an item a worker handed back untouched goes to another, so
// exactly one works on it); other threads read them in the item-done event,
// under the batch lock after that event, or once the run has ended.
class TrkNode {
 public:
  // Values of `State`; also the index of the item's picture in the window's list.
  static constexpr int kRunning = 0;
  static constexpr int kSuccess = 1;
  static constexpr int kFailure = 2;

  TrkNode(int index, std::string file_name) : Index(index), FileName(std::move(file_name)) {}

  int State = kRunning;
  // 0-based position in the batch: the number of items it held when this one was added.
  const int Index;
  // Full local path: the searched folder's text followed by the file's name, or
  // the text the owner handed to AddSingle.
  const std::string FileName;
  // Set by the per-file operation: a remote path, a note or an error message.
  std::string ResultText;
  // With a failure: why, in the words of the server or the library that told
  // (TrkError::Reason); empty when the result says it all. Held apart: a run
  // over a million files keeps a million items, nearly all without one.
  const std::string& Reason() const { return reason_ ? *reason_ : kNoReason; }
  void SetReason(std::string reason) {
    reason_ = reason.empty() ? nullptr : std::make_unique<std::string>(std::move(reason));
  }

 private:
  static inline const std::string kNoReason;
  std::unique_ptr<std::string> reason_;
};
