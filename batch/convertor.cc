#include "batch/convertor.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>
#include <utility>

#include "project/error.h"

TrkWorkBase::TrkWorkBase(TrkBatch& batch) : batch_(batch.shared_from_this()), texts_(batch.WorkerTexts()) {}

TrkWorkBase::~TrkWorkBase() = default;

void TrkWorkBase::Start() {
  if (started_.exchange(true)) return;
  std::shared_ptr<TrkWorkBase> self = shared_from_this();
  try {
    std::thread([self] { self->Run(); }).detach();
  } catch (const std::system_error&) {
    // No thread: end at once on this thread, so the owner still counts this worker.
    Terminate();
    Run();
  }
}

void TrkWorkBase::Run() {
  Execute();
  DoTerminate();
  ended_.store(true, std::memory_order_release);
}

void TrkWorkBase::Execute() {
  try {
    while ((item_ = Next()) != nullptr) {
      try {
        ProcessItem();
      } catch (const TrkError& e) {
        SetResult(*item_, e.what());
      } catch (...) {
        batch_->ItemDone();
        throw;
      }
      batch_->ItemDone();
    }
  } catch (...) {
    // Any other error ends this worker only; its end sequence still runs.
    Terminate();
    ReleaseAhead();
  }
}

TrkNode* TrkWorkBase::Next() {
  if (ahead_ != nullptr) {
    TrkNode* item = std::exchange(ahead_, nullptr);
    // A worker asked to stop lets another have it; once the batch hands out
    // no more, nobody else would, so it is worked on here (a stopped run
    // leaves it then).
    if (!Terminated() || !batch_->HandBack(*item)) return item;
    batch_->ItemDone();
  }
  if (Terminated()) return nullptr;
  TrkNode* item = AwaitTurn() ? batch_->NextItem(&terminated_) : nullptr;
  if (item == nullptr) Terminate();
  return item;
}

TrkNode* TrkWorkBase::TakeAhead() {
  if (ahead_ != nullptr || Terminated()) return nullptr;
  ahead_ = batch_->TakeNow();
  return ahead_;
}

void TrkWorkBase::ReleaseAhead() {
  if (ahead_ == nullptr) return;
  batch_->HandBack(*ahead_);
  ahead_ = nullptr;
  batch_->ItemDone();
}

TrkConvertor::TrkConvertor(TrkBatch& batch, int number, TrkItemEvent on_item_done,
                           const std::shared_ptr<TrkChainShare>& share)
    : TrkWorkBase(batch), number_(std::clamp(number, 1, kMaxThreads)), on_item_done_(std::move(on_item_done)),
      share_(share) {
  if (share_ == nullptr) throw TrkError("A worker was made without its chain's share");
  share_->running_.fetch_add(1, std::memory_order_relaxed);
  share_->unsettled_.fetch_add(1, std::memory_order_relaxed);
  if (number_ > 1) {
    next_ = ClassOf(batch.Project()).make(batch, number_ - 1, on_item_done_, share_);
    if (next_ == nullptr) throw TrkError("The convertor class made no worker");
  }
}

TrkConvertor::~TrkConvertor() = default;

int TrkConvertor::ThreadsCount(const TrkProject& project) {
  if (project.GetAutoThreads()) return kAutoThreads;
  return std::clamp(project.GetThreadsCount(), 1, kMaxThreads);
}

TrkConvertorClass TrkConvertor::ClassOf(const TrkProject& project) {
  if (project.ConvertorClass) return project.ConvertorClass;
  return TrkConvertorClassOf<TrkConvertor>();
}

std::shared_ptr<TrkConvertor> TrkConvertor::CreateWorkers(TrkBatch& batch, const std::string& target,
                                                          TrkItemEvent on_item_done) {
  batch.SetTargetDir(target);
  const TrkProject& project = batch.Project();
  const TrkConvertorClass convertor_class = ClassOf(project);
  const std::shared_ptr<TrkChainShare> share =
      convertor_class.share ? convertor_class.share(batch) : std::make_shared<TrkChainShare>();
  std::shared_ptr<TrkConvertor> first = convertor_class.make(batch, ThreadsCount(project), std::move(on_item_done), share);
  if (first == nullptr) throw TrkError("The convertor class made no worker");
  return first;
}

void TrkConvertor::StartAll() {
  Start();
  if (next_ != nullptr) next_->StartAll();
}

void TrkConvertor::SetOnEnd(TrkEndEvent on_end, std::shared_ptr<TrkDispatcher> dispatcher) {
  on_end_ = on_end;
  dispatcher_ = dispatcher;
  if (next_ != nullptr) next_->SetOnEnd(std::move(on_end), std::move(dispatcher));
}

void TrkConvertor::StopAll() {
  try {
    if (next_ != nullptr) {
      next_->StopAll();
      while (!next_->Terminated() && !next_->Ended()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  } catch (...) {
    // Stopping goes on with this worker whatever happened further down.
  }
  if (!Ended()) Terminate();
}

void TrkConvertor::AbortAll() {
  for (TrkConvertor* worker = this; worker != nullptr; worker = worker->NextWorker()) {
    if (!worker->Ended()) worker->Abort();
  }
}

void TrkConvertor::WaitUntilLetGo(std::chrono::milliseconds limit) const {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point give_up = Clock::now() + limit;
  for (const TrkConvertor* worker = this; worker != nullptr; worker = worker->NextWorker()) {
    while (!worker->Ended()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // A worker's thread drops its reference right after the worker has ended.
    while (worker->weak_from_this().use_count() > 1 && Clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

void TrkConvertor::ConvertFile(TrkBatch& /*batch*/, TrkNode& /*item*/) {}

void TrkConvertor::ProcessItem() {
  handed_back_ = false;
  ConvertFile(Batch(), *Item());
  if (handed_back_) return;
  if (on_item_done_) on_item_done_(Batch(), *Item());
}

bool TrkConvertor::HandBackItem() {
  if (handed_back_ || Item() == nullptr || !Batch().HandBack(*Item())) return false;
  handed_back_ = true;
  Terminate();
  return true;
}

void TrkConvertor::DoTerminate() {
  // Counted as the worker's items are through: the last to get here knows
  // that every item the chain was to do is done.
  const bool last = share_->running_.fetch_sub(1, std::memory_order_acq_rel) == 1;
  // The end must still be reported whatever fails, or the owner would wait forever.
  try {
    if (last) EndRun();
  } catch (...) {
  }
  try {
    EndWork();
  } catch (...) {
  }
  if (share_->unsettled_.fetch_sub(1, std::memory_order_acq_rel) == 1) RunEndEvent();
}

void TrkConvertor::RunEndEvent() {
  if (!on_end_) return;
  try {
    if (dispatcher_ != nullptr) {
      dispatcher_->RunOnMain(on_end_);
    } else {
      on_end_();
    }
  } catch (...) {
    // An error in the owner's handler must not stop the end from being counted.
  }
}
