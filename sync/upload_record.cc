#include "sync/upload_record.h"

#include <filesystem>
#include <thread>
#include <utility>

#include "batch/batch.h"
#include "project/ascii.h"
#include "project/error.h"
#include "project/text_file.h"
#include "select/file_utils.h"

namespace {

// A locked or briefly replaced record file often reads fine a moment later.
constexpr std::chrono::milliseconds kLoadRetryPause{100};

}  // namespace

void TrkUploadRecord::Clear() {
  lines_.clear();
  index_.clear();
}

void TrkUploadRecord::Assign(std::vector<std::string> lines) {
  Clear();
  lines_ = std::move(lines);
  index_.reserve(lines_.size());
  for (size_t at = 0; at < lines_.size(); ++at) IndexLine(at);
}

std::string TrkUploadRecord::Find(std::string_view key) const {
  auto found = index_.find(Fold(key));
  if (found == index_.end()) return {};
  const std::string& line = lines_[found->second];
  return line.substr(line.find('=') + 1);
}

void TrkUploadRecord::Put(const std::string& key, const std::string& value) {
  std::string line = key + "=" + value;
  auto found = index_.find(Fold(key));
  if (found != index_.end()) {
    lines_[found->second] = std::move(line);
    return;
  }
  lines_.push_back(std::move(line));
  IndexLine(lines_.size() - 1);
}

std::string TrkUploadRecord::Fold(std::string_view name) { return TrkUpperAscii(name); }

void TrkUploadRecord::IndexLine(size_t at) {
  const std::string& line = lines_[at];
  size_t equals = line.find('=');
  if (equals == std::string::npos) return;
  index_.emplace(Fold(std::string_view(line).substr(0, equals)), at);  // keeps an earlier line
}

TrkUploadStore& TrkUploadStore::Process() {
  static TrkUploadStore store;
  return store;
}

void TrkUploadStore::Load(const std::string& project_file) {
  project_file_ = project_file;
  refusal_.clear();
  last_save_ = {};  // the run's first recorded file creates its files at once
  workers_ = 0;     // the run's workers register after this
  const std::string record_file = RecordFileName(project_file);
  std::string error;
  for (int attempt = 1; attempt <= kLoadTries; ++attempt) {
    if (attempt > 1) std::this_thread::sleep_for(kLoadRetryPause);
    UploadRecord.Clear();
    UploadList.Clear();
    unsaved_ = false;
    std::error_code ignored;
    std::filesystem::copy_file(record_file, BackupFileName(project_file),
                               std::filesystem::copy_options::overwrite_existing, ignored);
    if (TryRead(record_file, error)) return;
  }
  refusal_ = "[Error]Cannot read the upload record \"" + record_file + "\" (" + error +
             "). The run is refused so that the record is not overwritten.";
}

bool TrkUploadStore::TryRead(const std::string& record_file, std::string& error) {
  std::error_code status_error;
  if (!std::filesystem::exists(record_file, status_error) && !status_error) return true;
  try {
    UploadRecord.Assign(SplitLines(TrkFileUtils::ReadAll(record_file)));
    return true;
  } catch (const TrkError& e) {
    error = e.what();
  }
  // Gone between the look and the read: a missing record is the first run.
  return !std::filesystem::exists(record_file, status_error) && !status_error;
}

void TrkUploadStore::Recorded(const std::string& key, const std::string& digest, std::string local_path) {
  UploadRecord.Put(key, digest);
  UploadList.Append(std::move(local_path));
  unsaved_ = true;
  if (std::chrono::steady_clock::now() - last_save_ >= kSaveInterval) {
    Save();
  } else {
    ScheduleSave();
  }
}

void TrkUploadStore::Flush() {
  if (unsaved_) Save();
}

void TrkUploadStore::WorkerCreated(TrkBatch& batch) {
  ++workers_;
  std::lock_guard<std::mutex> lock(timer_mu_);
  batch_ = batch.weak_from_this();
}

std::jthread TrkUploadStore::WorkerEnded() {
  Flush();
  if (workers_ == 0 || --workers_ > 0) return {};
  std::lock_guard<std::mutex> lock(timer_mu_);
  batch_.reset();
  save_due_ = false;
  return std::move(timer_);
}

void TrkUploadStore::ScheduleSave() {
  if (workers_ == 0) return;
  std::lock_guard<std::mutex> lock(timer_mu_);
  save_due_ = true;
  save_at_ = last_save_ + kSaveInterval;
  if (!timer_.joinable()) timer_ = std::jthread([this](std::stop_token stop) { RunTimer(stop); });
  timer_cv_.notify_one();
}

void TrkUploadStore::RunTimer(std::stop_token stop) {
  std::unique_lock<std::mutex> lock(timer_mu_);
  while (timer_cv_.wait(lock, stop, [this] { return save_due_; })) {
    // A save made meanwhile moves save_at_ later; wait for the latest. The wait
    // reads its end time unlocked, so it gets a copy.
    for (auto at = save_at_; std::chrono::steady_clock::now() < at; at = save_at_) {
      timer_cv_.wait_until(lock, stop, at, [&] { return save_at_ != at; });
      if (stop.stop_requested()) return;
    }
    save_due_ = false;
    std::shared_ptr<TrkBatch> batch = batch_.lock();
    lock.unlock();
    if (batch != nullptr) {
      TrkBatchLock batch_lock(*batch);
      Flush();
    }
    batch.reset();
    lock.lock();
  }
}

void TrkUploadStore::Save() {
  if (!refusal_.empty()) return;  // the unreadable record stays as it is
  try {
    ReplaceFile(RecordFileName(project_file_), JoinLines(UploadRecord.Lines()));
    ReplaceFile(UploadListFileName(project_file_), JoinLines(UploadList.Lines()));
    unsaved_ = false;
  } catch (const TrkError&) {
    // The record is an auxiliary file: the run goes on, and the lists in memory
    // are written whole by the next save.
  }
  // Measured from the end, so that even a slow disk spends most of the run
  // recording rather than saving.
  last_save_ = std::chrono::steady_clock::now();
  if (unsaved_) ScheduleSave();  // a failed save is tried again
}
