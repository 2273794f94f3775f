#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "project/project.h"
#include "report/result_lines.h"

class TrkBatch;
class TrkConvertor;
struct TrkUnreadFolder;
class TrkDispatcher;
class TrkInfo;
class TrkMatchBase;
class TrkOutputBuffer;
class TrkProject;

// One listing of a project and the runs made on it, from the refusals to the
// log: the batch, the chain of workers, the count of the workers still running,
// the usage counters, the failure report, the end of the upload record and the
// run log. The console starts a run and waits for it; the window starts one,
// shows it and repeats it. Neither touches the workers or the record itself.
//
// A run is started on the listed batch (Start) and ends once its last worker
// has ended; one that was paused may be started again on the same batch until
// the batch has handed out every item.
//
// Ownership: owns the batch (shared with the workers, which keep it alive while
// they run) and the chain of its last run. The project, the product information
// and the filter belong to the program and outlive it. Destroying a run whose
// workers were started waits until they have ended and let go of it, so an
// owner with a dispatcher lets them end first (its thread runs their ends).
//
// Threads: the owner's thread for everything but the events. The chain's end
// reaches the run through the owner's dispatcher (on the owner's thread) or,
// without one, on its last worker's thread; mu_ guards what it changes.
class TrkRun {
 public:
  // What a run does when another process is running the same project.
  enum class HeldRecord {
    kRefuseTheRun,  // Start throws: both runs would upload everything that remains
    kFailEachFile,  // the run goes ahead and every file fails with the reason
  };

  // The owner's part of a run.
  struct Events {
    // Each finished item, on the worker's thread, after the run noted it.
    TrkItemEvent item_done;
    // The run's end, once its last worker has ended: on the dispatcher's thread,
    // or on the last worker's thread without a dispatcher. May stay unset.
    std::function<void()> ended;
    // Runs the workers' ends on the owner's thread; null: on their own threads.
    std::shared_ptr<TrkDispatcher> dispatcher;
  };

  // Makes the run's empty batch. `filter` is the process-wide name filter (not
  // owned; null lets every file pass).
  TrkRun(TrkProject& project, TrkInfo& info, const TrkMatchBase* filter);
  ~TrkRun();
  TrkRun(const TrkRun&) = delete;
  TrkRun& operator=(const TrkRun&) = delete;

  // Throws TrkError when a run of `source` to `target` must not start at all:
  // an empty Target ("Target is empty"; every file would land in the server's
  // login folder), or a source folder that does not exist or cannot be listed
  // (an unmounted disk must not pass for a folder with nothing to upload).
  static void RequireRunnable(const std::string& source, const std::string& target);

  // Throws TrkError when the project's options refuse a run to `target`
  // before anything happens: deleted files moved inside it (DeleteTo).
  static void RequireStartable(const TrkProject& project, const std::string& target);

  // Lists `source` on the batch's search thread (see TrkBatch::Start). Throws
  // TrkError, before anything is listed, for an invalid Exclude.
  void List(const std::string& source, const std::string& target, bool recurse);
  // Hands in one chosen or dropped file.
  void Add(const std::string& path);
  const std::shared_ptr<TrkBatch>& Batch() const { return batch_; }

  // Starts ThreadsCount workers on the batch, sending its files to `target`,
  // and counts the run ("C"). Throws TrkError, with no worker started, when
  // `held` refuses a project whose record another process is using, or
  // RequireStartable refuses the run.
  void Start(const std::string& target, Events events, HeldRecord held);
  // Whether a started run has workers that have not ended.
  bool Running() const;
  // Asks the workers to stop after the item in hand; the batch keeps its
  // remaining items for the next Start.
  void Pause();
  // As Pause, and at once: the listing stops, and every worker gives up the
  // file in hand whatever it is doing (a wait between connect attempts, a
  // connect, a login, a transfer). Such a file stays unfinished and unrecorded.
  void Stop();
  // Returns once every worker has ended and its thread has let go of it. For an
  // owner without a dispatcher (with one, the owner's thread runs the ends).
  void WaitForEnd() const;

  // The end of a run, once every worker has ended: counts the files ("A", "S",
  // "F"), opens the failure report when a file failed and ends the record's part
  // of the run. Returns, for the user, why the run's records are not all saved;
  // empty when they are. An owner that wants every listed file counted waits for
  // the listing first (TrkBatch::WaitForSearch).
  std::string Finish();
  // Why the ended run did nothing though it ran: another process held what
  // it needed (the server's lock). Empty when it was not so.
  std::string Refused() const;

  // The run log's text: the console line of every finished item in the order
  // the items finished, each followed by CR LF.
  std::string LogText() const;
  std::vector<std::string> Lines() const;
  // Why the run's files failed: each distinct reason (a failed item's Reason,
  // else its result text) with the number of files it hit, in item order. The
  // rows of folders the listing could not read are told by ListingNotices.
  std::vector<std::pair<std::string, int>> FailureReasons() const;
  // What the user must hear of the listing once it is done, one line each:
  // every folder it could not read (UnreadText), and a source that listed no
  // file at all (an unmounted disk, a folder emptied by mistake) unless the
  // run was stopped.
  std::vector<std::string> ListingNotices() const;
  // "cannot read folder /srv/site/s: Permission denied; its files were
  // neither uploaded nor deleted".
  static std::string UnreadText(const TrkUnreadFolder& folder);
  // Writes LogText as the run log when LogFile is set. Throws TrkError when it
  // cannot be written.
  void WriteLog() const;

 private:
  // Hands LogText to `out`, a line at a time.
  void WriteLogTo(TrkOutputBuffer& out) const;
  // The chain's end, once its last worker has ended: the unread folders'
  // rows when the batch handed out every item, then the owner is told.
  void ChainEnded();
  // A failed row of the run's list and log for each folder the listing could
  // not read: the skip is the walk's rule, the silence was not.
  void ReportUnreadFolders();
  // Waits until every worker's thread has let go of it.
  void WaitUntilLetGo() const;

  TrkProject& project_;
  TrkInfo& info_;
  std::shared_ptr<TrkBatch> batch_;
  std::shared_ptr<TrkConvertor> convertor_;  // the first worker of the last run
  std::function<void()> ended_;              // set by Start, before any worker runs
  TrkItemEvent item_done_;                   // set by Start, before any worker runs
  std::atomic<bool> stopped_{false};
  // Appended to by the workers; locks itself. The log is built from the items
  // at the end, which a finished item no longer changes.
  TrkFinishOrder finished_;

  mutable std::mutex mu_;
  mutable std::condition_variable all_ended_;
  bool running_ = false;  // guarded by mu_; from Start until ChainEnded is through
};
