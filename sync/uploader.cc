#include "sync/uploader.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "project/error.h"
#include "record/file_stat.h"
#include "transfer/ftp_text.h"
#include "digest/md5.h"

namespace {

using trk_ftp::EndsWithExe;
using trk_ftp::HasControlChar;

const char kUploadFailure[] = "[Error]Upload file failure";
const char kNoLoginFolder[] = "the server did not tell its login folder";
const char kBadRemoteName[] =
    "[Error]Remote file name holds a line break or other control character";

}  // namespace

TrkUploader::TrkUploader(SessionMaker new_session) : NewSession(std::move(new_session)) {}
TrkUploader::~TrkUploader() = default;

int64_t TrkUploader::PutFile(const std::string& local_path, const std::string& remote_path, int tries,
                                TrkMD5* sent_digest) {
  if (HasControlChar(remote_path)) throw TrkError(kBadRemoteName);
  broken_.reset();
  for (;;) {
    Connect(Server, User, Password, Port, tries);
    int64_t stored = 0;
    std::optional<std::string> failure = StoreWhole(local_path, AbsolutePath(remote_path), sent_digest, stored);
    if (!failure) {
      if (sent_digest != nullptr) sent_digest->Final();
      return stored;
    }
    ThrowIfStopped();
    if (tries <= 0) throw TrkError(kUploadFailure + (failure->empty() ? "" : " (" + *failure + ")"), Reason(*failure));
    // A failed store may have left the connection unusable: start afresh.
    Disconnect();
    --tries;
  }
}

void TrkUploader::RemoveFile(const std::string& remote_path, const std::string& move_to, int tries) {
  if (HasControlChar(remote_path) || HasControlChar(move_to)) throw TrkError(kBadRemoteName);
  const std::string failure = "[Error]Delete file failure (" + remote_path + ")";
  Connect(Server, User, Password, Port, tries);
  const std::string path = AbsolutePath(remote_path);
  const std::string to = move_to.empty() ? std::string() : AbsolutePath(move_to);
  // Without its login folder a relative path names whatever folder is current.
  if (path.empty() || (!move_to.empty() && to.empty())) throw TrkError(failure, kNoLoginFolder);
  if (to.empty() ? session_->Delete(path) : MoveReplacing(path, to)) return;
  ThrowIfStopped();
  // Taken off the server by other means: what the deletion was for is done,
  // and failing it would fail every later run as well.
  if (session_->FileSize(path).size == TrkTransferSession::SizeAnswer::kMissing) return;
  const std::string reason = session_->LastFailure();
  // A refusal and a broken connection look alike here: the next request starts afresh.
  Disconnect();
  throw TrkError(failure, reason);
}

bool TrkUploader::MoveReplacing(const std::string& from, const std::string& to) {
  ForceDir(ParentDir(to));
  std::optional<bool> moved = session_->Rename(from, to);
  if (!moved || *moved) return moved.value_or(false);
  // Servers that will not rename over a file: the older copy there goes.
  return session_->Delete(to) && session_->Rename(from, to).value_or(false);
}

void TrkUploader::RemoveEmptyDir(const std::string& directory) {
  const std::string path = session_ && logged_in_ ? AbsolutePath(directory) : std::string();
  if (path.empty() || !session_->RemoveDir(path)) return;
  // Known folders are below the removed one too: none of them exists now.
  std::erase_if(known_dirs_, [&path](const std::string& known) {
    return known == path || known.starts_with(path + "/");
  });
}


std::string TrkUploader::Reason(const std::string& detail) const {
  if (!detail.empty()) return detail;
  return session_ ? session_->LastFailure() : std::string();
}

TrkUploader::TemporaryNames TrkUploader::NamesFor(const std::string& target, bool short_names) {
  if (!short_names) return {target + "_", target + "~dropvan"};
  const std::string stem = ParentDir(target) + "/~dv" + TrkMD5().DigestHex(target).substr(0, 16);
  return {stem + ".new", stem + ".old"};
}

std::string TrkUploader::AbsolutePath(const std::string& remote_path) const {
  if (remote_path.empty() || remote_path.front() == '/') return remote_path;
  const std::string& home = session_->EntryPath();
  if (home.empty()) return "";
  return home + (home.back() == '/' ? "" : "/") + remote_path;
}

std::optional<std::string> TrkUploader::StoreWhole(const std::string& local_path, const std::string& target,
                                                   TrkMD5* sent_digest, int64_t& stored) {
  // Without its login folder a relative path would land wherever the server's
  // current folder happens to be.
  if (target.empty()) return std::string(kNoLoginFolder);
  const std::string no_folder = ForceDir(ParentDir(target));
  TellNext();
  // Stored under another name first, so that a half-stored program never
  // carries the name that users start, nor a half-stored page the one visitors load.
  const bool renamed = StoredByRenaming(target);
  TemporaryNames names = NamesFor(target, false);
  int64_t from = 0;
  TrkTransferSession::Stored store = Send(local_path, renamed ? names.store : target, sent_digest, from);
  if (renamed && store.refused) {
    // A name at the server's limit has no room for the suffix: a short one.
    names = NamesFor(target, true);
    store = Send(local_path, names.store, sent_digest, from);
  }
  const std::string name = renamed ? names.store : target;
  // A store into a folder that could not be made fails for want of it.
  if (!store.transferred) return no_folder;
  if (std::optional<std::string> failure = CheckStoredSize(name, store, from + store.sent)) return failure;
  stored = store.sent;
  if (renamed) return MoveInto(names, target);
  return std::nullopt;
}

void TrkUploader::TellNext() {
  const std::string next = AbsolutePath(std::exchange(next_, {}));
  if (next.empty() || HasControlChar(next)) return;
  // Its folder is found or made now rather than at its own store, which
  // then need not wait for its open; one the server refuses waits for that
  // store to tell why.
  if (!ForceDir(ParentDir(next)).empty()) return;
  session_->StoreNext(StoredByRenaming(next) ? NamesFor(next, false).store : next);
}

bool TrkUploader::StoredByRenaming(const std::string& target) const {
  return EndsWithExe(target) || RenameMask.MatchesName(target);
}

TrkTransferSession::Stored TrkUploader::Send(const std::string& local_path, const std::string& name,
                                             TrkMD5* sent_digest, int64_t& from) {
  // Taken before the bytes are read: a file written to meanwhile is not resumed.
  std::optional<TrkFileStat> before = sent_digest == nullptr ? TrkFileStat::Of(local_path) : std::nullopt;
  if (before && (before->size <= ResumeAbove || before->Racy())) before.reset();
  from = before ? ResumePoint(*before, name) : 0;
  TrkTransferSession::Stored store;
  if (from > 0) {
    store = session_->Resume(local_path, name, from);
    // A server that will not append gets the whole file again, at once.
    if (store.refused) from = 0;
  }
  if (from == 0) store = session_->Store(local_path, name, sent_digest);
  const int64_t reached = from + store.reached;
  if (before && !store.transferred && !store.refused && reached > 0) {
    broken_ = BrokenStore{name, reached, *before};
  } else if (broken_ && broken_->name == name) {
    broken_.reset();
  }
  return store;
}

int64_t TrkUploader::ResumePoint(const TrkFileStat& local, const std::string& name) {
  if (!broken_ || broken_->name != name || !broken_->local.SameFile(local)) return 0;
  // What the server holds of the broken store is this file's bytes only up to
  // what that store can have sent; more, and something else wrote there.
  const TrkTransferSession::Held held = session_->FileSize(name);
  if (held.size != TrkTransferSession::SizeAnswer::kHeld || held.bytes > broken_->reached) return 0;
  return std::max<int64_t>(held.bytes, 0);
}

std::optional<std::string> TrkUploader::CheckStoredSize(const std::string& name, const TrkTransferSession::Stored& store,
                                                        int64_t expected) {
  using Size = TrkTransferSession::SizeAnswer;
  switch (store.size) {
    case Size::kNone: return std::string();
    case Size::kUnknown: return std::nullopt;  // trusted as the store's reply said
    case Size::kMissing: return "the server cannot find the stored file \"" + name + "\"";
    case Size::kHeld: break;
  }
  if (store.held == std::to_string(expected)) return std::nullopt;
  return "the server holds " + store.held + " of " + std::to_string(expected) + " bytes of \"" + name + "\"";
}

std::optional<std::string> TrkUploader::MoveInto(const TemporaryNames& names, const std::string& target) {
  const std::string& name = names.store;
  const std::string refused = "the server refused to rename \"" + name + "\" to \"" + target + "\"";
  std::optional<bool> moved = session_->Rename(name, target);
  if (!moved) return std::string();
  if (*moved) return std::nullopt;
  // Some servers will not rename over an existing file. The live one is moved
  // aside rather than deleted, so that it can be put back when the new one
  // still cannot take its place: it is missing only between two renames.
  const std::string& aside = names.aside;
  session_->Delete(aside);  // left by an attempt that was cut off
  moved = session_->Rename(target, aside);
  if (!moved) return std::string();
  if (!*moved) return refused;
  moved = session_->Rename(name, target);
  if (moved && *moved) {
    session_->Delete(aside);
    return std::nullopt;
  }
  session_->Rename(aside, target);
  return moved ? refused : std::string();
}

void TrkUploader::Connect(const std::string& server, const std::string& user,
                             const std::string& password, int port, int tries) {
  // Wrapping it would reach some other service of the server.
  if (port < 0 || port > 65535) throw TrkError(BadPortMessage(server, std::to_string(port)));
  const auto busy_until = std::chrono::steady_clock::now() + kBusyPatience;
  for (;;) {
    if (FailCount < 3) {
      if (!session_) session_ = NewSession(Settings);
      if (!logged_in_ && session_ && LoginAgainAtOnce(server, user, password, port, busy_until)) continue;
    }
    if (logged_in_) return;
    ThrowIfStopped();  // a login the stop cut short is no failure of the server's
    // A session that has given up three cycles fails at once: waiting out
    // the whole schedule without attempting anything would only stall the run.
    if (tries > 0 && FailCount < 3) {
      WaitBeforeRetry();
      --tries;
      continue;
    }
    ++FailCount;
    const std::string note = ConnectNote.empty() ? "" : " (" + ConnectNote + ")";
    throw TrkError("[Error]Connect to " + HostPart(server) + " failure" + note, connect_failure_);
  }
}

void TrkUploader::Disconnect() {
  session_.reset();
  if (logged_in_ && OnLoginState) OnLoginState(TrkLoginState::kLoggedOut);
  logged_in_ = false;
  known_dirs_.clear();
  FailCount = 0;
}

std::string TrkUploader::ForceDir(const std::string& directory) {
  if (directory.empty() || known_dirs_.count(directory) != 0) return "";
  if (ChangeDir(directory)) {
    KnowDir(directory);
    return "";
  }
  // Tried even when the level above was refused: a server may refuse to make
  // a folder that is there but will not let itself be entered.
  const std::string above = ForceDir(ParentDir(directory));
  if (!session_) return above;
  if (session_->MakeDir(directory)) {
    KnowDir(directory);
    return "";
  }
  const std::string refusal = session_->LastFailure();
  // A refusal may only mean that another worker of the run made it meanwhile.
  if (ChangeDir(directory)) {
    KnowDir(directory);
    return "";
  }
  if (!above.empty()) return above;
  return "the server refused to make the folder \"" + directory + "\": " + refusal;
}

void TrkUploader::KnowDir(const std::string& directory) {
  for (std::string level = directory; !level.empty() && known_dirs_.insert(level).second;) {
    level = ParentDir(level);
  }
}

std::string TrkUploader::BadPortMessage(const std::string& server, const std::string& port) {
  return "[Error]Connect to " + HostPart(server) + " failure: port \"" + port +
         "\" is not a port number (1-65535)";
}

std::string TrkUploader::HostPart(const std::string& server) {
  size_t at = server.rfind('@');
  return at == std::string::npos ? server : server.substr(at + 1);
}

std::string TrkUploader::ParentDir(const std::string& path) {
#ifdef _WIN32
  size_t slash = path.find_last_of("/\\");
#else
  // A backslash is an ordinary character of a POSIX name.
  size_t slash = path.rfind('/');
#endif
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void TrkUploader::ThrowIfStopped() const {
  if (Settings.Stop.stop_requested()) throw TrkStopped();
}

void TrkUploader::WaitBeforeRetry() const {
  std::mutex mu;
  std::unique_lock<std::mutex> lock(mu);
  std::condition_variable_any().wait_for(lock, Settings.Stop, RetryWait, [] { return false; });
  ThrowIfStopped();
}

bool TrkUploader::ChangeDir(const std::string& directory) { return session_ && session_->ChangeDir(directory); }

bool TrkUploader::LoginAgainAtOnce(const std::string& server, const std::string& user, const std::string& password,
                                   int port, std::chrono::steady_clock::time_point busy_until) {
  if (OnLoginState) OnLoginState(TrkLoginState::kConnecting);
  logged_in_ = session_->Login(server, port, user, password);
  if (!logged_in_) connect_failure_ = session_->LastFailure();
  if (OnLoginState) OnLoginState(logged_in_ ? TrkLoginState::kLoggedIn : TrkLoginState::kLoggedOut);
  if (logged_in_) return false;
  if (session_->Busy() && std::chrono::steady_clock::now() < busy_until) {
    std::this_thread::sleep_for(kBusyPause);
    return true;
  }
  const bool full = session_->TurnedAway() || (session_->LoginDenied() && AccountProven && AccountProven());
  return full && OnTooManyConnections && OnTooManyConnections();
}
