#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "run/run.h"

class TrkBatch;
class TrkInfo;
class TrkMatchBase;
class TrkProject;
class TrkStopSignals;

// The console run: the project's run (TrkRun) from its start to its log,
// without a window. It lists the project's source, starts the run, waits for
// it with the progress line drawn when standard error is a terminal, and ends
// it: counters, failure report, the record, then the run log. SIGINT or
// SIGTERM stops the run at once (TrkRun::Stop) and the run still ends so:
// what was uploaded is recorded and logged.
//
// Ownership: one instance lives for the whole process; it owns the run. The
// project and the product information are not owned and must outlive it.
//
// Threads: everything on the main thread; the run's workers on their own.
class TrkMain {
 public:
  TrkMain(TrkProject& project, TrkInfo& info);
  TrkMain(const TrkMain&) = delete;
  TrkMain& operator=(const TrkMain&) = delete;

  // The whole console run; returns when every worker has ended and the log is
  // written. `filter` is the process-wide name filter (not owned; null lets every
  // file pass). Throws TrkError when the run cannot be done or its log cannot be
  // written; the caller ends the process with exit code 1 then. A run the
  // project's options refuse (TrkRun::RequireRunnable and RequireStartable,
  // an invalid Exclude) is
  // refused before anything is searched or uploaded, after the log (when
  // LogFile is set) has been written empty. A project whose record another
  // process is using is refused before any worker starts. A run whose upload
  // record could not be saved throws after the log is written, as does one
  // whose lock on the server another run held (TrkRun::Refused).
  // Why files failed goes to `err` at the end (TellFailureReasons).
  void Run(const TrkMatchBase* filter, std::ostream& err);

  // The run's console lines (the lines of its log) in the order in which the
  // items finished.
  std::vector<std::string> Lines() const;
  // The run's batch; null before Run.
  std::shared_ptr<TrkBatch> Batch() const;
  // SIGINT or SIGTERM when one stopped the last Run; else 0.
  int StopSignal() const { return stop_signal_; }

 private:
  // Lists the source; throws, after writing the log empty, when the run is refused.
  void List();
  // Until every worker has ended and let go, with the progress line drawn
  // meanwhile when standard error is a terminal.
  // A signal meanwhile stops the run.
  void WaitForTheRun(TrkStopSignals& signals) const;
  // What the listing could not do (TrkRun::ListingNotices), then one line on
  // standard error per distinct reason for failed files: "3 files failed: 553
  // Prohibited file name.", so that a cron mail says what to mend.
  void TellFailureReasons() const;

  TrkProject& project_;
  TrkInfo& info_;
  std::unique_ptr<TrkRun> run_;
  std::ostream* err_ = nullptr;  // during Run
  int stop_signal_ = 0;
};
