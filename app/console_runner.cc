#include "app/console_runner.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "app/progress_line.h"
#include "batch/batch.h"
#include "batch/convertor.h"
#include "batch/node.h"
#include "batch/pending_workers.h"
#include "project/error.h"
#include "project/platform.h"
#include "project/project.h"
#include "project/text_file.h"
#include "report/failure_report.h"
#include "report/info.h"
#include "sync/upload_store.h"

TrkMain::TrkMain(TrkProject& project, TrkInfo& info) : project_(project), info_(info) {}

TrkMain::~TrkMain() {
  if (!workers_started_) return;
  // Normally Run has waited already; this covers a run left by an error.
  TrkPendingWorkers::Process().WaitForZero(std::chrono::milliseconds(kPollMilliseconds));
  WaitForWorkersToLetGo();
}

void TrkMain::Run(const TrkMatchBase* filter) {
  batch_ = TrkBatch::Create(project_, filter);
  const bool subfolders = project_.GetSubdir();
  const std::string target = project_.GetTargetDir();
  const std::string source = project_.GetSource();
  // Checked as the workers will see it: a "file:" text with nothing after the
  // scheme is as empty as no text at all.
  if (TrkBatch::UrlToPath(target).empty()) {
    // Without a target every file would land in the server's login folder.
    WriteLog("");
    throw TrkError("Target is empty");
  }
  RequireSourceFolder(source);
  try {
    batch_->Start(source, target, subfolders);  // refuses an invalid Exclude before it searches
  } catch (const TrkError&) {
    WriteLog("");
    throw;
  }
  convertor_ = TrkConvertor::CreateWorkers(*batch_, project_.GetTargetDir(),
                                           [this](TrkBatch& batch, TrkNode& item) { ItemDone(batch, item); });
  TrkUploadStore& store = TrkUploadStore::Process();
  if (store.HeldElsewhere()) {
    // Both runs would upload everything that remains, and the last save would win.
    batch_->Terminate();
    throw TrkError(store.Refusal());
  }

  TrkPendingWorkers::Process().Set(convertor_->WorkerNumber());
  workers_started_ = true;
  convertor_->StartAll();
  info_.AddCount("C", 0, 1);
  WaitForTheRun();
  Finish();
  std::string unsaved;
  {
    TrkBatchLock lock(*batch_);
    unsaved = store.EndRun();
  }
  if (!unsaved.empty()) throw TrkError(unsaved);
}

void TrkMain::WaitForTheRun() const {
  // Only people watching a terminal get the line; cron mail and logs stay as they were.
  std::unique_ptr<TrkProgressLine> progress;
  if (TrkProgressLine::WantedOn(STDERR_FILENO)) progress = std::make_unique<TrkProgressLine>(*batch_, STDERR_FILENO);
  TrkPendingWorkers::Process().WaitForZero(std::chrono::milliseconds(kPollMilliseconds));
  WaitForWorkersToLetGo();
}

void TrkMain::RequireSourceFolder(const std::string& source) const {
  std::string path = TrkBatch::UrlToPath(source);
  size_t separator = trk_platform::LastSeparator(path);
  const std::string folder = separator == std::string::npos ? "." : path.substr(0, separator + 1);
  std::error_code error;
  std::filesystem::directory_iterator listing(folder, error);
  if (!error) return;
  // An unmounted disk must not pass for a folder with nothing to upload.
  WriteLog("");
  throw TrkError("Cannot list the source folder \"" + folder + "\": " + error.message());
}

void TrkMain::Finish() {
  batch_->WaitForSearch();
  const int failed = batch_->Failed();
  info_.AddCount("A", 0, batch_->Count());
  info_.AddCount("S", 0, batch_->Succeeded());
  info_.AddCount("F", 0, failed);
  if (failed > 0) info_.OpenLink("", TrkFailureReportText(batch_->ErrorTexts()), "");
  WriteLog(LogText());
}

void TrkMain::ItemDone(TrkBatch& /*batch*/, TrkNode& item) {
  finished_.Append(item.Index);
}

std::vector<std::string> TrkMain::Lines() const { return SplitLines(LogText()); }

std::string TrkMain::LogText() const {
  std::string text;
  if (batch_ == nullptr) return text;
  const std::vector<int> order = finished_.Indices();
  TrkBatchLock lock(*batch_);
  const TrkItemList& items = lock.Items();
  // Sized first: a text grown by doubling would hold up to twice the log.
  size_t size = 0;
  for (int index : order) size += items[index].FileName.size() + items[index].ResultText.size() + 17;
  text.reserve(size);
  for (int index : order) {
    const TrkNode& item = items[index];
    TrkAppendConsoleLine(text, item.State, item.FileName, item.ResultText);
  }
  return text;
}

void TrkMain::WriteLog(std::string_view text) const {
  const std::string path = project_.GetOption("LogFile");
  if (!path.empty()) TrkWriteLogText(path, text);
}

void TrkMain::WaitForWorkersToLetGo() const { convertor_->WaitUntilLetGo(std::chrono::seconds(2)); }
