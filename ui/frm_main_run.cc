// The main window's runs: listing, starting, pausing, stopping and the end of a
// run, with the unattended modes.
#include <QCoreApplication>
#include <QEventLoop>
#include <filesystem>

#include "batch/batch.h"
#include "project/error.h"
#include "project/platform.h"
#include "project/project.h"
#include "report/info.h"
#include "report/result_lines.h"
#include "run/run.h"
#include "ui/frm_main.h"
#include "ui/gui_dispatcher.h"
#include "ui/list_model.h"
#include "ui/status_bar.h"

namespace {

std::string Text(const QLineEdit* edit) { return edit->text().toStdString(); }

// The folder part of `path` by the local rules: up to and including its last
// separator or drive colon; empty when it has none.
std::string LocalFolderPart(const std::string& path) {
  size_t end = trk_platform::LastSeparator(path);
#ifdef _WIN32
  const size_t colon = path.rfind(':');
  if (colon != std::string::npos && (end == std::string::npos || colon > end)) end = colon;
#endif
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

bool NeedsShortening(const std::string& target) {
  if (target.find_first_of("?*") != std::string::npos) return true;
  const size_t colon = target.find(':');
  if (colon != std::string::npos && colon >= 10) return true;
  std::string file = target;
  if (!file.empty() && trk_platform::LastSeparator(file) == file.size() - 1) file.pop_back();
  std::error_code error;
  return !file.empty() && std::filesystem::is_regular_file(file, error);
}

}  // namespace

bool TrkFrmMain::ListSource() {
  const std::string source = Text(eSource);
  if (source.empty()) {
    eSource->setFocus();
    RunEnded();
    return false;
  }
  NewBatch();
  if (source.rfind("http", 0) == 0) {
    AddFile(source);  // a web address is one item
  } else {
    run_->List(source, Text(eTarget), cSubdir->isChecked());
  }
  return true;
}

bool TrkFrmMain::IsRunning() const { return run_ != nullptr && run_->Running(); }

std::shared_ptr<TrkBatch> TrkFrmMain::Batch() const { return run_ == nullptr ? nullptr : run_->Batch(); }

void TrkFrmMain::aSearchExecute() {
  if (IsRunning()) return;
  ListSource();
}

void TrkFrmMain::NewBatch() {
  std::shared_ptr<TrkBatch> shown = model_->Batch();
  stopped_run_.reset();
  run_ = std::make_unique<TrkRun>(project_, info_, filter_);
  feed_ = model_->Show(run_->Batch());
  std::shared_ptr<TrkRowFeed> feed = feed_;
  run_->Batch()->SetOnItemAdded([feed](TrkBatch&, TrkNode& item) { feed->ItemAdded(item); });
  status_->Watch(run_->Batch());
  Retire(std::move(shown));
}

void TrkFrmMain::Retire(std::shared_ptr<TrkBatch> batch) {
  // Releasing a batch waits for its search thread; a stopped search ends at
  // its next folder entry, but the window never waits for it.
  if (batch == nullptr || batch->SearchDone()) return;
  batch->Terminate();
  dropped_.push_back(std::move(batch));
  release_timer_.start();
}

void TrkFrmMain::ReleaseEndedSearches() {
  std::erase_if(dropped_, [](const std::shared_ptr<TrkBatch>& batch) { return batch->SearchDone(); });
  if (dropped_.empty()) release_timer_.stop();
}

void TrkFrmMain::AddFile(const std::string& path) {
  SuggestTarget(LocalFolderPart(path));
  if (run_ == nullptr) NewBatch();
  run_->Add(path);
}

void TrkFrmMain::SuggestTarget(const std::string& folder) {
  if (project_.AutoTarget && eTarget->text().isEmpty()) eTarget->setText(QString::fromStdString(folder));
}

std::string TrkFrmMain::NormaliseTarget() {
  std::string target = Text(eTarget);
  bool changed = false;
  while (!target.empty() && NeedsShortening(target)) {
    if (trk_platform::LastSeparator(target) == target.size() - 1) target.pop_back();
    target = LocalFolderPart(target);
    changed = true;
  }
  if (changed) eTarget->setText(QString::fromStdString(target));
  return target;
}

void TrkFrmMain::aConvertExecute() {
  if (IsRunning()) return;
  daemon_timer_.stop();
  std::string target = Text(eTarget).empty() ? std::string() : NormaliseTarget();
  if (target.empty()) {
    eTarget->setFocus();
    RunEnded();
    return;
  }
  if (project_.PathDelimiter == '\\') {
    std::error_code ignored;
    std::filesystem::create_directories(target, ignored);
  }
  if (target.back() != project_.PathDelimiter) {
    target += project_.PathDelimiter;
    eTarget->setText(QString::fromStdString(target));
  }
  project_.UpdateOptions(false);
  try {
    TrkRun::RequireStartable(project_, target);
  } catch (const TrkError& e) {
    // Nobody watches an unattended run: the exit code must tell.
    if (project_.IsAutoRun()) exit_code_ = 1;
    ReportError(e.what());
    RunEnded();
    return;
  }
  try {
    // A finished batch is never run again: a run after it lists afresh.
    if ((run_ == nullptr || run_->Batch()->IsExhausted()) && !ListSource()) return;
  } catch (const std::exception&) {
    RunEnded();
    return;
  }
  StartWorkers(target);
}

void TrkFrmMain::StartWorkers(const std::string& target) {
  std::shared_ptr<TrkRowFeed> feed = feed_;
  TrkRun::Events events;
  events.item_done = [feed](TrkBatch&, TrkNode& item) { feed->ItemDone(item); };
  events.ended = [this] { OnFinish(); };
  events.dispatcher = dispatcher_;
  ShowRunning();
  aStop->setEnabled(true);
  aPause->setEnabled(true);
  // A record another process holds fails every file with the reason, shown in its row.
  run_->Start(target, std::move(events), TrkRun::HeldRecord::kFailEachFile);
  status_->Start(run_->Batch());
  stopped_ = false;
}

void TrkFrmMain::aSearchConvertExecute() {
  aSearchExecute();
  aConvertExecute();
}

void TrkFrmMain::aPauseExecute() {
  if (!IsRunning()) return;
  // Stop stays: a worker that finishes its file may take long (connect retries).
  aPause->setEnabled(false);
  run_->Pause();
  aStop->setData(0);
}

void TrkFrmMain::aStopExecute() {
  stopped_ = true;
  aPause->setEnabled(false);
  aStop->setEnabled(false);
  if (!IsRunning()) {  // Stop during the pause between repeated runs
    daemon_timer_.stop();
    ShowIdle();
    return;
  }
  run_->Stop();
  aStop->setData(1);
}

void TrkFrmMain::OnFinish() {
  model_->Refresh();  // every item's last state, before the list is written
  status_->Stop();
  ShowIdle();
  ReportRun();
  if (aStop->data().toInt() == 1) {
    // The next run lists afresh; the rows stay until then. Kept, not released:
    // this runs within the last worker's end, which the release would wait for.
    stopped_run_ = std::move(run_);
    aStop->setData(0);
  }
  RunEnded();
}

void TrkFrmMain::ReportRun() {
  const std::string unsaved = run_->Finish();
  if (!unsaved.empty()) ReportError(unsaved);
}

void TrkFrmMain::RunEnded() {
  if (!project_.IsAutoRun()) return;
  const std::string log = project_.GetOption("LogFile");
  if (!log.empty()) {
    try {
      WriteListLog(log);
    } catch (const std::exception& e) {
      // Nobody watches an unattended run: the exit code must tell.
      exit_code_ = 1;
      ReportError(e.what());
    }
  }
  if (closing_) return;
  if (project_.GetDaemon() < 1) {
    QTimer::singleShot(0, this, &QWidget::close);
    return;
  }
  if (stopped_) return;
  // The pause is a timer, so the window stays responsive and Stop ends it; a
  // run that cannot start comes back here, a loop rather than nested calls.
  daemon_timer_.start(project_.GetDaemon());
  ShowWaiting();
}

void TrkFrmMain::AutoRun() {
  if (project_.IsAutoRun()) aConvertExecute();
}

void TrkFrmMain::WriteListLog(const std::string& path) {
  model_->Refresh();
  std::vector<std::string> lines;
  lines.reserve(model_->rowCount());
  for (int row = 0; row < model_->rowCount(); ++row) {
    lines.push_back(TrkListLine(model_->State(row), model_->FileName(row), model_->Result(row)));
  }
  TrkWriteLogFile(path, lines);
}

void TrkFrmMain::ShowIdle() {
  aConvert->setEnabled(true);
  bCreate->Show(aConvert);
  aSearchConvert->setEnabled(true);
  bSearchConvert->Show(aSearchConvert);
  aSearch->setEnabled(true);
  aPause->setEnabled(false);
  aStop->setEnabled(false);
  EnableBatchActions(true);
  emit RunningChanged(false);
}

void TrkFrmMain::ShowRunning() {
  aConvert->setEnabled(false);
  aSearchConvert->setEnabled(false);
  aSearch->setEnabled(false);
  bCreate->Show(aPause);
  bSearchConvert->Show(aStop);
  EnableBatchActions(false);
  emit RunningChanged(true);
}

void TrkFrmMain::ShowWaiting() {
  ShowIdle();
  aStop->setEnabled(true);
  bSearchConvert->Show(aStop);
}

void TrkFrmMain::EnableBatchActions(bool enabled) {
  for (QWidget* widget : {static_cast<QWidget*>(bSource), static_cast<QWidget*>(bSourceFile)}) {
    widget->setEnabled(enabled);
  }
  for (QAction* action : {aOpen, aNew, BrowseFiles1}) action->setEnabled(enabled);
  pm2->setEnabled(enabled);
}

void TrkFrmMain::StopAndWait() {
  if (!IsRunning()) return;
  closing_ = true;
  stopped_ = true;
  TrkRun& run = *run_;  // the end of the run moves it to stopped_run_
  run.Stop();
  aStop->setData(1);
  // The workers hand their ends to this thread: keep serving them.
  while (IsRunning()) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::ExcludeUserInputEvents);
  }
  run.WaitForEnd();
  closing_ = false;
}
