#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "report/result_lines.h"

class TrkBatch;
class TrkConvertor;
class TrkInfo;
class TrkMatchBase;
class TrkNode;
class TrkProject;

// The console run: one batch from start to end without a window. It searches the
// project's source, lets ThreadsCount workers process every file, notes the
// order in which the items finish, and at the end adds the usage counters, opens
// the failure report when a file failed, and writes the run log.
//
// Ownership: one instance lives for the whole process; it owns the run's batch,
// its chain of workers and its lines. The project and the product information are
// not owned and must outlive it.
//
// Threads: Run, Finish and destruction on the main thread; ItemDone on the worker
// threads, several at a time.
class TrkMain {
 public:
  TrkMain(TrkProject& project, TrkInfo& info);
  // Waits until every started worker's thread has let go of its worker, so that no
  // thread of the run outlives the objects it uses.
  ~TrkMain();
  TrkMain(const TrkMain&) = delete;
  TrkMain& operator=(const TrkMain&) = delete;

  // The whole console run; returns when every worker has ended and the log is
  // written. `filter` is the process-wide name filter (not owned; null lets every
  // file pass). Throws TrkError when the run cannot be done or its log cannot be
  // written; the caller ends the process with exit code 1 then. An empty Target
  // is refused before anything is searched or uploaded ("Target is empty"), after
  // the log (when LogFile is set) has been written empty; so is a source folder
  // that cannot be listed. A project whose record another process is using is
  // refused before any worker starts. A run whose upload record could not be
  // saved throws after the log is written.
  void Run(const TrkMatchBase* filter);
  // The end of the run: counters "A", "S" and "F", the failure report when any
  // file failed, then the log when LogFile is set. Called by Run.
  void Finish();
  // The item-done event of the workers: notes that the item finished.
  void ItemDone(TrkBatch& batch, TrkNode& item);

  // The run's console lines (the lines of its log) in the order in which the
  // items finished.
  std::vector<std::string> Lines() const;
  // The run's batch; null before Run.
  const std::shared_ptr<TrkBatch>& Batch() const { return batch_; }

  // How often the main thread looks at the pending-worker count.
  static constexpr int kPollMilliseconds = 100;

 private:
  // The log's text: the console line of every finished item, each followed by CR LF.
  std::string LogText() const;
  void WriteLog(std::string_view text) const;
  // Throws, after writing the log empty, when the folder part of `source` (the
  // current folder when it has none) does not exist or cannot be listed.
  void RequireSourceFolder(const std::string& source) const;
  // Until every worker has ended and let go, with the progress line drawn
  // meanwhile when standard error is a terminal.
  void WaitForTheRun() const;
  // After the pending-worker count reached 0: waits until each worker has ended
  // and its thread has dropped its reference to it.
  void WaitForWorkersToLetGo() const;

  TrkProject& project_;
  TrkInfo& info_;
  std::shared_ptr<TrkBatch> batch_;
  std::shared_ptr<TrkConvertor> convertor_;  // the first worker of the chain
  bool workers_started_ = false;
  // Locks itself; appended to by the workers. The lines are built from the
  // items at the end, which a finished item no longer changes.
  TrkFinishOrder finished_;
};
