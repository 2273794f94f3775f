#include "app/console_runner.h"

#include <unistd.h>

#include "app/progress_line.h"
#include "app/stop_signals.h"
#include "batch/batch.h"
#include "project/error.h"
#include "project/project.h"

TrkMain::TrkMain(TrkProject& project, TrkInfo& info) : project_(project), info_(info) {}

void TrkMain::Run(const TrkMatchBase* filter, std::ostream& err) {
  err_ = &err;
  TrkStopSignals signals;
  run_ = std::make_unique<TrkRun>(project_, info_, filter);
  List();
  TrkRun::Events events;
  events.ended = [&signals] { signals.RunEnded(); };
  run_->Start(project_.GetTargetDir(), std::move(events), TrkRun::HeldRecord::kRefuseTheRun);
  WaitForTheRun(signals);
  run_->Batch()->WaitForSearch();  // every listed file counted
  const std::string unsaved = run_->Finish();
  run_->WriteLog();
  stop_signal_ = TrkStopSignals::Caught();
  TellFailureReasons();
  if (!unsaved.empty()) throw TrkError(unsaved);
  // Every file failed with it: the run as a whole did not happen.
  if (const std::string refused = run_->Refused(); !refused.empty()) throw TrkError(refused);
}

void TrkMain::List() {
  try {
    TrkRun::RequireRunnable(project_.GetSource(), project_.GetTargetDir());
    TrkRun::RequireStartable(project_, project_.GetTargetDir());
    run_->List(project_.GetSource(), project_.GetTargetDir(), project_.GetSubdir());
  } catch (const TrkError&) {
    // The log says nothing was done: no item has finished.
    run_->WriteLog();
    throw;
  }
}

void TrkMain::TellFailureReasons() const {
  for (const std::string& notice : run_->ListingNotices()) *err_ << notice << '\n';
  for (const auto& [reason, files] : run_->FailureReasons()) {
    *err_ << files << (files == 1 ? " file" : " files") << " failed: " << reason << '\n';
  }
  err_->flush();
}

void TrkMain::WaitForTheRun(TrkStopSignals& signals) const {
  // People watching a terminal get the line, a CI job's log a line now and
  // then; cron mail and other logs stay as they were.
  std::unique_ptr<TrkProgressLine> progress;
  if (const auto style = TrkProgressLine::WantedOn(STDERR_FILENO)) {
    progress = std::make_unique<TrkProgressLine>(*run_->Batch(), STDERR_FILENO, *style);
  }
  while (signals.Wait() != 0) run_->Stop();
  run_->WaitForEnd();
}

std::vector<std::string> TrkMain::Lines() const { return run_ == nullptr ? std::vector<std::string>{} : run_->Lines(); }

std::shared_ptr<TrkBatch> TrkMain::Batch() const { return run_ == nullptr ? nullptr : run_->Batch(); }
