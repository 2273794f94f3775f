#include "run/run.h"

#include <cstring>
#include <filesystem>
#include <unordered_map>

#include "batch/batch.h"
#include "batch/convertor.h"
#include "project/error.h"
#include "project/output_buffer.h"
#include "project/platform.h"
#include "project/project.h"
#include "project/text_file.h"
#include "report/failure_report.h"
#include "report/info.h"
#include "sync/removals.h"

namespace {

// How long the end of a run waits for the workers' threads to let go of them:
// they do so right after their end, but some other holder could keep one.
constexpr std::chrono::seconds kLetGoLimit{2};

}  // namespace

TrkRun::TrkRun(TrkProject& project, TrkInfo& info, const TrkMatchBase* filter)
    : project_(project), info_(info), batch_(TrkBatch::Create(project, filter)) {}

TrkRun::~TrkRun() {
  if (convertor_ != nullptr) WaitForEnd();
}

void TrkRun::RequireRunnable(const std::string& source, const std::string& target) {
  // Checked as the workers will see it: a "file:" text with nothing after the
  // scheme is as empty as no text at all.
  if (TrkBatch::UrlToPath(target).empty()) throw TrkError("Target is empty");
  const std::string path = TrkBatch::UrlToPath(source);
  const size_t separator = trk_platform::LastSeparator(path);
  const std::string folder = separator == std::string::npos ? "." : path.substr(0, separator + 1);
  std::error_code error;
  std::filesystem::directory_iterator listing(folder, error);
  if (error) throw TrkError("Cannot list the source folder \"" + folder + "\": " + error.message());
}

void TrkRun::RequireStartable(const TrkProject& project, const std::string& target) {
  TrkRemovalOptions::ForRun(project.Options(), TrkBatch::UrlToPath(target));
}

void TrkRun::List(const std::string& source, const std::string& target, bool recurse) {
  batch_->Start(source, target, recurse);
}

void TrkRun::Add(const std::string& path) { batch_->AddSingle(path); }

void TrkRun::Start(const std::string& target, Events events, HeldRecord held) {
  RequireStartable(project_, target);
  item_done_ = [this, done = std::move(events.item_done)](TrkBatch& batch, TrkNode& item) {
    finished_.Append(item.Index);
    if (done) done(batch, item);
  };
  convertor_ = TrkConvertor::CreateWorkers(*batch_, target, item_done_);
  const std::string in_use = convertor_->Share().InUseElsewhere();
  if (held == HeldRecord::kRefuseTheRun && !in_use.empty()) {
    batch_->Terminate();
    convertor_.reset();
    throw TrkError(in_use);
  }
  ended_ = std::move(events.ended);
  {
    std::lock_guard<std::mutex> lock(mu_);
    running_ = true;
  }
  convertor_->SetOnEnd([this] { ChainEnded(); }, std::move(events.dispatcher));
  convertor_->StartAll();
  info_.AddCount("C", 0, 1);
}

bool TrkRun::Running() const {
  std::lock_guard<std::mutex> lock(mu_);
  return running_;
}

void TrkRun::Pause() {
  if (convertor_ != nullptr) convertor_->StopAll();
}

void TrkRun::Stop() {
  stopped_ = true;
  batch_->Terminate();
  if (convertor_ != nullptr) convertor_->AbortAll();
}

void TrkRun::ChainEnded() {
  if (batch_->IsExhausted()) ReportUnreadFolders();
  {
    // Told once the rows are in: the owner's wait must find them there.
    std::lock_guard<std::mutex> lock(mu_);
    running_ = false;
    all_ended_.notify_all();
  }
  if (ended_) ended_();
}

void TrkRun::ReportUnreadFolders() {
  const std::vector<TrkUnreadFolder> folders = batch_->UnreadFolders();
  if (folders.empty()) return;
  TrkTextArena& texts = batch_->WorkerTexts();
  for (const TrkUnreadFolder& folder : folders) {
    const std::string text = UnreadText(folder);
    TrkNode& item = batch_->AddTaken(folder.path);
    item.SetResultText(texts.Keep(text));
    item.State = TrkNode::kFailure;
    batch_->RecordFailure(text);
    item_done_(*batch_, item);
  }
}

std::string TrkRun::UnreadText(const TrkUnreadFolder& folder) {
  std::string path = folder.path;
  if (path.size() > 1 && path.back() == trk_platform::kPathSeparator) path.pop_back();
  return "cannot read folder " + path + ": " + std::strerror(folder.error) +
         "; its files were neither uploaded nor deleted";
}

std::vector<std::string> TrkRun::ListingNotices() const {
  std::vector<std::string> notices;
  for (const TrkUnreadFolder& folder : batch_->UnreadFolders()) notices.push_back(UnreadText(folder));
  if (batch_->Listed() == 0 && !stopped_) {
    std::string source = batch_->SourceDir();
    if (source.size() > 1 && source.back() == trk_platform::kPathSeparator) source.pop_back();
    notices.push_back("Source " + (source.empty() ? std::string(".") : source) + " lists no files");
  }
  return notices;
}

void TrkRun::WaitForEnd() const {
  {
    std::unique_lock<std::mutex> lock(mu_);
    all_ended_.wait(lock, [this] { return !running_; });
  }
  WaitUntilLetGo();
}

void TrkRun::WaitUntilLetGo() const {
  if (convertor_ != nullptr) convertor_->WaitUntilLetGo(kLetGoLimit);
}

std::string TrkRun::Finish() {
  const int failed = batch_->Failed();
  info_.AddCount("A", 0, batch_->Count());
  info_.AddCount("S", 0, batch_->Succeeded());
  info_.AddCount("F", 0, failed);
  if (failed > 0) info_.OpenLink("", TrkFailureReportText(batch_->ErrorTexts()), "");
  return convertor_ == nullptr ? "" : convertor_->Share().Close();
}

std::string TrkRun::Refused() const { return convertor_ == nullptr ? "" : convertor_->Share().Refused(); }

std::vector<std::string> TrkRun::Lines() const { return SplitLines(LogText()); }

std::string TrkRun::LogText() const {
  return TrkOutputBuffer::Collect([this](TrkOutputBuffer& out) { WriteLogTo(out); });
}

void TrkRun::WriteLogTo(TrkOutputBuffer& out) const {
  const std::vector<int> order = finished_.Indices();
  TrkBatchLock lock(*batch_);
  const TrkItemList& items = lock.Items();
  for (int index : order) {
    const TrkNode& item = items[index];
    TrkAppendConsoleLine(out.Text(), item.State, item.FileName(), item.ResultText());
    out.Gathered();
  }
}

std::vector<std::pair<std::string, int>> TrkRun::FailureReasons() const {
  std::vector<std::pair<std::string, int>> reasons;
  std::unordered_map<std::string, size_t> at;
  TrkBatchLock lock(*batch_);
  for (const TrkNode& item : lock.Items()) {
    if (item.State != TrkNode::kFailure || item.FileName().ends_with(trk_platform::kPathSeparator)) continue;
    const std::string_view reason = item.Reason().empty() ? item.ResultText() : item.Reason();
    const auto [found, added] = at.try_emplace(std::string(reason), reasons.size());
    if (added) reasons.emplace_back(reason, 0);
    ++reasons[found->second].second;
  }
  return reasons;
}

void TrkRun::WriteLog() const {
  const std::string path = project_.GetOption("LogFile");
  if (path.empty()) return;
  // Never built whole: a run over a million files logs some 100 MB.
  TrkWriteLogFrom(path, [this](const TrkBytesSink& sink) {
    TrkOutputBuffer out(sink);
    WriteLogTo(out);
    out.Flush();
  });
}
