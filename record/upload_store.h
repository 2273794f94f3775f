#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "project/whole_file.h"
#include "record/record_saver.h"
#include "record/run_lock.h"
#include "record/upload_list.h"
#include "record/upload_paths.h"
#include "record/upload_record.h"

class TrkOutputBuffer;

// The process-wide upload record and upload list with their files, shared by
// every sync convertor of every run. The files are named after the project
// file: the record FileName + ".ini", its backup FileName + ".ini.old" (written,
// never read), the upload list FileName + ".log" (written, never read) and
// the recorded files' paths FileName + ".ini.paths" (TrkUploadPaths: read, and
// without it nothing is lost but the knowledge of where files went) and their
// stat data FileName + ".ini.stat" (trk_stat_file: read, and without it nothing
// is lost but a run's chance to skip reading unchanged files).
//
// The record describes one destination (server, port, user and target): its
// first line "Destination: ..." names it. A run to another destination starts
// from an empty record, since nothing it lists is known to be on that server; a
// record without the line (from an earlier version) is taken to describe the
// run's destination, and gets the line at its next save.
//
// One run of a process uses the store at a time; another process running the
// same project is kept out by the run lock (TrkRunLock on FileName +
// ".ini.lock"), held from Load until EndRun or the next Load.
//
// Saving: the files are rewritten whole, each replaced atomically, so a crash
// or a full disk never leaves a truncated record. A save writes each file
// straight from the lists, never building its text whole (a record of a
// million files would be 200 MB of texts), holding the store's lock shared
// while the bytes are copied out and not while they are flushed to disk:
// lookups and queued recordings (RecordLater) go on meanwhile, and only a
// change made at once (Recorded, Statted, Forget, a full queue) waits for the
// copy.
// While a run's workers record (from NewQueue to WorkersDone), every save of the run is
// made by the saver's thread (TrkRecordSaver), the first at once and the next
// ones at least kSaveInterval after the previous one ended, or kSaveShare
// times as long as the previous one took when that is more: a save rewrites
// the whole record, so with a large one saves at a fixed interval would take
// most of the run. WorkersDone writes whatever is left. A
// crash loses at most the last interval's records, and those files are merely
// uploaded again at the next run. The stat data (trk_stat_file: derived, and
// about as large as the record) are written by the run's last save alone, so
// a crash loses them all and the next run merely reads its files again. A
// failed write keeps everything unsaved and is tried again. A store
// driven without queues (tests, benchmarks) saves at once when a save is due,
// and Flush writes the rest.
//
// Threads: every member may be called from any thread. mu_ guards the lists and
// the run's state; save_mu_ orders the saves and is taken before mu_, which a
// save holds only shared, and only while it copies a file's bytes out; mu_ is
// never held while the saver's thread is stopped (it takes mu_ to save).
// error_mu_ guards the last save's failure and is taken last. taking_mu_ is
// held while the queues' recordings are taken and made, before mu_, so that
// no one sees some taken and not yet made. A worker's Queue has a lock of its
// own, taken after mu_ when the store takes the queue over and alone when the
// worker adds to it, never before mu_.
class TrkUploadStore {
 public:
  static constexpr std::chrono::milliseconds kSaveInterval{200};
  // The time between saves in multiples of the last save's own time: saving
  // then takes at most a tenth of a run.
  static constexpr int kSaveShare = 9;
  // The most recordings a worker's queue holds before the worker makes them
  // itself unless a save is copying the lists out (RecordLater): some 20 MB. Less costs a first run over many small
  // files its speed (4,096: a tenth), the other worker waiting for each.
  static constexpr size_t kQueueLimit = 65536;
  // Recordings made under one hold of the store's lock when the saver takes
  // the queues: some hundred microseconds.
  static constexpr size_t kRecordSlice = 1024;
  // Reads of a record file that exists but cannot be read, before giving up.
  static constexpr int kLoadTries = 3;
  // The first line of a record that names its destination.
  static constexpr std::string_view kDestinationPrefix = "Destination: ";

  // The one store of the process, created on first use (at start-up).
  static TrkUploadStore& Process();

  TrkUploadStore();
  ~TrkUploadStore();
  TrkUploadStore(const TrkUploadStore&) = delete;
  TrkUploadStore& operator=(const TrkUploadStore&) = delete;

  static std::string RecordFileName(const std::string& project_file) { return project_file + ".ini"; }
  static std::string BackupFileName(const std::string& project_file) { return project_file + ".ini.old"; }
  static std::string UploadListFileName(const std::string& project_file) { return project_file + ".log"; }
  static std::string LockFileName(const std::string& project_file) { return project_file + ".ini.lock"; }
  static std::string PathsFileName(const std::string& project_file) { return project_file + ".ini.paths"; }
  static std::string StatFileName(const std::string& project_file) { return project_file + ".ini.stat"; }

  // The start of a run for the project file `project_file` and the run's
  // `destination` (empty: any): takes the project's run lock, empties both
  // lists, removes temporary files that an interrupted save left beside them,
  // replaces the backup with the record file's bytes (failures ignored) and
  // reads the record file when it exists. A record file that exists but still
  // cannot be read after kLoadTries attempts makes the run refused (Refusal):
  // carrying on with an empty record would overwrite it at the first save. So
  // does a lock held by another process (HeldElsewhere); the files are then
  // left alone. A `read_only` load (a dry run) writes nothing at all: no
  // backup, no temporaries removed, and nothing is ever saved. A record whose
  // destination line names `earlier` (the same destination as an earlier
  // version spelled it) is taken for `destination` and gets its line.
  void Load(const std::string& project_file, const std::string& destination = "", bool read_only = false,
            const std::string& earlier = "");
  // Empty, or why the current run must not record anything (the message every
  // file of the run fails with).
  std::string Refusal() const;
  // Another process holds the project's run lock.
  bool HeldElsewhere() const;
  // The end of a run, once every worker has ended: releases the run lock and
  // returns, for the user, why the run's records are not all saved (the files
  // are then uploaded again next time); empty when they are.
  std::string EndRun();

  // A record key (the digest of a file's path) as its 16 bytes.
  using Key = TrkUploadRecord::Digest;
  // The recorded content digest for `key`; empty when the file was never recorded.
  std::string Find(std::string_view key) const;
  std::string Find(const Key& key) const;
  // Whether `key`'s file, recorded with the digest `recorded`, is known to hold
  // those bytes still by its stat data `now` (see TrkUploadRecord::Unchanged).
  bool Unchanged(const Key& key, const std::string& recorded, const TrkFileStat& now) const;
  // Records an uploaded file (its key's line set to `digest`, its path appended
  // to the upload list, its paths noted unless `remote_path` is empty, its stat
  // data kept when its bytes were read with `stat` unchanged) and has it saved
  // (see Saving above).
  void Recorded(const std::string& key, const std::string& digest, const std::string& local_path,
                const std::string& remote_path = "", const std::optional<TrkFileStat>& stat = std::nullopt);
  // Recorded's arguments as a run has them: a worker's queue may hold tens
  // of thousands, so the digests are kept as their bytes.
  struct Recording {
    Key key, digest;
    std::string local_path, remote_path;
    std::optional<TrkFileStat> stat;
  };
  // One worker's recordings on their way to the lists (RecordLater).
  class Queue {
   private:
    friend class TrkUploadStore;
    std::mutex mu_;
    std::vector<Recording> recordings_;  // guarded by mu_
  };
  // Recorded, made by the store when it next saves (or lists the recorded
  // paths, or a worker ends) rather than at once. The worker takes only the
  // lock of its own `queue` (from NewQueue), so workers that record
  // thousands of files a second never wait for one another; the save is
  // asked for as Recorded asks for it, so the files are as soon on disk. A
  // worker whose queue reaches kQueueLimit makes them itself, unless a save is
  // copying the lists out (then it tries again at its next recording).
  void RecordLater(Queue& queue, Recording recording);
  // Keeps `stat` for a recorded file whose bytes, read with it unchanged, have
  // the digest `digest` (trusted only while the record says so), and has that
  // saved unless it was kept already.
  void Statted(const Key& key, const Key& digest, const TrkFileStat& stat);
  // Every recorded file whose paths are known, as the record stands.
  std::vector<TrkUploadPaths::Entry> RecordedPaths();
  // The paths of the file recorded under `key` (hexadecimal), when known.
  std::optional<TrkUploadPaths::Entry> RecordedPath(std::string_view key) const;
  // Takes `key`'s file out of the record (its server copy is gone) and has
  // that saved.
  void Forget(const std::string& key);
  // Writes whatever is unsaved, right here.
  void Flush();
  // Empty when every change is written; else why it is not.
  std::string SaveFailure() const;

  // A queue for one worker of the run (after the run's Load) to RecordLater
  // into. From the first one on, the run's saves are the saver thread's.
  std::shared_ptr<Queue> NewQueue();
  // Every worker of the run is through with its files: stops the saver's
  // thread and writes what is left, so the record is settled when the run's
  // end is reported.
  void WorkersDone();

  // The lists themselves, guarded by mu_: read them directly only while no run
  // uses the store.
  TrkUploadRecord UploadRecord;
  TrkUploadList UploadList;
  TrkUploadPaths UploadPaths;

 private:
  // One attempt at reading the record file for `destination`: true when it is
  // absent or was read. Under mu_.
  bool TryRead(const std::string& record_file, const std::string& destination, const std::string& earlier,
               std::string& error);
  // Makes the record's `lines` describe the destination whose line is `header`
  // (empty: any), which must outlive them: a record of another one loses its
  // entries. Under mu_.
  void UseDestination(std::vector<std::string_view>& lines, const std::string& header, const std::string& earlier);
  // Makes the backup file hold `bytes`, the record as loaded; failures ignored.
  void KeepBackup(const std::string& bytes) const;
  // Writes what is unsaved (the stat data, derived and as large as the
  // record, only `with_stats`: the timed saves leave them to the run's last
  // save); nothing when everything is written or the run is refused or read
  // only. Not under mu_. False when it could not be written: the failure is
  // remembered (SaveFailure) and the files are left as they were.
  bool Save(bool with_stats);
  // Replaces `file` with what `write` hands its buffer, under mu_ held shared.
  void WriteFile(const std::string& file, const std::function<void(TrkOutputBuffer&)>& write,
                 TrkFlush flush = TrkFlush::kToDisk) const;
  // The saver's save. False when it could not be written.
  bool SaveNow();
  // When the saver's next save is due.
  std::chrono::steady_clock::time_point NextSaveAt() const;
  // Reads the paths file, keeping the entries the record has. Under mu_.
  void ReadPaths();
  // Reads the stat file into the record's lines. Under mu_.
  void ReadStats();
  // Recorded's changes to the lists. Under mu_, held exclusively.
  void Record(const Recording& recording);
  // Makes the recordings of every queue, as one change. Under taking_mu_ and
  // mu_, held exclusively.
  void TakeQueued();
  // TakeQueued for the saver: mu_ is taken for kRecordSlice recordings at a
  // time, not for all of them at once, which would stop every worker's
  // lookups for as long. Not under mu_.
  void TakeQueuedInSlices();
  // A change to the lists (only to the stat data unless `record`): counted and
  // saved in time. Under mu_; true when the caller must Save outside mu_ (no
  // saver's thread runs and a save is due).
  bool Changed(bool record = true);
  std::string SaveFailureLocked() const;  // under mu_

  // Shared by the lookups (Find, Unchanged, Refusal) and saves, held
  // alone by every change: in a run where nothing changed the workers only
  // look, and never wait for each other.
  mutable std::shared_mutex mu_;
  std::string project_file_;  // guarded by mu_; of the last Load
  std::string refusal_;       // guarded by mu_
  bool held_elsewhere_ = false;  // guarded by mu_
  bool read_only_ = false;       // guarded by mu_
  uint64_t changes_ = 0;         // guarded by mu_; changes to the lists since the store was made
  // Guarded by mu_: the change count of the last change to more than the stat
  // data. A run that only refreshes stat data leaves the record, and the last
  // recording run's upload list, as they are.
  uint64_t record_changed_at_ = 0;
  bool saver_saves_ = false;     // guarded by mu_; from NewQueue until WorkersDone
  std::vector<std::shared_ptr<Queue>> queues_;  // guarded by mu_; the run's workers', ended ones' too
  TrkRunLock run_lock_;          // guarded by mu_

  // Written under save_mu_, read anywhere.
  std::atomic<uint64_t> written_{0};  // the change count of the last save written whole
  // The change count of the last save whose record, list and paths were
  // written, even when its stat data then failed.
  std::atomic<uint64_t> record_written_{0};
  std::atomic<std::chrono::steady_clock::time_point> last_save_{};  // when the last write ended
  std::atomic<std::chrono::steady_clock::duration> save_gap_{kSaveInterval};  // from last_save_ to the next
  std::atomic<bool> saving_{false};  // set by the saver's thread while it saves
  // Serialises saves, so an older state never lands after a newer one.
  std::mutex save_mu_;
  std::mutex taking_mu_;  // see Threads above
  mutable std::mutex error_mu_;
  std::string save_error_;  // guarded by error_mu_: why the last save failed

  // Last, so that its thread is stopped before the fields it uses go.
  TrkRecordSaver saver_;
};
