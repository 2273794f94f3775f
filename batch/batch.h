#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>
#include <vector>

#include "batch/node.h"
#include "batch/text_arena.h"
#include "project/project.h"
#include "select/mask_list.h"

class TrkMatchBase;
class TrkNameFilter;

// The work items of a batch, in Index order. A deque so that references to items
// stay valid while the list grows.
using TrkItemList = std::deque<TrkNode>;

// A folder the listing could not read (or read only in part): its path, with
// its closing separator, and the system's error number.
struct TrkUnreadFolder {
  std::string path;
  int error = 0;
};

// One run's list of work items, the thread that fills it by searching the source
// folder, the run's counters and its distinct failure texts.
//
// Ownership: always held by std::shared_ptr (make it with Create). The owner holds
// one reference; every worker of a chain holds another for its whole life, so a
// batch outlives the workers drawing from it whichever side lets go first. The
// destructor stops and joins the search thread, so a batch never goes away while
// its search runs. The project and the filter are not owned and must outlive it.
//
// Threads: the owner's thread (Start, AddSingle, Count, IsExhausted, Terminate,
// destruction), the search thread (appending what it finds, a chunk at a time,
// and the item-added event), and the worker
// threads (NextItem, ItemDone, HandBack, RecordSuccess, RecordFailure,
// LockList/UnlockList). Every member function may be called from any of them.
//
// The batch lock is recursive. It guards the item list, the hand-out position,
// the items held back or in hand, the counters, ErrorTexts and the
// source/target/mask texts, and nothing outside this class: code elsewhere
// takes it (TrkBatchLock) only to read the item list. It is never held across
// file work, searching, sleeping or event calls (NextItem's waits release it),
// and a thread holding it must never wait for the main thread nor call
// NextItem.
class TrkBatch : public std::enable_shared_from_this<TrkBatch> {
  struct Key {};  // keeps construction to Create

 public:
  // `filter` is the process-wide name filter, not owned; null lets every file pass.
  static std::shared_ptr<TrkBatch> Create(TrkProject& project, const TrkMatchBase* filter);
  TrkBatch(Key, TrkProject& project, const TrkMatchBase* filter);
  // Destroy: stops the search (if it was started) and waits for its thread.
  ~TrkBatch();
  TrkBatch(const TrkBatch&) = delete;
  TrkBatch& operator=(const TrkBatch&) = delete;

  // The item-added event, raised on the adding thread, outside the lock, after the
  // item was appended. Set it before Start or the first AddSingle; may stay unset.
  // The handler must not release the last reference to the batch.
  void SetOnItemAdded(TrkItemEvent on_item_added) { on_item_added_ = std::move(on_item_added); }

  // TargetDir = UrlToPath(target); Mask and SourceDir from UrlToPath(source) split
  // at its last separator; reads the option LastMask (see NextItem), and the
  // search reads SkipHidden and HiddenFolders (see SearchFolder); then starts
  // the search thread. A batch is searched at most once: a batch already
  // complete or searching is left as it is. Throws
  // TrkError, before anything is searched, when the project's Exclude is not a
  // valid regular expression.
  void Start(const std::string& source, const std::string& target, bool recurse);
  // Appends an item for `path` when it passes the filter (Accepts), then raises
  // the item-added event. A waiting worker finds it within a millisecond.
  void Add(const std::string& path);
  // Appends an item for `path` whatever the filter, handed out to the caller
  // (no NextItem returns it), and raises the item-added event. Work a worker
  // does beyond the listed files (a file it had to delete on the way, its
  // run's closing steps) so shows and counts as items of its own.
  TrkNode& AddTaken(const std::string& path);
  // Add, then marks the list complete. For files the owner hands in one by one.
  void AddSingle(const std::string& path);
  // Marks the list complete without adding anything (an owner that handed in no file).
  void MarkSearchDone() { search_done_.store(true, std::memory_order_release); }

  int Count() const;
  // Items the listing found or the owner handed in: Count without AddTaken's.
  int Listed() const;
  // The folders the listing could not read, in the order it met them.
  std::vector<TrkUnreadFolder> UnreadFolders() const;
  // An arena for one worker's result texts (TrkWorkBase::SetResult), written
  // by that worker alone and kept as long as the batch: items outlive the
  // workers that finished them.
  TrkTextArena& WorkerTexts();
  // The next item: one handed back first, else the next in Index order; each to
  // exactly one caller at a time. Null when none is left. While the list may
  // still grow it waits until the walk hands over more (or kFoundLook has
  // passed, for owners that fill the list otherwise). Null after the list is
  // complete also sets Exhausted. When `stop` is given and is set while the call
  // waits (not when an item is there), the call returns null without setting
  // Exhausted, so a stopped worker does not wait for the search.
  // Items whose file name fits the LastMask read by Start are held back until the
  // list is complete, every other item has been handed out and each of those is
  // done (ItemDone) or handed back; from then on they go out in Index order, any
  // number at once. A caller waiting for that sleeps on the batch's condition
  // (woken by ItemDone and HandBack), looking at `stop` every kStopLook.
  TrkNode* NextItem(const std::atomic<bool>* stop = nullptr);
  // NextItem without waiting, for a caller that holds an item already and
  // wants to know its next one: null when none can go out at once. Never
  // sets Exhausted (the caller asks NextItem again later) and never opens
  // the held-back items (the caller's own item is still in hand).
  TrkNode* TakeNow();
  // Tells that the caller is through with an item NextItem gave it (done,
  // failed, left or handed back). Every caller that takes items must tell each
  // one exactly once, or held-back items wait for it for ever.
  void ItemDone();
  static constexpr std::chrono::milliseconds kStopLook{20};
  static constexpr std::chrono::milliseconds kFoundLook{1};
  // Takes back an item NextItem handed out and its caller has not worked on, so
  // that another caller gets it. False, and nothing done, once the batch is
  // exhausted: no caller might ever ask again, so the holder must keep it.
  bool HandBack(TrkNode& item);
  // The file names of up to `most` items that no caller has taken yet, in the
  // order they go out: what is coming, for work done ahead of it (another
  // caller may take them meanwhile).
  std::vector<std::string> Upcoming(size_t most) const;
  bool IsExhausted() const { return exhausted_.load(std::memory_order_acquire); }
  bool SearchDone() const { return search_done_.load(std::memory_order_acquire); }

  void RecordSuccess();
  // Counts a failure; `text` joins ErrorTexts unless a text equal to it without
  // regard to ASCII letter case is there already (the first spelling stays).
  void RecordFailure(const std::string& text);
  int Succeeded() const;
  int Failed() const;
  // Bytes of files sent to the server so far, for progress reports.
  void AddBytesSent(uint64_t bytes) { bytes_sent_.fetch_add(bytes, std::memory_order_relaxed); }
  uint64_t BytesSent() const { return bytes_sent_.load(std::memory_order_relaxed); }
  std::vector<std::string> ErrorTexts() const;

  // Takes the batch lock (recursively) and returns the item list, which may be read
  // until the matching UnlockList. Prefer TrkBatchLock.
  const TrkItemList& LockList();
  void UnlockList();

  // The name-filter test: with a filter, the path must pass the listing's
  // TrkNameFilter (mask, RegExt and Exclude, compiled by Start); a batch that
  // never listed lets every path pass.
  bool Accepts(const std::string& path) const;
  // Turns a "file:" text into a local path; any other text comes back unchanged.
  // "file:///C:/web/x.html" -> "C:/web/x.html" (on Windows "C:\web\x.html");
  // "file://server/share/p.html" -> "//server/share/p.html" (Windows: "\\server\share\p.html").
  // The scheme alone (with or without slashes) gives an empty text.
  static std::string UrlToPath(const std::string& text);

  // Asks the search to stop; it ends at the next folder entry and marks the list
  // complete. Items found so far stay.
  void Terminate() { terminated_.store(true, std::memory_order_release); }
  // Waits until the search thread (if started) has ended. Owner's thread only.
  void WaitForSearch();

  // Texts set by Start (and TargetDir also by TrkConvertor::CreateWorkers); copies
  // taken under the batch lock.
  std::string SourceDir() const;
  std::string TargetDir() const;
  void SetTargetDir(const std::string& target);  // stores UrlToPath(target)
  // What a listing was made with; no program path reads them yet.
  std::string Mask() const;
  bool Recurse() const;

  TrkProject& Project() const { return project_; }

 private:
  friend class TrkBatchLock;
  void Execute();  // the search thread's body
  // Appends an item for each of `paths`, which it empties, under one lock.
  std::vector<TrkNode*> AppendItems(std::vector<std::string>& paths);
  // The walk's AppendItems, then the item-added event for each.
  void AddFound(std::vector<std::string>& paths);
  // The most files the walk finds before it hands them over while no worker
  // waits for one: one lock per chunk rather than per file.
  static constexpr size_t kAddChunk = 64;
  // The same while a worker waits: a few files rather than each one alone, or
  // a worker that caught up would take the files one by one, woken for each.
  // A folder's end hands over what is left.
  static constexpr size_t kWantedChunk = 8;
  // The next item that may go out now, or null; moves held-back items aside as
  // it passes them. Under mu_.
  TrkNode* TakeItem(bool list_complete);
  // No item is left to hand out now or later. Under mu_.
  bool NothingLeft(bool list_complete) const;

  TrkProject& project_;
  const TrkMatchBase* const filter_;  // not owned; null: every file passes
  TrkItemEvent on_item_added_;        // set before filling starts, then only read

  mutable std::recursive_mutex mu_;   // the batch lock
  // The items' texts, declared before the items that view them.
  TrkTextArena file_names_;           // guarded by mu_
  std::deque<TrkTextArena> worker_texts_;  // grown under mu_; each written by its worker alone
  TrkItemList items_;                 // guarded by mu_
  size_t next_index_ = 0;             // guarded by mu_; only grows
  std::deque<TrkNode*> handed_back_;  // guarded by mu_; handed out again first
  std::deque<TrkNode*> held_back_;    // guarded by mu_; passed by next_index_, fit last_mask_
  // Guarded by mu_: AddTaken's items that next_index_ has not passed yet, which
  // it skips, and the number of AddTaken's items.
  std::unordered_set<const TrkNode*> taken_;
  int taken_count_ = 0;
  std::vector<TrkUnreadFolder> unread_folders_;  // guarded by mu_
  // Handed out, ItemDone not yet told: changed under mu_ by NextItem and
  // without it by ItemDone, one call per file; read under mu_.
  std::atomic<int> in_hand_{0};
  // NextItem calls waiting for in_hand_ to reach 0: changed under mu_, read by
  // ItemDone without it.
  std::atomic<int> waiting_{0};
  bool last_open_ = false;            // guarded by mu_; held-back items may go out
  TrkMaskList last_mask_;             // guarded by mu_; set by Start
  std::condition_variable_any in_hand_changed_;  // waited on with mu_ held once; see NextItem
  // Told under mu_ when the walk hands over items a worker waits for
  // (wanted_), and when it ends; waited on as in_hand_changed_ is.
  std::condition_variable_any items_added_;
  std::atomic<int> succeeded_{0};     // one more per file, without mu_
  int failed_ = 0;                    // guarded by mu_
  std::vector<std::string> error_texts_;  // guarded by mu_
  std::string mask_;                  // guarded by mu_
  // Guarded by mu_; set by Start, then only read (outside mu_) through a copy.
  std::shared_ptr<const TrkNameFilter> name_filter_;
  bool skip_hidden_ = false;          // search thread only
  bool recurse_ = false;              // guarded by mu_
  std::string source_dir_;            // guarded by mu_
  std::string target_dir_;            // guarded by mu_
  bool search_started_ = false;       // guarded by mu_

  std::atomic<bool> search_done_{false};  // set after the last item was appended
  // A worker found nothing to take while the walk went on: set by NextItem,
  // cleared when items are appended.
  std::atomic<bool> wanted_{false};
  std::atomic<bool> exhausted_{false};
  std::atomic<bool> terminated_{false};   // the search's stop request
  std::atomic<uint64_t> bytes_sent_{0};
  std::thread search_thread_;             // owner's thread only (Start, WaitForSearch, destructor)
};

// Holds the batch lock for its scope.
class TrkBatchLock {
 public:
  explicit TrkBatchLock(TrkBatch& batch) : batch_(batch) { batch_.LockList(); }
  ~TrkBatchLock() { batch_.UnlockList(); }
  TrkBatchLock(const TrkBatchLock&) = delete;
  TrkBatchLock& operator=(const TrkBatchLock&) = delete;
  const TrkItemList& Items() const { return batch_.items_; }

 private:
  TrkBatch& batch_;
};
