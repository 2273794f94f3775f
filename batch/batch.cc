#include "batch/batch.h"

#include <chrono>
#include <filesystem>
#include <system_error>

#include "project/ascii.h"
#include "project/error.h"
#include "project/options.h"
#include "project/platform.h"
#include "select/name_filter.h"
#include "select/regex.h"
#include "select/search.h"

namespace {

// A "file:" address names a network share when it begins with a digit (an IP
// address) or holds no drive colon.
bool IsNetworkForm(const std::string& path) {
  return (path[0] >= '1' && path[0] <= '9') || path.find(':') == std::string::npos;
}

}  // namespace

std::shared_ptr<TrkBatch> TrkBatch::Create(TrkProject& project, const TrkMatchBase* filter) {
  return std::make_shared<TrkBatch>(Key{}, project, filter);
}

TrkBatch::TrkBatch(Key, TrkProject& project, const TrkMatchBase* filter) : project_(project), filter_(filter) {}

TrkBatch::~TrkBatch() {
  Terminate();
  WaitForSearch();
}

std::string TrkBatch::UrlToPath(const std::string& text) {
  if (text.rfind("file:", 0) != 0) return text;
  std::string path = Regex::Replace("^file:/*", text, "");
  if (path.empty()) return path;
#ifdef _WIN32
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  if (IsNetworkForm(path)) path = "\\\\" + path;
#else
  // POSIX paths keep "/"; the network form becomes "//host/share/...", which a
  // POSIX system reads as an absolute path.
  if (IsNetworkForm(path)) path = "//" + path;
#endif
  return path;
}

void TrkBatch::Start(const std::string& source, const std::string& target, bool recurse) {
  std::string s = UrlToPath(source);
  size_t sep = trk_platform::LastSeparator(s);
  std::string mask = sep == std::string::npos ? s : s.substr(sep + 1);
  // Compiled once for the listing; throws for an invalid Exclude before anything is searched.
  auto name_filter =
      std::make_shared<const TrkNameFilter>(mask, project_.GetOption("RegExt"), project_.GetOption("Exclude"));
  TrkMaskList last_mask(project_.GetOption("LastMask"));
  std::string target_dir = UrlToPath(target);
  if (project_.PathDelimiter == '\\' && !target_dir.empty()) {
    std::error_code ignored;  // a local target that cannot be made fails later, per file
    std::filesystem::create_directories(target_dir, ignored);
  }

  std::lock_guard<std::recursive_mutex> lock(mu_);
  target_dir_ = target_dir;
  mask_ = std::move(mask);
  name_filter_ = std::move(name_filter);
  last_mask_ = std::move(last_mask);
  source_dir_ = sep == std::string::npos ? std::string() : s.substr(0, sep + 1);
  recurse_ = recurse;
  if (SearchDone() || search_started_) return;
  search_started_ = true;
  try {
    search_thread_ = std::thread(&TrkBatch::Execute, this);
  } catch (const std::system_error&) {
    // Without a search the list is complete as it is, so no worker waits forever.
    search_done_.store(true, std::memory_order_release);
  }
}

void TrkBatch::Execute() {
  std::string folder, mask;
  bool recurse;
  std::shared_ptr<const TrkNameFilter> name_filter;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    folder = source_dir_;
    mask = mask_;
    recurse = recurse_;
    name_filter = name_filter_;
  }
  skip_hidden_ = TrkParseBool(project_.GetOption("SkipHidden"), false);
  const bool enter_hidden = TrkParseBool(project_.GetOption("HiddenFolders"), false);
  // The walk runs beside the workers: what it finds goes into the list a
  // chunk at a time, at once when a worker waits for work, so the batch lock
  // is not taken per file while the workers take their items.
  std::vector<std::string> found;
  auto add = [this, &found, &name_filter](const std::string& path) {
    if (filter_ == nullptr || name_filter->Accepts(path)) found.push_back(path);
    const size_t enough = wanted_.load(std::memory_order_relaxed) ? kWantedChunk : kAddChunk;
    if (found.size() >= enough) AddFound(found);
  };
  // A folder the user excluded is not even walked: node_modules can hold more
  // files than the site itself.
  auto skip_folder = [this, &name_filter, &found](const std::string& path) {
    if (wanted_.load(std::memory_order_relaxed)) AddFound(found);
    return filter_ != nullptr && name_filter->SkipsFolder(path);
  };
  auto unreadable = [this](const std::string& path, int error) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    unread_folders_.push_back({path, error});
  };
  try {
    SearchFolder(folder, mask, recurse, skip_hidden_, add, terminated_, skip_folder, enter_hidden, unreadable);
  } catch (...) {
    // The walk reports nothing; what was found so far is the list.
  }
  AddFound(found);
  std::lock_guard<std::recursive_mutex> lock(mu_);
  search_done_.store(true, std::memory_order_release);
  items_added_.notify_all();
}

void TrkBatch::WaitForSearch() {
  if (search_thread_.joinable()) search_thread_.join();
}

bool TrkBatch::Accepts(const std::string& path) const {
  if (filter_ == nullptr) return true;
  std::shared_ptr<const TrkNameFilter> name_filter;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    name_filter = name_filter_;
  }
  // Single files handed to a batch that never listed have no mask: every one passes.
  return name_filter == nullptr || name_filter->Accepts(path);
}

void TrkBatch::Add(const std::string& path) {
  if (!Accepts(path)) return;
  std::vector<std::string> one{path};
  TrkNode* item = AppendItems(one).front();
  if (on_item_added_) on_item_added_(*this, *item);
}

std::vector<TrkNode*> TrkBatch::AppendItems(std::vector<std::string>& paths) {
  std::vector<TrkNode*> added;
  added.reserve(paths.size());
  std::lock_guard<std::recursive_mutex> lock(mu_);
  for (const std::string& path : paths) {
    added.push_back(&items_.emplace_back(static_cast<int>(items_.size()), file_names_.Keep(path)));
  }
  if (wanted_.exchange(false, std::memory_order_relaxed)) items_added_.notify_all();
  paths.clear();
  return added;
}

void TrkBatch::AddFound(std::vector<std::string>& paths) {
  if (paths.empty()) return;
  // No yield here: a waiting worker sleeps in 1 ms steps and finds the items
  // at its next look, and a yield costs a system call (and, on a busy
  // machine, the rest of the time slice) for nothing.
  for (TrkNode* item : AppendItems(paths)) {
    if (!on_item_added_) break;
    try {
      on_item_added_(*this, *item);
    } catch (...) {
      // A failing item-added handler must not end the walk or the thread.
    }
  }
}

TrkNode& TrkBatch::AddTaken(const std::string& path) {
  TrkNode* item;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    item = &items_.emplace_back(static_cast<int>(items_.size()), file_names_.Keep(path));
    ++taken_count_;
    if (next_index_ + 1 == items_.size()) {
      ++next_index_;
    } else {
      taken_.insert(item);
    }
  }
  if (on_item_added_) on_item_added_(*this, *item);
  return *item;
}

void TrkBatch::AddSingle(const std::string& path) {
  Add(path);
  MarkSearchDone();
}

TrkTextArena& TrkBatch::WorkerTexts() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return worker_texts_.emplace_back();
}

int TrkBatch::Count() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return static_cast<int>(items_.size());
}

int TrkBatch::Listed() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return static_cast<int>(items_.size()) - taken_count_;
}

std::vector<TrkUnreadFolder> TrkBatch::UnreadFolders() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return unread_folders_;
}

std::vector<std::string> TrkBatch::Upcoming(size_t most) const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::vector<std::string> names;
  for (size_t i = next_index_; i < items_.size() && names.size() < most; ++i) {
    names.emplace_back(items_[i].FileName());
  }
  return names;
}

TrkNode* TrkBatch::NextItem(const std::atomic<bool>* stop) {
  for (;;) {
    // Read the flag before the list: an item appended before the flag was set is
    // then seen below, so "complete and nothing left" is never concluded early.
    bool done = SearchDone();
    {
      std::unique_lock<std::recursive_mutex> lock(mu_);
      if (TrkNode* item = TakeItem(done)) {
        ++in_hand_;
        return item;
      }
      if (NothingLeft(done)) {
        // Set under the lock, so that a HandBack either comes before and is
        // found here, or comes after and is refused.
        exhausted_.store(true, std::memory_order_release);
        return nullptr;
      }
      if (!done) {
        // The walk hands over what it finds at once while a worker waits, and
        // wakes it (AppendItems): a worker that slept a fixed time instead
        // would miss hundreds of small files each time it caught up.
        wanted_.store(true, std::memory_order_relaxed);
        if (stop != nullptr && stop->load(std::memory_order_acquire)) return nullptr;
        items_added_.wait_for(lock, kFoundLook);
        continue;
      }
      // Only held-back items are left, and they wait for the items in hand:
      // possibly whole transfers, so sleep until one is done or handed back.
      if (stop != nullptr && stop->load(std::memory_order_acquire)) return nullptr;
      // Counted before the count in hand is looked at again, so that an
      // ItemDone that makes it 0 either is seen here or sees this waiter.
      ++waiting_;
      if (in_hand_ > 0) in_hand_changed_.wait_for(lock, kStopLook);
      --waiting_;
    }
  }
}

TrkNode* TrkBatch::TakeNow() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  TrkNode* item = TakeItem(SearchDone());
  if (item != nullptr) ++in_hand_;
  return item;
}

TrkNode* TrkBatch::TakeItem(bool list_complete) {
  if (!handed_back_.empty()) {
    TrkNode* item = handed_back_.front();
    handed_back_.pop_front();
    return item;
  }
  while (next_index_ < items_.size()) {
    TrkNode& item = items_[next_index_++];
    if (!taken_.empty() && taken_.erase(&item) != 0) continue;
    if (!last_mask_.MatchesName(item.FileName())) return &item;
    held_back_.push_back(&item);
  }
  // Every other item is out and none is in hand: it is done, as is the list.
  if (list_complete && in_hand_ == 0) last_open_ = true;
  if (!last_open_ || held_back_.empty()) return nullptr;
  TrkNode* item = held_back_.front();
  held_back_.pop_front();
  return item;
}

bool TrkBatch::NothingLeft(bool list_complete) const {
  return list_complete && handed_back_.empty() && next_index_ == items_.size() && held_back_.empty();
}

void TrkBatch::ItemDone() {
  int before = in_hand_.load(std::memory_order_relaxed);
  while (before > 0 && !in_hand_.compare_exchange_weak(before, before - 1, std::memory_order_acq_rel)) {
  }
  // Only NextItem waits for the last item in hand, and it counts itself in
  // waiting_ before it looks at the count in hand, under mu_: a notice under
  // mu_ cannot fall between its look and its wait.
  if (before != 1 || waiting_ == 0) return;
  std::lock_guard<std::recursive_mutex> lock(mu_);
  in_hand_changed_.notify_all();
}

bool TrkBatch::HandBack(TrkNode& item) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (IsExhausted()) return false;
  handed_back_.push_back(&item);
  in_hand_changed_.notify_all();
  return true;
}

void TrkBatch::RecordSuccess() { succeeded_.fetch_add(1, std::memory_order_relaxed); }

void TrkBatch::RecordFailure(const std::string& text) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  ++failed_;
  for (const std::string& known : error_texts_) {
    if (TrkSameTextIgnoreCase(known, text)) return;
  }
  error_texts_.push_back(text);
}

int TrkBatch::Succeeded() const { return succeeded_.load(std::memory_order_relaxed); }

int TrkBatch::Failed() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return failed_;
}

std::vector<std::string> TrkBatch::ErrorTexts() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return error_texts_;
}

const TrkItemList& TrkBatch::LockList() {
  mu_.lock();
  return items_;
}

void TrkBatch::UnlockList() { mu_.unlock(); }

std::string TrkBatch::SourceDir() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return source_dir_;
}

std::string TrkBatch::TargetDir() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return target_dir_;
}

void TrkBatch::SetTargetDir(const std::string& target) {
  std::string target_dir = UrlToPath(target);
  std::lock_guard<std::recursive_mutex> lock(mu_);
  target_dir_ = std::move(target_dir);
}

std::string TrkBatch::Mask() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return mask_;
}

bool TrkBatch::Recurse() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return recurse_;
}
