#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

class TrkBatch;

// What has been uploaded: for each file ever uploaded under a project, one line
// "KEY=VALUE", KEY the digest of the file's path and VALUE the digest of its
// bytes. Lines of any other form (blank, foreign, edited by hand) stay where
// they are and are written back unchanged, so the lines are the truth and the
// index only a way to find them: a lookup costs O(1) however long the record.
//
// Not thread-safe; see TrkUploadStore for who guards it.
class TrkUploadRecord {
 public:
  void Clear();
  // Makes `lines` the record, in their order.
  void Assign(std::vector<std::string> lines);

  // The text after the first "=" of the first line whose name (the text before
  // that "=") equals `key` without regard to ASCII letter case; empty when no
  // line matches. Lines without "=" have no name and never match.
  std::string Find(std::string_view key) const;
  // Rewrites the line Find would use as key=value, in place, or appends one.
  void Put(const std::string& key, const std::string& value);

  const std::vector<std::string>& Lines() const { return lines_; }

 private:
  // The index key of a name: ASCII upper case.
  static std::string Fold(std::string_view name);
  // Indexes line `at` unless an earlier line already has its name.
  void IndexLine(size_t at);

  std::vector<std::string> lines_;
  // Folded name -> position of the first line with that name. Lines are never
  // removed or moved, and a rewrite keeps the name, so positions stay valid.
  std::unordered_map<std::string, size_t> index_;
};

// The full local paths recorded during the current run, in the order recorded.
// Duplicates are kept. Not thread-safe; see TrkUploadStore.
class TrkUploadList {
 public:
  void Clear() { lines_.clear(); }
  void Append(std::string path) { lines_.push_back(std::move(path)); }
  const std::vector<std::string>& Lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

// The process-wide upload record and upload list with their files, shared by
// every sync convertor of every run. The files are named after the project
// file: the record FileName + ".ini", its backup FileName + ".ini.old" (written,
// never read) and the upload list FileName + ".log" (written, never read).
//
// Locking contract: every call is made while holding the batch lock of the run
// that uses the store (TrkBatchLock). Load runs while the chain of workers is
// built, before any worker thread exists. Only one run uses the store at a
// time; the owners of runs never overlap two of them.
//
// Saving: both files are rewritten whole, each replaced atomically, so a crash
// or a full disk never leaves a truncated record. To keep a site of many files
// from rewriting the record after every single file, Recorded saves only when
// the last save ended at least kSaveInterval ago; what it leaves unsaved is
// saved by a timer thread once the interval is over, so it does not wait for
// the next file while every worker spends minutes on one transfer; Flush, run
// as each worker ends, writes whatever is left. A crash loses at most the last
// interval's records, and those files are merely uploaded again at the next run.
//
// The timer thread exists only while a run whose workers registered
// (WorkerCreated) has something to save or has saved something: it starts at
// the first deferred save, sleeps while nothing is unsaved, and is handed back
// to the run's last worker to end (WorkerEnded). It holds no reference to the
// batch between saves. A store driven without registered workers (tests,
// benchmarks) never starts it and relies on Flush alone.
class TrkUploadStore {
 public:
  static constexpr std::chrono::milliseconds kSaveInterval{200};
  // Reads of a record file that exists but cannot be read, before giving up.
  static constexpr int kLoadTries = 3;

  // The one store of the process, created on first use (at start-up).
  static TrkUploadStore& Process();

  static std::string RecordFileName(const std::string& project_file) { return project_file + ".ini"; }
  static std::string BackupFileName(const std::string& project_file) { return project_file + ".ini.old"; }
  static std::string UploadListFileName(const std::string& project_file) { return project_file + ".log"; }

  // The start of a run for the project file `project_file`: empties both lists,
  // copies the record file byte for byte to its backup (failures ignored) and
  // reads the record file when it exists. A record file that exists but still
  // cannot be read after kLoadTries attempts makes the run refused (Refusal):
  // carrying on with an empty record would overwrite it at the first save.
  void Load(const std::string& project_file);
  // Empty, or why the current run must not record anything (the message every
  // file of the run fails with).
  const std::string& Refusal() const { return refusal_; }

  // The recorded content digest for `key`; empty when the file was never recorded.
  std::string Find(std::string_view key) const { return UploadRecord.Find(key); }
  // Records an uploaded file (its key's line set to `digest`, its path appended
  // to the upload list) and saves unless a save ended less than kSaveInterval ago.
  void Recorded(const std::string& key, const std::string& digest, std::string local_path);
  // Saves when something recorded has not been written yet.
  void Flush();
  // A sync worker of `batch`'s run was built (after the run's Load); `batch` is
  // the one whose lock guards the store for the run.
  void WorkerCreated(TrkBatch& batch);
  // A worker of the run ends: Flush. The last one gets the timer thread back
  // and must stop and join it (the returned jthread's destructor does both)
  // only after releasing the batch lock, which the thread takes to save.
  [[nodiscard]] std::jthread WorkerEnded();
  // Writes the record file, then the upload list file. A failed write is
  // swallowed and skips the rest; the lists keep their content (and stay
  // marked unsaved), so the next save writes everything.
  void Save();

  TrkUploadRecord UploadRecord;
  TrkUploadList UploadList;

 private:
  // One attempt at reading the record file: true when it is absent or was read.
  bool TryRead(const std::string& record_file, std::string& error);
  // Has the timer thread save kSaveInterval after the last save, starting it
  // when none runs; nothing when no registered worker is at work.
  void ScheduleSave();
  // The timer thread: waits for a scheduled save and its time, then saves
  // under the batch lock.
  void RunTimer(std::stop_token stop);

  // Guarded by the batch lock of the run using the store:
  std::string project_file_;  // of the last Load
  std::string refusal_;
  bool unsaved_ = false;
  std::chrono::steady_clock::time_point last_save_{};  // when the last save ended
  int workers_ = 0;  // the run's registered workers that have not ended

  // Taken after the batch lock or alone, never the other way round. Guards the
  // fields below it. The timer thread never holds it while it saves.
  std::mutex timer_mu_;
  std::condition_variable_any timer_cv_;  // a save was scheduled or moved
  std::weak_ptr<TrkBatch> batch_;         // the current run's; never kept alive
  bool save_due_ = false;                 // a save is scheduled
  std::chrono::steady_clock::time_point save_at_{};  // not before this
  // Last, so that it stops and is joined before the fields it uses go.
  std::jthread timer_;
};
