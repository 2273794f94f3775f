#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

#include "batch/batch.h"
#include "batch/dispatcher.h"
#include "project/project.h"

// The end event of a worker: its context is whatever the callable captures.
using TrkEndEvent = std::function<void()>;

// One worker thread: takes items from its batch one at a time and hands each to
// ProcessItem, telling the batch when it is through with each (ItemDone,
// whatever ProcessItem did), until the batch has none left or it is asked to stop.
//
// Ownership: always held by std::shared_ptr. While its thread runs the thread holds
// a reference to the worker, so a worker is never freed under its own loop; when
// the loop ends the end sequence (DoTerminate) runs on the worker's thread, and
// the object itself goes when the last reference goes (the owner's chain or the
// thread, whichever is later). The worker holds a reference to its batch.
class TrkWorkBase : public std::enable_shared_from_this<TrkWorkBase> {
 public:
  explicit TrkWorkBase(TrkBatch& batch);
  virtual ~TrkWorkBase();
  TrkWorkBase(const TrkWorkBase&) = delete;
  TrkWorkBase& operator=(const TrkWorkBase&) = delete;

  // Starts the thread; later calls do nothing. A worker asked to stop before it
  // starts skips its loop but still runs its end sequence.
  void Start();
  // The stop request; seen between items only.
  void Terminate() { terminated_.store(true, std::memory_order_release); }
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
  // Terminate, and the item in hand is given up as soon as possible: work
  // that may take long (a wait, a connect, a transfer) watches StopToken and
  // ends at its request. Any thread.
  void Abort() {
    abort_.request_stop();
    Terminate();
  }
  std::stop_token StopToken() const { return abort_.get_token(); }
  // True once the end sequence has run completely.
  bool Ended() const { return ended_.load(std::memory_order_acquire); }

  TrkBatch& Batch() const { return *batch_; }
  // The item in hand; null once the batch ran out. Worker's thread only.
  TrkNode* Item() const { return item_; }

 protected:
  // For ProcessItem: takes, without waiting, the item this worker works on
  // next, so that work for it can begin while the item in hand is still being
  // worked on (a file opened on the server while the last one's bytes are on
  // their way). Null when none is to be had at once, or one was taken ahead
  // already. The worker works on it next, unless it is asked to stop
  // meanwhile: then the item goes back to the batch when the batch still
  // hands items out.
  TrkNode* TakeAhead();

  // Asked before each item is taken: false ends the worker, its end sequence
  // run as after the batch's last item. May wait, for a turn the worker's
  // program gives out, as long as it watches Terminated.
  virtual bool AwaitTurn() { return true; }
  // Works on Item(). A TrkError escaping it becomes the item's ResultText (State
  // unchanged, no item-done event, no counter) and the loop goes on; any other
  // exception ends this worker.
  virtual void ProcessItem() {}
  // Sets `item`'s ResultText to a copy of `text` that the batch keeps. Worker's
  // thread only.
  void SetResult(TrkNode& item, std::string_view text) { item.SetResultText(texts_.Keep(text)); }
  // Runs on the worker's thread after the loop, whatever ended it. Must not throw.
  virtual void DoTerminate() {}

 private:
  void Execute();
  void Run();  // Execute, then DoTerminate
  // The item to work on next: the one taken ahead, else the batch's next once
  // AwaitTurn allows; null ends the loop.
  TrkNode* Next();
  // Gives the item taken ahead back to the batch and tells it done, as a
  // worker whose loop ended unexpectedly must.
  void ReleaseAhead();

  const std::shared_ptr<TrkBatch> batch_;
  TrkTextArena& texts_;      // the batch's, for this worker's results; worker's thread only
  TrkNode* item_ = nullptr;   // worker's thread only
  TrkNode* ahead_ = nullptr;  // taken ahead, not yet worked on; worker's thread only
  std::atomic<bool> terminated_{false};
  std::stop_source abort_;  // thread-safe itself
  std::atomic<bool> started_{false};
  std::atomic<bool> ended_{false};
};

// What the workers of one chain share: made by the chain's convertor class
// before any worker (TrkConvertorClass::share) and held by every worker. The
// base counts the chain's workers through their end sequence, so that the
// chain's closing work (EndRun) and its end event each happen once; a program
// derives from it for the state its workers share over a run and for what the
// run's owner asks of that state as the run starts and once it has ended.
//
// Threads: InUseElsewhere, Refused and Close on the owner's thread, before the chain
// starts and after it has ended; the count by the workers.
class TrkChainShare {
 public:
  virtual ~TrkChainShare() = default;
  // Why the chain cannot run now, since what it needs is in use by another
  // process; empty when it can.
  virtual std::string InUseElsewhere() const { return ""; }
  // Why the chain, once it has ended, did nothing: what it needed was held by
  // another process meanwhile (a lock on the server). Empty when it was not.
  virtual std::string Refused() const { return ""; }
  // The end of the shared state, once the chain has ended: returns, for the
  // user, what of the run could not be kept; empty when all was.
  virtual std::string Close() { return ""; }

 private:
  friend class TrkConvertor;
  std::atomic<int> running_{0};    // the chain's workers whose end sequence has not begun
  std::atomic<int> unsettled_{0};  // the chain's workers whose end sequence has not ended
};

// The per-file contract, the chain of workers and the owner's events. A program
// derives its convertor from this class, overrides ConvertFile (and, for state that
// must be settled when a worker ends, EndWork; for the run's closing work, EndRun),
// and registers a factory for it as the project's ConvertorClass (see
// TrkConvertorClassOf).
//
// The chain: the first worker has the run's thread count as its WorkerNumber, each
// next one one less, the last 1. The base constructor builds the rest of the chain
// through the project's ConvertorClass before it returns, each worker with the
// chain's share, so in a derived class whose constructor runs the base one first,
// the worker numbered 1 is complete before any other finishes its constructor, and
// no thread runs yet.
//
// End of a worker, on its own thread and in this order: on the last of the chain's
// workers to get there, EndRun(); EndWork(); then, on the last of them to get
// here, the chain's end event, through the dispatcher (waiting until the main
// thread has run it) or directly when there is no dispatcher. The chain's share
// counts the workers, so the owner is told once, when every worker's EndWork is
// through. No batch lock is held while the end event runs.
class TrkConvertor : public TrkWorkBase {
 public:
  static constexpr int kMaxThreads = 64;
  // The workers ThreadsCount=Auto makes: the most it may open at once.
  static constexpr int kAutoThreads = 16;

  // `number` is clamped to 1..kMaxThreads; `share` is the chain's (never null).
  TrkConvertor(TrkBatch& batch, int number, TrkItemEvent on_item_done, const std::shared_ptr<TrkChainShare>& share);
  ~TrkConvertor() override;

  // The project's thread count as every owner must use it: below 1 counts as 1,
  // above kMaxThreads as kMaxThreads, Auto as kAutoThreads.
  static int ThreadsCount(const TrkProject& project);
  // The project's ConvertorClass, or the base class when none is registered.
  static TrkConvertorClass ClassOf(const TrkProject& project);
  // Sets the batch's TargetDir from `target`, makes the chain's share, then
  // builds the chain of ThreadsCount workers of the project's class. No worker
  // runs yet.
  static std::shared_ptr<TrkConvertor> CreateWorkers(TrkBatch& batch, const std::string& target,
                                                     TrkItemEvent on_item_done);

  // Starts this worker, then the rest of the chain.
  void StartAll();
  // Sets the chain's end event, which the last of its workers to end runs
  // once, after every worker's EndWork. Call before StartAll. `dispatcher` runs the event on the main
  // thread; null runs it on the worker's own thread (tests, or owners that
  // guard their own state).
  void SetOnEnd(TrkEndEvent on_end, std::shared_ptr<TrkDispatcher> dispatcher);
  // Asks every worker of the chain to stop, the last first. Workers that have
  // ended are left alone. Main thread; errors are ignored.
  void StopAll();
  // Aborts every worker of the chain that has not ended. Any thread.
  void AbortAll();

  // Waits until every worker of the chain from this one down has ended and its
  // thread has let go of it, so that no thread of the run outlives the objects it
  // uses (the project, the batch's search). Call only once the run's end events
  // have all run; the wait for the threads' last step is bounded by `limit`,
  // since some other holder could keep a reference for good.
  void WaitUntilLetGo(std::chrono::milliseconds limit) const;

  int WorkerNumber() const { return number_; }
  // What the chain's workers share.
  TrkChainShare& Share() const { return *share_; }
  // The next worker of the chain; null for the last.
  TrkConvertor* NextWorker() const { return next_.get(); }

  // The per-file operation: sets the item's State and ResultText and counts it in
  // the batch (RecordSuccess / RecordFailure). Runs on the worker's thread, outside
  // the batch lock. The base does nothing.
  virtual void ConvertFile(TrkBatch& batch, TrkNode& item);
  // Extension points no part of the program calls.
  virtual std::string MapName(const std::string& name) { return name; }
  virtual std::string GetInfo() { return {}; }
  virtual bool IsReady() { return true; }

 protected:
  // ConvertFile, then the item-done event on this thread, outside any lock;
  // no event when ConvertFile handed the item back.
  void ProcessItem() override;
  // For ConvertFile, before it has touched the item: gives the item back to the
  // batch for another worker of the run and ends this worker once ConvertFile
  // returns. The worker must then leave the item alone (another may already be
  // working on it) and count nothing. False, and nothing done, when the batch
  // hands out no more items: the worker must finish the item itself.
  bool HandBackItem();
  // For EndWork: raises the item-done event for `item`, one the worker added
  // (TrkBatch::AddTaken) and finished itself.
  void ItemDone(TrkNode& item) {
    if (on_item_done_) on_item_done_(Batch(), item);
  }
  // For ConvertFile, when the worker was aborted before the item was done:
  // the item stays as it is, not done and not counted, and gets no item-done
  // event, so nobody takes it for a finished file.
  void LeaveItem() { handed_back_ = true; }
  // The derived class's part of a worker's end: runs first in the end sequence on
  // the worker's thread, outside the batch lock, once per worker, after its last
  // item (run complete, pause or stop, or an error that ended the worker). Release
  // connections and save pending state here, so the owner sees it settled when the
  // end is reported. Exceptions are swallowed.
  virtual void EndWork() {}
  // The chain's closing work, on the last of its workers to end, before that
  // worker's own EndWork: every item the chain was to do is done, left or
  // handed back. Work that needs the whole run (deletions of what the run
  // found gone, the last save of shared state) goes here, with this worker's
  // connections still open. Exceptions are swallowed.
  virtual void EndRun() {}

 private:
  void DoTerminate() final;
  void RunEndEvent();

  const int number_;
  const TrkItemEvent on_item_done_;
  bool handed_back_ = false;                    // or left; worker's thread only
  TrkEndEvent on_end_;                          // set before StartAll, then only read
  std::shared_ptr<TrkDispatcher> dispatcher_;   // set before StartAll, then only read
  std::shared_ptr<TrkConvertor> next_;          // set in the constructor, then only read
  const std::shared_ptr<TrkChainShare> share_;  // the chain's, never null
};

// The ConvertorClass of a convertor type T constructible as T(TrkBatch&, int
// number, TrkItemEvent on_item_done, const std::shared_ptr<TrkChainShare>&),
// whose chains share a T::Share made as T::Share(TrkBatch&) when T names one.
template <class T>
TrkConvertorClass TrkConvertorClassOf() {
  TrkConvertorClass convertor_class;
  convertor_class.make = [](TrkBatch& batch, int number, TrkItemEvent on_item_done,
                            const std::shared_ptr<TrkChainShare>& share) -> std::shared_ptr<TrkConvertor> {
    return std::make_shared<T>(batch, number, std::move(on_item_done), share);
  };
  if constexpr (requires { typename T::Share; }) {
    convertor_class.share = [](TrkBatch& batch) -> std::shared_ptr<TrkChainShare> {
      return std::make_shared<typename T::Share>(batch);
    };
  }
  return convertor_class;
}
