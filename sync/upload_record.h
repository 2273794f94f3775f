#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "sync/record_lines.h"

class TrkBatch;

// What one save writes: the record and upload list as they stood at one moment.
struct TrkRecordSnapshot {
  uint64_t changes = 0;  // the store's change count it was taken at
  std::string record_file, record_text;
  std::string list_file, list_text;
};

// The process-wide upload record and upload list with their files, shared by
// every sync convertor of every run. The files are named after the project
// file: the record FileName + ".ini", its backup FileName + ".ini.old" (written,
// never read) and the upload list FileName + ".log" (written, never read).
//
// The record describes one destination (server, port, user and target): its
// first line "Destination: ..." names it. A run to another destination starts
// from an empty record, since nothing it lists is known to be on that server; a
// record without the line (from an earlier version) is taken to describe the
// run's destination, and gets the line at its next save.
//
// Locking contract: every call is made while holding the batch lock of the run
// that uses the store (TrkBatchLock), except Write, which takes no batch lock.
// Load runs while the chain of workers is built, before any worker thread
// exists. Only one run of a process uses the store at a time; another process
// running the same project is kept out by an advisory lock on the file
// FileName + ".ini.lock", held from Load until the owner of the run releases it
// once every worker has ended (ReleaseRunLock) or the next Load; the kernel
// drops it when a process dies.
//
// Saving: both files are rewritten whole, each replaced atomically, so a crash
// or a full disk never leaves a truncated record. A save takes a snapshot under
// the batch lock and writes it outside, so no worker ever waits for the disk.
// While a run's workers are registered (WorkerCreated), every save of the run
// is made by a timer thread, the first at once and the next ones at least
// kSaveInterval after the previous one ended, so a site of many files does not
// rewrite its record after every single file; the run's last worker to end
// writes whatever is left. A crash loses at most the last interval's records, and
// those files are merely uploaded again at the next run. A failed write keeps
// everything unsaved and is tried again at the next save.
//
// The timer thread exists only while a run whose workers registered has
// something to save or has saved something, and is handed back to the run's
// last worker to end (WorkerEnded). It holds no reference to the batch between
// saves. A store driven without registered workers (tests, benchmarks) never
// starts it: Recorded then saves at once when a save is due, and Flush writes
// the rest.
class TrkUploadStore {
 public:
  static constexpr std::chrono::milliseconds kSaveInterval{200};
  // Reads of a record file that exists but cannot be read, before giving up.
  static constexpr int kLoadTries = 3;
  // The first line of a record that names its destination.
  static constexpr std::string_view kDestinationPrefix = "Destination: ";

  // The one store of the process, created on first use (at start-up).
  static TrkUploadStore& Process();

  static std::string RecordFileName(const std::string& project_file) { return project_file + ".ini"; }
  static std::string BackupFileName(const std::string& project_file) { return project_file + ".ini.old"; }
  static std::string UploadListFileName(const std::string& project_file) { return project_file + ".log"; }
  static std::string LockFileName(const std::string& project_file) { return project_file + ".ini.lock"; }

  // The start of a run for the project file `project_file` and the run's
  // `destination` (empty: any): takes the project's run lock, empties both
  // lists, removes temporary files that an interrupted save left beside them,
  // replaces the backup with the record file's bytes (failures ignored) and
  // reads the record file when it exists. A record file that exists but still
  // cannot be read after kLoadTries attempts makes the run refused (Refusal):
  // carrying on with an empty record would overwrite it at the first save. So
  // does a lock held by another process (HeldElsewhere); the files are then
  // left alone. A `read_only` load (a dry run) writes nothing at all: no
  // backup, no temporaries removed, and nothing is ever saved.
  void Load(const std::string& project_file, const std::string& destination = "", bool read_only = false);
  // Empty, or why the current run must not record anything (the message every
  // file of the run fails with).
  const std::string& Refusal() const { return refusal_; }
  // Another process holds the project's run lock.
  bool HeldElsewhere() const { return held_elsewhere_; }
  // Lets other processes run the project; the next Load takes the lock again.
  void ReleaseRunLock();
  // The end of a run, once every worker has ended: releases the run lock and
  // returns, for the user, why the run's records are not all saved (the files
  // are then uploaded again next time); empty when they are.
  std::string EndRun();

  // The recorded content digest for `key`; empty when the file was never recorded.
  std::string Find(std::string_view key) const { return UploadRecord.Find(key); }
  // Records an uploaded file (its key's line set to `digest`, its path appended
  // to the upload list) and has it saved (see Saving above).
  void Recorded(const std::string& key, const std::string& digest, std::string local_path);
  // What a save would write; nothing when everything is written or the run is refused.
  std::optional<TrkRecordSnapshot> TakeSnapshot() const;
  // Writes a snapshot unless a later one was written already. Any thread; the
  // batch lock need not (and should not) be held. A failed write is remembered
  // (SaveFailure) and leaves the files as they were.
  void Write(const TrkRecordSnapshot& snapshot);
  // Writes whatever is unsaved, right here.
  void Flush();
  // Empty when every change is written; else why it is not.
  std::string SaveFailure() const;

  // A sync worker of `batch`'s run was built (after the run's Load); `batch` is
  // the one whose lock guards the store for the run.
  void WorkerCreated(TrkBatch& batch);
  // A worker of the run ends. The last one gets the timer thread back, and
  // what is left to write: it must stop and join the timer (the jthread's
  // destructor does both) only after releasing the batch lock, which the
  // thread takes to save, and then Write the rest. What the others recorded
  // is in that rest or already written by the timer.
  struct RunEnd {
    std::jthread timer;
    std::optional<TrkRecordSnapshot> rest;
  };
  [[nodiscard]] RunEnd WorkerEnded();

  TrkUploadRecord UploadRecord;
  TrkUploadList UploadList;

 private:
  // Takes the run lock of `project_file`; false when another process holds it.
  bool LockRun(const std::string& project_file);
  // One attempt at reading the record file for `destination`: true when it is
  // absent or was read.
  bool TryRead(const std::string& record_file, const std::string& destination, std::string& error);
  // Makes the record's `lines` describe `destination` (empty: any): a record of
  // another one loses its entries.
  void UseDestination(std::vector<std::string>& lines, const std::string& destination);
  // Has the timer thread save once kSaveInterval has passed since the last save
  // ended, starting it when none runs. Needs registered workers.
  void ScheduleSave();
  // The timer thread: waits for a scheduled save and its time, then takes a
  // snapshot under the batch lock and writes it outside.
  void RunTimer(std::stop_token stop);

  // Guarded by the batch lock of the run using the store:
  std::string project_file_;  // of the last Load
  std::string refusal_;
  bool held_elsewhere_ = false;
  bool read_only_ = false;
  uint64_t changes_ = 0;  // changes to the lists since the store was made
  int workers_ = 0;       // the run's registered workers that have not ended
  int lock_fd_ = -1;      // the run lock's file, open while it is held

  // Written under save_mu_, read anywhere.
  std::atomic<uint64_t> written_{0};  // the change count of the last written snapshot
  std::atomic<std::chrono::steady_clock::time_point> last_save_{};  // when the last write ended
  // Serialises writes, so an older snapshot never lands after a newer one.
  mutable std::mutex save_mu_;
  std::string save_error_;  // guarded by save_mu_: why the last write failed

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
