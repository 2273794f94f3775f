#include "sync/upload_record.h"

#include <fcntl.h>
#ifndef _WIN32
#include <sys/file.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <thread>
#include <utility>

#include "batch/batch.h"
#include "project/ascii.h"
#include "project/error.h"
#include "project/text_file.h"
#include "project/whole_file.h"
#include "select/file_utils.h"

namespace {

// A locked or briefly replaced record file often reads fine a moment later.
constexpr std::chrono::milliseconds kLoadRetryPause{100};

bool AllDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether `name` is a temporary file of a save of the file named `base`:
// ReplaceFile names them `base` + ".tmp" + the process id + "-" + a counter.
bool IsTemporaryOf(std::string_view name, std::string_view base) {
  if (!name.starts_with(base) || !name.substr(base.size()).starts_with(".tmp")) return false;
  std::string_view rest = name.substr(base.size() + 4);
  size_t dash = rest.find('-');
  return dash != std::string_view::npos && AllDigits(rest.substr(0, dash)) && AllDigits(rest.substr(dash + 1));
}

// Removes the temporary files that saves of `names` (all in one folder),
// interrupted by a crash or a full disk, left beside them. Only called with the
// project's run lock held, so no save of ours is writing one.
void RemoveStaleTemporaries(const std::vector<std::string>& names) {
  namespace fs = std::filesystem;
  const fs::path first(names.front());
  const fs::path folder = first.parent_path().empty() ? fs::path(".") : first.parent_path();
  std::vector<std::string> bases;
  for (const std::string& name : names) bases.push_back(fs::path(name).filename().string());
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string entry = it->path().filename().string();
    if (std::none_of(bases.begin(), bases.end(), [&](const std::string& base) { return IsTemporaryOf(entry, base); })) {
      continue;
    }
    std::error_code ignored;
    fs::remove(it->path(), ignored);
  }
}

}  // namespace

TrkUploadStore& TrkUploadStore::Process() {
  static TrkUploadStore store;
  return store;
}

void TrkUploadStore::Load(const std::string& project_file, const std::string& destination, bool read_only) {
  project_file_ = project_file;
  read_only_ = read_only;
  refusal_.clear();
  UploadRecord.Clear();
  UploadList.Clear();
  changes_ = 0;
  written_ = 0;
  last_save_ = std::chrono::steady_clock::time_point{};  // the run's first recorded file is saved at once
  workers_ = 0;     // the run's workers register after this
  {
    std::lock_guard<std::mutex> lock(save_mu_);
    save_error_.clear();
  }
  const std::string record_file = RecordFileName(project_file);
  held_elsewhere_ = !LockRun(project_file);
  if (held_elsewhere_) {
    refusal_ = "Another run of this project is using its upload record \"" + record_file +
               "\"; try again once it has ended.";
    return;
  }
  if (!read_only) RemoveStaleTemporaries({record_file, BackupFileName(project_file), UploadListFileName(project_file)});
  std::string error;
  for (int attempt = 1; attempt <= kLoadTries; ++attempt) {
    if (attempt > 1) std::this_thread::sleep_for(kLoadRetryPause);
    UploadRecord.Clear();
    if (TryRead(record_file, destination, error)) return;
  }
  refusal_ = "[Error]Cannot read the upload record \"" + record_file + "\" (" + error +
             "). The run is refused so that the record is not overwritten.";
}

bool TrkUploadStore::LockRun(const std::string& project_file) {
  ReleaseRunLock();
#ifndef _WIN32
  lock_fd_ = open(LockFileName(project_file).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  // A folder that cannot hold the lock file cannot hold a record either; the
  // save will say so.
  if (lock_fd_ < 0) return true;
  if (flock(lock_fd_, LOCK_EX | LOCK_NB) == 0) return true;
  ReleaseRunLock();
  return false;
#else
  (void)project_file;
  return true;
#endif
}

void TrkUploadStore::ReleaseRunLock() {
#ifndef _WIN32
  if (lock_fd_ >= 0) close(lock_fd_);  // drops the lock
#endif
  lock_fd_ = -1;
}

bool TrkUploadStore::TryRead(const std::string& record_file, const std::string& destination,
                             std::string& error) {
  std::error_code status_error;
  if (!std::filesystem::exists(record_file, status_error) && !status_error) {
    std::vector<std::string> none;
    UseDestination(none, destination);
    UploadRecord.Assign(std::move(none));
    return true;
  }
  try {
    std::string bytes = TrkFileUtils::ReadAll(record_file);
    try {
      if (!read_only_) ReplaceFile(BackupFileName(project_file_), bytes);
    } catch (const TrkError&) {
      // The backup is a courtesy; the record itself is untouched.
    }
    std::vector<std::string> lines = SplitLines(bytes);
    UseDestination(lines, destination);
    UploadRecord.Assign(std::move(lines));  // indexed once: a record may hold a million lines
    return true;
  } catch (const TrkError& e) {
    error = e.what();
  }
  // Gone between the look and the read: a missing record is the first run.
  return !std::filesystem::exists(record_file, status_error) && !status_error;
}

void TrkUploadStore::UseDestination(std::vector<std::string>& lines, const std::string& destination) {
  if (destination.empty()) return;
  const std::string header = std::string(kDestinationPrefix) + destination;
  auto named = std::find_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.starts_with(kDestinationPrefix); });
  if (named != lines.end() && *named == header) return;
  if (named == lines.end()) {
    // An earlier version's record, now taken for this destination, is saved even
    // by a run that records nothing: left without the line, it would be taken
    // for the next run's destination too, whichever that is.
    if (!lines.empty()) ++changes_;
  } else {
    // A record of another destination says nothing about this one: only its
    // lines of no entry stay.
    std::erase_if(lines, [](const std::string& line) {
      return line.starts_with(kDestinationPrefix) || line.find('=') != std::string::npos;
    });
  }
  lines.insert(lines.begin(), header);
}

void TrkUploadStore::Recorded(const std::string& key, const std::string& digest, std::string local_path) {
  UploadRecord.Put(key, digest);
  UploadList.Append(local_path);
  ++changes_;
  if (workers_ > 0) {
    ScheduleSave();
  } else if (std::chrono::steady_clock::now() - last_save_.load() >= kSaveInterval) {
    Flush();
  }
}

std::optional<TrkRecordSnapshot> TrkUploadStore::TakeSnapshot() const {
  if (read_only_ || !refusal_.empty() || changes_ == written_) return std::nullopt;
  return TrkRecordSnapshot{changes_, RecordFileName(project_file_), UploadRecord.Text(),
                           UploadListFileName(project_file_), UploadList.Text()};
}

void TrkUploadStore::Write(const TrkRecordSnapshot& snapshot) {
  std::lock_guard<std::mutex> lock(save_mu_);
  if (snapshot.changes <= written_) return;
  try {
    ReplaceFile(snapshot.record_file, snapshot.record_text);
    ReplaceFile(snapshot.list_file, snapshot.list_text);
    written_ = snapshot.changes;
    save_error_.clear();
  } catch (const TrkError& e) {
    // The run goes on; the lists in memory are written whole by the next save.
    save_error_ = e.what();
  }
  // Measured from the end, so that even a slow disk spends most of the run
  // recording rather than saving.
  last_save_ = std::chrono::steady_clock::now();
}

void TrkUploadStore::Flush() {
  if (std::optional<TrkRecordSnapshot> snapshot = TakeSnapshot()) Write(*snapshot);
}

std::string TrkUploadStore::EndRun() {
  ReleaseRunLock();
  const std::string unsaved = SaveFailure();
  if (unsaved.empty()) return unsaved;
  return "The upload record \"" + RecordFileName(project_file_) + "\" could not be saved (" + unsaved +
         "); the files of this run will be uploaded again.";
}

std::string TrkUploadStore::SaveFailure() const {
  if (read_only_ || changes_ == written_) return "";
  std::lock_guard<std::mutex> lock(save_mu_);
  return save_error_.empty() ? "it was not written" : save_error_;
}

void TrkUploadStore::WorkerCreated(TrkBatch& batch) {
  ++workers_;
  std::lock_guard<std::mutex> lock(timer_mu_);
  batch_ = batch.weak_from_this();
}

TrkUploadStore::RunEnd TrkUploadStore::WorkerEnded() {
  if (workers_ == 0 || --workers_ > 0) return {};
  RunEnd end;
  end.rest = TakeSnapshot();
  std::lock_guard<std::mutex> lock(timer_mu_);
  batch_.reset();
  save_due_ = false;
  end.timer = std::move(timer_);
  return end;
}

void TrkUploadStore::ScheduleSave() {
  std::lock_guard<std::mutex> lock(timer_mu_);
  const std::chrono::steady_clock::time_point at = last_save_.load() + kSaveInterval;
  // Most files of a busy run find their save already due at the same time:
  // waking the timer for each would cost a system call per file for nothing.
  if (save_due_ && save_at_ == at && timer_.joinable()) return;
  save_due_ = true;
  save_at_ = at;
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
    std::optional<TrkRecordSnapshot> snapshot;
    if (batch != nullptr) {
      TrkBatchLock batch_lock(*batch);
      snapshot = TakeSnapshot();
    }
    batch.reset();
    if (snapshot) Write(*snapshot);  // outside the batch lock: no worker waits for the disk
    lock.lock();
    if (snapshot && written_ < snapshot->changes && !batch_.expired()) {
      save_due_ = true;  // failed: try again after the interval
      save_at_ = last_save_.load() + kSaveInterval;
    }
  }
}
