#include "record/upload_store.h"

#include <algorithm>
#include <filesystem>
#include <shared_mutex>
#include <thread>
#include <utility>

#include "project/error.h"
#include "project/output_buffer.h"
#include "project/text_file.h"
#include "project/whole_file.h"
#include "digest/md5.h"

namespace {

// A locked or briefly replaced record file often reads fine a moment later.
constexpr std::chrono::milliseconds kLoadRetryPause{100};

bool AllDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether `name` is a temporary file of a save of the file named `base`:
// ReplaceFile names them `base` + ".tmp" + the process id + "-" + a counter.
bool IsTemporaryOf(std::string_view name, std::string_view base) {
  if (!name.starts_with(base) || !name.substr(base.size()).starts_with(".tmp")) return false;
  std::string_view rest = name.substr(base.size() + 4);
  size_t dash = rest.find('-');
  return dash != std::string_view::npos && AllDigits(rest.substr(0, dash)) && AllDigits(rest.substr(dash + 1));
}

// Removes the temporary files that saves of `names` (all in one folder),
// interrupted by a crash or a full disk, left beside them. Only called with the
// project's run lock held, so no save of ours is writing one.
void RemoveStaleTemporaries(const std::vector<std::string>& names) {
  namespace fs = std::filesystem;
  const fs::path first(names.front());
  const fs::path folder = first.parent_path().empty() ? fs::path(".") : first.parent_path();
  std::vector<std::string> bases;
  for (const std::string& name : names) bases.push_back(fs::path(name).filename().string());
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string entry = it->path().filename().string();
    if (std::none_of(bases.begin(), bases.end(), [&](const std::string& base) { return IsTemporaryOf(entry, base); })) {
      continue;
    }
    std::error_code ignored;
    fs::remove(it->path(), ignored);
  }
}

}  // namespace

TrkUploadStore& TrkUploadStore::Process() {
  static TrkUploadStore store;
  return store;
}

TrkUploadStore::TrkUploadStore() : saver_([this] { return SaveNow(); }, kSaveInterval) {}

TrkUploadStore::~TrkUploadStore() { saver_.Stop(); }

void TrkUploadStore::Load(const std::string& project_file, const std::string& destination, bool read_only,
                          const std::string& earlier) {
  std::lock_guard<std::shared_mutex> lock(mu_);
  project_file_ = project_file;
  read_only_ = read_only;
  refusal_.clear();
  UploadRecord.Clear();
  if (read_only) {
    UploadList.Clear();
  } else {
    UploadList.Start(std::filesystem::path(UploadListFileName(project_file)).parent_path().string());
  }
  UploadPaths.Clear();
  changes_ = 0;
  record_changed_at_ = 0;
  written_ = 0;
  record_written_ = 0;
  last_save_ = std::chrono::steady_clock::time_point{};  // the run's first recorded file is saved at once
  save_gap_ = kSaveInterval;
  saver_saves_ = false;  // the run's workers take their queues after this
  queues_.clear();
  {
    std::lock_guard<std::mutex> error_lock(error_mu_);
    save_error_.clear();
  }
  const std::string record_file = RecordFileName(project_file);
  held_elsewhere_ = !run_lock_.Take(LockFileName(project_file));
  if (held_elsewhere_) {
    refusal_ = "Another run of this project is using its upload record \"" + record_file +
               "\"; try again once it has ended.";
    return;
  }
  if (!read_only) {
    RemoveStaleTemporaries(
        {record_file, BackupFileName(project_file), UploadListFileName(project_file), PathsFileName(project_file),
                             StatFileName(project_file)});
  }
  std::string error;
  for (int attempt = 1; attempt <= kLoadTries; ++attempt) {
    if (attempt > 1) std::this_thread::sleep_for(kLoadRetryPause);
    UploadRecord.Clear();
    if (!TryRead(record_file, destination, earlier, error)) continue;
    record_changed_at_ = changes_;  // a destination line to write
    ReadPaths();
    return ReadStats();
  }
  refusal_ = "[Error]Cannot read the upload record \"" + record_file + "\" (" + error +
             "). The run is refused so that the record is not overwritten.";
}

std::string TrkUploadStore::Refusal() const {
  std::shared_lock<std::shared_mutex> lock(mu_);
  return refusal_;
}

bool TrkUploadStore::HeldElsewhere() const {
  std::shared_lock<std::shared_mutex> lock(mu_);
  return held_elsewhere_;
}

bool TrkUploadStore::TryRead(const std::string& record_file, const std::string& destination,
                             const std::string& earlier, std::string& error) {
  // The lines are views into the file's bytes and this header: a record may
  // hold a million lines, indexed once, each without a string of its own.
  const std::string header = destination.empty() ? "" : std::string(kDestinationPrefix) + destination;
  std::error_code status_error;
  if (!std::filesystem::exists(record_file, status_error) && !status_error) {
    std::vector<std::string_view> none;
    UseDestination(none, header, earlier);
    UploadRecord.Assign(none);
    return true;
  }
  try {
    const std::string bytes = ReadFileContent(record_file);
    if (!read_only_) KeepBackup(bytes);
    std::vector<std::string_view> lines = SplitLineViews(bytes);
    UseDestination(lines, header, earlier);
    UploadRecord.Assign(lines);
    return true;
  } catch (const TrkError& e) {
    error = e.what();
  }
  // Gone between the look and the read: a missing record is the first run.
  return !std::filesystem::exists(record_file, status_error) && !status_error;
}

void TrkUploadStore::KeepBackup(const std::string& bytes) const {
  const std::string backup = BackupFileName(project_file_);
  try {
    // A run that changes nothing leaves the record as the backup holds it
    // already; reading it back costs far less than writing and syncing it.
    if (ReadFileContent(backup) == bytes) return;
  } catch (const TrkError&) {
    // No backup yet, or an unreadable one: written afresh.
  }
  try {
    ReplaceFile(backup, bytes, 0666, TrkFlush::kLeaveToSystem);
  } catch (const TrkError&) {
    // The backup is a courtesy; the record itself is untouched.
  }
}

void TrkUploadStore::UseDestination(std::vector<std::string_view>& lines, const std::string& header,
                                    const std::string& earlier) {
  if (header.empty()) return;
  auto named = std::find_if(lines.begin(), lines.end(),
                            [](std::string_view line) { return line.starts_with(kDestinationPrefix); });
  if (named != lines.end() && *named == header) return;
  if (named != lines.end() && !earlier.empty() && named->substr(kDestinationPrefix.size()) == earlier) {
    *named = header;
    ++changes_;  // saved even by a run that records nothing
    return;
  }
  if (named == lines.end()) {
    // An earlier version's record, now taken for this destination, is saved even
    // by a run that records nothing: left without the line, it would be taken
    // for the next run's destination too, whichever that is.
    if (!lines.empty()) ++changes_;
  } else {
    // A record of another destination says nothing about this one: only its
    // lines of no entry stay.
    std::erase_if(lines, [](std::string_view line) {
      return line.starts_with(kDestinationPrefix) || line.find('=') != std::string_view::npos;
    });
  }
  lines.insert(lines.begin(), header);
}

std::string TrkUploadStore::Find(std::string_view key) const {
  std::shared_lock<std::shared_mutex> lock(mu_);
  return UploadRecord.Find(key);
}

void TrkUploadStore::ReadPaths() {
  try {
    UploadPaths.Assign(ReadFileContent(PathsFileName(project_file_)));
  } catch (const TrkError&) {
    UploadPaths.Clear();  // missing or unreadable: its files are unknown until recorded again
  }
  UploadPaths.KeepOnly([this](std::string_view key) { return UploadRecord.Has(key); });
}

void TrkUploadStore::ReadStats() {
  try {
    UploadRecord.AssignStats(ReadFileContent(StatFileName(project_file_)));
  } catch (const TrkError&) {
    // Missing or unreadable: its files are read once more.
  }
}

std::string TrkUploadStore::Find(const Key& key) const {
  std::shared_lock<std::shared_mutex> lock(mu_);
  return UploadRecord.Find(key);
}

bool TrkUploadStore::Unchanged(const Key& key, const std::string& recorded, const TrkFileStat& now) const {
  std::shared_lock<std::shared_mutex> lock(mu_);
  return UploadRecord.Unchanged(key, recorded, now);
}

void TrkUploadStore::Recorded(const std::string& key, const std::string& digest, const std::string& local_path,
                              const std::string& remote_path, const std::optional<TrkFileStat>& stat) {
  bool now;
  {
    std::lock_guard<std::shared_mutex> lock(mu_);
    UploadRecord.Put(key, digest);
    if (stat) UploadRecord.PutStat(key, digest, *stat);
    UploadList.Append(local_path);
    if (!remote_path.empty()) UploadPaths.Put(key, local_path, remote_path);
    now = Changed();
  }
  if (now) Save(true);
}

void TrkUploadStore::RecordLater(Queue& queue, Recording recording) {
  size_t before;
  {
    std::lock_guard<std::mutex> lock(queue.mu_);
    before = queue.recordings_.size();
    queue.recordings_.push_back(std::move(recording));
  }
  if (before + 1 >= kQueueLimit) {
    // Saves of a large record lie seconds apart: what a queue holds stays
    // small. Not while a save copies the lists out, though: the worker would
    // wait for all of it; it tries again at its next recording.
    std::unique_lock<std::mutex> taking(taking_mu_, std::try_to_lock);
    std::unique_lock<std::shared_mutex> lock(mu_, std::defer_lock);
    if (taking && lock.try_lock()) TakeQueued();
  } else if (before == 0) {
    // Later ones are taken with this one, by the save asked for here.
    saver_.ScheduleAt(NextSaveAt());
  }
}

void TrkUploadStore::Record(const Recording& r) {
  if (r.stat) {
    UploadRecord.Put(r.key, r.digest, *r.stat);
  } else {
    UploadRecord.Put(r.key, r.digest);  // what was kept stays while the digest does
  }
  UploadList.Append(r.local_path);
  if (!r.remote_path.empty()) UploadPaths.Put(TrkMD5::HexOf(r.key.data()), r.local_path, r.remote_path);
}

void TrkUploadStore::TakeQueued() {
  bool any = false;
  for (const std::shared_ptr<Queue>& queue : queues_) {
    std::vector<Recording> taken;
    {
      std::lock_guard<std::mutex> lock(queue->mu_);
      taken.swap(queue->recordings_);
    }
    for (const Recording& recording : taken) Record(recording);
    any = any || !taken.empty();
  }
  if (!any) return;
  ++changes_;
  record_changed_at_ = changes_;
}

void TrkUploadStore::TakeQueuedInSlices() {
  std::lock_guard<std::mutex> taking(taking_mu_);
  std::vector<std::vector<Recording>> taken;
  {
    std::shared_lock<std::shared_mutex> look(mu_);
    for (const std::shared_ptr<Queue>& queue : queues_) {
      std::lock_guard<std::mutex> lock(queue->mu_);
      taken.emplace_back().swap(queue->recordings_);
    }
  }
  for (std::vector<Recording>& recordings : taken) {
    for (size_t at = 0; at < recordings.size(); at += kRecordSlice) {
      std::lock_guard<std::shared_mutex> lock(mu_);
      for (size_t i = at; i < std::min(recordings.size(), at + kRecordSlice); ++i) Record(recordings[i]);
      ++changes_;
      record_changed_at_ = changes_;
    }
    std::vector<Recording>().swap(recordings);  // a large run's queues are tens of megabytes
  }
}

void TrkUploadStore::Statted(const Key& key, const Key& digest, const TrkFileStat& stat) {
  bool now;
  {
    std::lock_guard<std::shared_mutex> lock(mu_);
    // Kept already: a run that reads every file saves nothing when nothing changed.
    if (UploadRecord.Unchanged(key, TrkMD5::HexOf(digest.data()), stat)) return;
    if (!UploadRecord.PutStat(key, digest, stat)) return;
    now = Changed(false);
  }
  if (now) Save(true);
}

void TrkUploadStore::Forget(const std::string& key) {
  bool now;
  {
    std::lock_guard<std::shared_mutex> lock(mu_);
    UploadRecord.Remove(key);
    UploadPaths.Remove(key);
    now = Changed();
  }
  if (now) Save(true);
}

bool TrkUploadStore::Changed(bool record) {
  ++changes_;
  if (record) record_changed_at_ = changes_;
  if (saver_saves_) {
    saver_.ScheduleAt(NextSaveAt());
    return false;
  }
  return std::chrono::steady_clock::now() >= last_save_.load() + save_gap_.load();
}

std::vector<TrkUploadPaths::Entry> TrkUploadStore::RecordedPaths() {
  std::lock_guard<std::mutex> taking(taking_mu_);
  std::lock_guard<std::shared_mutex> lock(mu_);
  TakeQueued();
  std::vector<TrkUploadPaths::Entry> entries = UploadPaths.Entries();
  std::erase_if(entries, [this](const TrkUploadPaths::Entry& entry) { return !UploadRecord.Has(entry.key); });
  return entries;
}

std::optional<TrkUploadPaths::Entry> TrkUploadStore::RecordedPath(std::string_view key) const {
  std::shared_lock<std::shared_mutex> lock(mu_);
  if (!UploadRecord.Has(key)) return std::nullopt;
  return UploadPaths.Find(key);
}

bool TrkUploadStore::Save(bool with_stats) {
  std::lock_guard<std::mutex> lock(save_mu_);
  uint64_t changes;
  bool record;
  std::string project_file;
  {
    std::shared_lock<std::shared_mutex> look(mu_);
    if (read_only_ || !refusal_.empty() || changes_ == written_) return true;
    record = record_changed_at_ > record_written_;
    if (!with_stats && !record) return true;
    changes = changes_;
    project_file = project_file_;
  }
  const auto began = std::chrono::steady_clock::now();
  bool saved = true;
  try {
    // Each file holds at least the changes counted here, so what is counted
    // written is; a change that lands meanwhile is merely written again.
    if (record) {
      WriteFile(RecordFileName(project_file), [this](TrkOutputBuffer& out) { UploadRecord.Write(out); });
      WriteFile(UploadListFileName(project_file), [this](TrkOutputBuffer& out) { UploadList.Write(out); });
      // Either order is safe: the paths count only beside a record line, so a
      // crash between the two merely leaves a file's paths unknown for a while.
      WriteFile(PathsFileName(project_file), [this](TrkOutputBuffer& out) { UploadPaths.Write(out); });
      record_written_ = changes;
    }
    if (with_stats) {
      // So is this one's: its entries count only beside the record's digests.
      WriteFile(StatFileName(project_file), [this](TrkOutputBuffer& out) { UploadRecord.WriteStats(out); },
                TrkFlush::kLeaveToSystem);
      written_ = changes;
    }
  } catch (const TrkError& e) {
    // The run goes on; the lists in memory are written whole by the next save.
    saved = false;
    std::lock_guard<std::mutex> error_lock(error_mu_);
    save_error_ = e.what();
  }
  if (saved) {
    std::lock_guard<std::mutex> error_lock(error_mu_);
    save_error_.clear();
  }
  // Measured from the end, so that even a slow disk spends most of the run
  // recording rather than saving.
  const auto now = std::chrono::steady_clock::now();
  last_save_ = now;
  save_gap_ = std::max<std::chrono::steady_clock::duration>(kSaveInterval, kSaveShare * (now - began));
  return saved;
}

void TrkUploadStore::WriteFile(const std::string& file, const std::function<void(TrkOutputBuffer&)>& write,
                               TrkFlush flush) const {
  ReplaceFileFrom(
      file,
      [&](const TrkBytesSink& sink) {
        TrkOutputBuffer out(sink);
        std::shared_lock<std::shared_mutex> lock(mu_);
        write(out);
        out.Flush();
      },
      0666, flush);
}

void TrkUploadStore::Flush() {
  {
    std::lock_guard<std::mutex> taking(taking_mu_);
    std::lock_guard<std::shared_mutex> lock(mu_);
    TakeQueued();
  }
  Save(true);
}

bool TrkUploadStore::SaveNow() {
  saving_ = true;
  TakeQueuedInSlices();
  const bool saved = Save(false);
  saving_ = false;
  return saved;
}

std::chrono::steady_clock::time_point TrkUploadStore::NextSaveAt() const {
  // While the saver writes, its save ends later than now: counted from the
  // last one, the next would follow this one at once and write the whole
  // record again for the few files recorded meanwhile.
  if (saving_) return std::chrono::steady_clock::now() + save_gap_.load();
  return last_save_.load() + save_gap_.load();
}

std::string TrkUploadStore::EndRun() {
  std::lock_guard<std::shared_mutex> lock(mu_);
  run_lock_.Release();
  const std::string unsaved = SaveFailureLocked();
  if (unsaved.empty()) return unsaved;
  if (record_written_ >= record_changed_at_) {
    // Only derived data are missing: nothing goes up again for it.
    return "The stat data \"" + StatFileName(project_file_) + "\" could not be saved (" + unsaved +
           "); the unchanged files of this run will be read again at the next run.";
  }
  return "The upload record \"" + RecordFileName(project_file_) + "\" could not be saved (" + unsaved +
         "); the files of this run will be uploaded again.";
}

std::string TrkUploadStore::SaveFailure() const {
  std::shared_lock<std::shared_mutex> lock(mu_);
  return SaveFailureLocked();
}

std::string TrkUploadStore::SaveFailureLocked() const {
  if (read_only_ || changes_ == written_) return "";
  std::lock_guard<std::mutex> lock(error_mu_);
  return save_error_.empty() ? "it was not written" : save_error_;
}

std::shared_ptr<TrkUploadStore::Queue> TrkUploadStore::NewQueue() {
  std::lock_guard<std::shared_mutex> lock(mu_);
  saver_saves_ = true;
  queues_.push_back(std::make_shared<Queue>());
  return queues_.back();
}

void TrkUploadStore::WorkersDone() {
  {
    std::lock_guard<std::mutex> taking(taking_mu_);
    std::lock_guard<std::shared_mutex> lock(mu_);
    if (!saver_saves_) return;
    saver_saves_ = false;
    TakeQueued();
  }
  // Outside mu_: the saver's thread may be waiting for it to save.
  saver_.Stop();
  Save(true);
}
