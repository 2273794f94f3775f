#include "sync/server_lock.h"

#include <algorithm>
#include <ctime>

#include "project/error.h"
#include "project/options.h"
#include "sync/local_note.h"
#include "sync/uploader.h"

namespace {

using Outcome = TrkTransferSession::Listing::Outcome;

// Take's answer when a stop ended it: no refusal of the run.
constexpr char kStopped[] = "stopped";
// Between two looks at a lock someone else holds.
constexpr std::chrono::seconds kLookEvery{2};
// A lock's steps talk to the server briefly: a dead one is not waited for long.
constexpr std::chrono::seconds kStepTimeout{15};

// The lock folder's files; kNoFolder too for a folder that a server would
// not list, or listed empty, because it is not there (pyftpdlib answers MLSD
// of it with 501, vsftpd lists nothing).
TrkTransferSession::Listing Look(TrkTransferSession& session, const std::string& folder) {
  TrkTransferSession::Listing listing = session.ListFolder(folder);
  const bool unsure =
      listing.outcome == Outcome::kUnlisted || (listing.outcome == Outcome::kListed && listing.sizes.empty());
  if (unsure && !session.ChangeDir(folder)) listing.outcome = Outcome::kNoFolder;
  return listing;
}

std::optional<TrkLockHolder> HolderIn(const TrkTransferSession::Listing& listing) {
  for (const auto& [name, size] : listing.sizes) {
    if (std::optional<TrkLockHolder> holder = TrkLockHolder::Parse(name)) return holder;
  }
  return std::nullopt;
}

// A step of the lock that failed, for the user: `what` failed, and why.
std::string Failed(const std::string& what, const std::string& why) { return "cannot " + what + ": " + why; }
std::string Failed(const std::string& what, const TrkError& error) {
  return Failed(what, error.Reason().empty() ? std::string(error.what()) : error.Reason());
}

// Waits `time`; false when `stop` came first.
bool Pause(const std::stop_token& stop, std::chrono::seconds time) {
  std::mutex mutex;
  std::unique_lock<std::mutex> lock(mutex);
  std::condition_variable_any().wait_for(lock, stop, time, [] { return false; });
  return !stop.stop_requested();
}

// What the lock's file holds, for one who looks at the server by hand.
std::string NoteFor(const TrkLockHolder& me) {
  return "This folder is the lock Dropvan's ServerLock keeps on this destination while a run uploads.\n"
         "Its file's name tells who holds it, since when and when it was last alive (UTC).\n"
         "A lock whose holder was killed goes stale; dropvan --break-lock PROJECT removes it.\n"
         "Held by " + me.who + ", process " + std::to_string(me.process) + ".\n";
}

}  // namespace

TrkServerLock::Options TrkServerLock::Options::Read(const TrkOptions& options) {
  Options read;
  read.enabled = options.GetBool("ServerLock", false) && !options.GetBool("DryRun", false);
  read.wait = std::chrono::seconds(std::max(options.GetInt("LockWait", 60), 0));
  read.stale = std::chrono::minutes(std::max(options.GetInt("LockStale", 30), 1));
  return read;
}

TrkServerLock::TrkServerLock(Options options, std::unique_ptr<TrkUploader> uploader, std::string target)
    : options_(options), target_(std::move(target)), uploader_(std::move(uploader)) {
  if (!options_.enabled) return;
  TrkSessionSettings& settings = uploader_->Settings;
  settings.ConnectTimeout = std::min<std::chrono::milliseconds>(settings.ConnectTimeout, kStepTimeout);
  settings.ReplyTimeout = std::min<std::chrono::milliseconds>(settings.ReplyTimeout, kStepTimeout);
  uploader_->RetryWait = std::chrono::seconds(1);
}

TrkServerLock::~TrkServerLock() { Release(); }

std::chrono::seconds TrkServerLock::RefreshEvery(std::chrono::minutes stale) {
  return std::min<std::chrono::seconds>(std::chrono::minutes(1),
                                        std::chrono::duration_cast<std::chrono::seconds>(stale) / 3);
}

std::string TrkServerLock::Take(std::stop_token stop) {
  if (!options_.enabled) return "";
  if (stop.stop_requested()) return kStopped;  // not to be taken for a run that ends
  std::unique_lock<std::mutex> lock(mu_);
  if (!tried_.wait(lock, stop, [this] { return state_ != State::kTaking; })) return kStopped;
  if (state_ == State::kTried) return outcome_;
  state_ = State::kTaking;
  lock.unlock();
  std::string outcome;
  {
    std::lock_guard<std::mutex> steps(steps_);
    try {
      outcome = TryTake(stop);
    } catch (const TrkError& e) {
      outcome = Failed("take the server lock", e);
    }
    uploader_->Disconnect();
  }
  lock.lock();
  outcome_ = outcome;
  state_ = State::kTried;
  tried_.notify_all();
  return outcome_;
}

std::string TrkServerLock::Outcome() const {
  std::lock_guard<std::mutex> lock(mu_);
  return state_ == State::kTried && outcome_ != kStopped ? outcome_ : "";
}

void TrkServerLock::Connect() {
  uploader_->Connect(uploader_->Server, uploader_->User, uploader_->Password, uploader_->Port, 1);
}

std::string TrkServerLock::TryTake(const std::stop_token& stop) {
  Connect();
  folder_ = uploader_->AbsolutePath(target_ + kFolderName);
  if (folder_.empty()) return Failed("take the server lock", "the server did not tell its login folder");
  uploader_->ForceDir(TrkUploader::ParentDir(folder_));
  const auto give_up = std::chrono::steady_clock::now() + options_.wait;
  for (int missing = 0;;) {
    TrkTransferSession& session = *uploader_->Session();
    if (session.MakeDir(folder_)) return Hold();
    const TrkTransferSession::Listing listing = Look(session, folder_);
    if (listing.outcome == Outcome::kBroken) return Failed("take the server lock", session.LastFailure());
    // Let go between the refusal and the look, or not made at all.
    if (listing.outcome == Outcome::kNoFolder) {
      if (++missing < 3) continue;
      return Failed("make the lock folder " + folder_, session.LastFailure());
    }
    const std::optional<TrkLockHolder> holder = HolderIn(listing);
    const bool stale = holder && std::time(nullptr) - holder->alive > options_.stale.count() * 60;
    if (stale || std::chrono::steady_clock::now() >= give_up) return Refusal(holder, stale);
    if (!Pause(stop, kLookEvery)) return kStopped;
  }
}

std::string TrkServerLock::Refusal(const std::optional<TrkLockHolder>& holder, bool stale) const {
  const std::time_t now = std::time(nullptr);
  if (!holder) return "the server is locked: " + folder_ + " names no holder; dropvan --break-lock PROJECT removes it";
  std::string text = "the server is locked by " + holder->Since(now);
  if (!stale) return text;
  return text + ", but its holder has not been heard of for " + std::to_string((now - holder->alive) / 60) +
         " min: the lock is stale; dropvan --break-lock PROJECT removes it";
}

std::string TrkServerLock::Hold() {
  me_ = TrkLockHolder::Me();
  try {
    const TrkLocalNote note("dropvan-lock", NoteFor(me_));
    uploader_->PutFile(note.path(), folder_ + "/" + me_.Name(), 1);
  } catch (const TrkError& e) {
    if (TrkTransferSession* session = uploader_->Session()) session->RemoveDir(folder_);
    return Failed("take the server lock", e);
  }
  held_ = true;
  refresher_ = std::jthread([this](std::stop_token stop) { Refresh(stop); });
  return "";
}

void TrkServerLock::Refresh(const std::stop_token& stop) {
  while (Pause(stop, RefreshEvery(options_.stale))) {
    std::lock_guard<std::mutex> steps(steps_);
    TrkLockHolder now = me_;
    now.alive = std::time(nullptr);
    try {
      Connect();
      const std::optional<bool> renamed =
          uploader_->Session()->Rename(folder_ + "/" + me_.Name(), folder_ + "/" + now.Name());
      if (renamed.value_or(false)) me_ = now;
      // Gone: someone broke this run's lock, and what is there now is not ours.
      if (renamed.has_value() && !*renamed) held_ = false;
    } catch (const TrkError&) {
      // The next refresh tries again; a lock left unrefreshed only goes stale.
    }
    uploader_->Disconnect();
    if (!held_) return;
  }
}

void TrkServerLock::Release() {
  if (refresher_.joinable()) {
    refresher_.request_stop();
    refresher_.join();
  }
  std::lock_guard<std::mutex> steps(steps_);
  if (!held_) return;
  held_ = false;
  try {
    Connect();
    TrkTransferSession& session = *uploader_->Session();
    // Only a folder that still holds this run's file is this run's to remove.
    if (session.Delete(folder_ + "/" + me_.Name())) session.RemoveDir(folder_);
  } catch (const TrkError&) {
    // Left for its staleness to tell; nothing else can be done now.
  }
  uploader_->Disconnect();
}

std::string TrkServerLock::Break(TrkUploader& uploader, const std::string& target) {
  uploader.Connect(uploader.Server, uploader.User, uploader.Password, uploader.Port, 1);
  const std::string folder = uploader.AbsolutePath(target + kFolderName);
  const auto refused = [&session = *uploader.Session()] {
    return TrkError(Failed("break the server lock", session.LastFailure()));
  };
  if (folder.empty()) throw TrkError(Failed("break the server lock", "the server did not tell its login folder"));
  TrkTransferSession& session = *uploader.Session();
  const TrkTransferSession::Listing listing = Look(session, folder);
  if (listing.outcome == Outcome::kNoFolder) return "the server is not locked (no " + folder + ")";
  if (listing.outcome != Outcome::kListed) throw refused();
  const std::optional<TrkLockHolder> holder = HolderIn(listing);
  for (const auto& [name, size] : listing.sizes) {
    if (!session.Delete(folder + "/" + name)) throw refused();
  }
  if (!session.RemoveDir(folder)) throw refused();
  return holder ? "removed the lock of " + holder->Since(std::time(nullptr)) : "removed the lock " + folder;
}
