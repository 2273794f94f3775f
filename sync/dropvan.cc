#include "sync/dropvan.h"

#include <filesystem>
#include <functional>
#include <future>
#include <thread>
#include <utility>

#include "project/error.h"
#include "project/options.h"
#include "project/percent_encoding.h"
#include "project/platform.h"
#include "project/whole_file.h"
#include "record/file_stat.h"
#include "transfer/ftp_text.h"
#include "digest/md5.h"
#include "sync/account.h"
#include "sync/remover.h"
#include "transfer/server_profile.h"
#include "record/upload_store.h"
#include "transfer/new_session.h"

namespace {

// A content digest as the record keeps it.
TrkUploadStore::Key DigestBytes(const std::string& hex) {
  TrkUploadStore::Key bytes;
  if (!TrkMD5::BytesOf(hex, bytes)) throw TrkError("Not a content digest: \"" + hex + "\"");
  return bytes;
}

const char kFileIdentical[] = "File identical.";
// How often a worker waiting for room on the server looks for a stop request.
constexpr std::chrono::milliseconds kStopPoll{100};

// Blanks, control characters, "%" and "=" are escaped, so that the record's
// destination line never reads as an entry; the user name also escapes what
// would end it, the host and port what would end them.
constexpr TrkPercentEncoding kDestinationEncoding =
    TrkPercentEncoding::Where([](unsigned char byte) { return byte <= ' ' || byte == 0x7f; }).With("=");
constexpr TrkPercentEncoding kUserEncoding = kDestinationEncoding.With("@:/");
constexpr TrkPercentEncoding kHostEncoding = kDestinationEncoding.With("/");

// The folder of an absolute remote path; "/" for a file of the root.
std::string FolderOf(const std::string& path) {
  const std::string folder = TrkUploader::ParentDir(path);
  return folder.empty() ? "/" : folder;
}

// The record's key of a local file.
TrkUploadStore::Key RecordKey(const std::string& local_path) {
  return TrkMD5().DigestBytes(trk_platform::PathKeyText(local_path));
}

// Runs `upload`; when it fails while a file is known to stand in the way of
// its folder (`way`), the failure names that file as its cause.
void Blocked(const std::string& way, const std::function<void()>& upload) {
  try {
    upload();
  } catch (const TrkStopped&) {
    throw;
  } catch (const TrkError& e) {
    if (way.empty()) throw;
    throw TrkError("[Error]Upload file failure (" + way + ")", way);
  }
}

}  // namespace

namespace {

TrkSyncRun& SyncRunOf(const std::shared_ptr<TrkChainShare>& share) {
  auto* run = dynamic_cast<TrkSyncRun*>(share.get());
  if (run == nullptr) throw TrkError("A sync worker was made without its run's shared state");
  return *run;
}

}  // namespace

TrkDropvan::TrkDropvan(TrkBatch& batch, int number, TrkItemEvent on_item_done,
                       const std::shared_ptr<TrkChainShare>& share)
    : TrkConvertor(batch, number, std::move(on_item_done), share),
      TryTimes(batch.Project().Options().GetInt("TryTimes", 3)),
      Choose(batch.Project()),
      Uploader(std::make_unique<TrkUploader>(TrkNewTransferSession)),
      run_(SyncRunOf(share)) {
  const TrkOptions& options = batch.Project().Options();
  const TrkAccount account = TrkAccount::FromOptions(options);
  account.SetUp(*Uploader);
  account_failure_ = account.failure;
  Uploader->Settings.Stop = StopToken();
  Uploader->RenameMask = TrkMaskList(options.Get("RenameMask"));
  Uploader->Settings.Profile = run_.Profile();
  Uploader->Settings.Rate = run_.Rate();
  recordings_ = run_.Store().NewQueue();
  JoinLogins();
}

TrkDropvan::~TrkDropvan() = default;

TrkDropvan::Choices::Choices(const TrkProject& project)
    : keep_subdirs(project.GetKeepTargetSubdirs()),
      sync_all(project.Options().GetBool("IsSyncAll", false)),
      upload(!project.Options().GetBool("NoUpload", false)),
      verify(project.Options().GetBool("Verify", false)),
      quick_check(project.Options().GetBool("QuickCheck", true)),
      dry_run(project.Options().GetBool("DryRun", false)) {}

std::string TrkDropvan::RemotePath(const std::string& local_path, const std::string& source_dir,
                                   const std::string& target_dir, bool keep_subdirs) {
  std::string relative;
  if (keep_subdirs && !source_dir.empty()) {
    // By length alone: the path is the folder's text followed by the file's.
    if (local_path.size() > source_dir.size()) relative = local_path.substr(source_dir.size());
  } else {
    size_t separator = trk_platform::LastSeparator(local_path);
    relative = separator == std::string::npos ? local_path : local_path.substr(separator + 1);
  }
  std::string remote = target_dir + relative;
#ifdef _WIN32
  for (char& c : remote) {
    if (c == '\\') c = '/';
  }
#endif
  // Elsewhere a backslash is an ordinary character of a name, never a folder.
  return remote;
}

void TrkDropvan::ConvertFile(TrkBatch& batch, TrkNode& item) {
  if (!folders_) folders_.emplace(batch.SourceDir(), batch.TargetDir());
  const std::string local_path(item.FileName());
  const std::string remote_path = RemotePath(local_path, folders_->first, folders_->second, Choose.keep_subdirs);
  try {
    SetResult(item, SyncFile(batch, local_path, remote_path));
    item.State = TrkNode::kSuccess;
    batch.RecordSuccess();
  } catch (const TrkServerBusy&) {
    return;  // handed back untouched: another worker may be at it already
  } catch (const TrkStopped&) {
    LeaveItem();  // neither stored nor failed: the next run sends it
    return;
  } catch (const TrkError& e) {
    // The file stays unrecorded, so the next run tries it again.
    SetResult(item, e.what());
    item.SetReason(e.Reason());
    item.State = TrkNode::kFailure;
    batch.RecordFailure(e.what());
  }
  run_.Logins().FileDone(WorkerNumber());
  if (Uploader->Session() != nullptr) run_.Ramp().FileUploaded();
}

std::string TrkDropvan::SyncFile(TrkBatch& batch, const std::string& local_path, const std::string& remote_path) {
  TrkUploadStore& store = run_.Store();
  TrkMD5 md5;  // this file's own
  const TrkUploadStore::Key key = RecordKey(local_path);
  if (!run_.Refusal().empty()) throw TrkError(run_.Refusal());
  ThrowIfLocked();
  const std::string recorded = store.Find(key);
  const bool sync_all = Choose.sync_all;
  const bool upload = Choose.upload;
  const bool verify = Choose.verify;
  // Left unread when its stat data show it holds the recorded bytes still.
  const bool unchanged = !sync_all && Choose.quick_check && KnownUnchanged(key, recorded, local_path);
  if (Choose.dry_run) {
    return DryRunResult(local_path, remote_path, unchanged ? recorded : "", recorded, sync_all, verify, md5);
  }
  std::string digest = unchanged ? recorded : "";
  std::optional<TrkFileStat> stat;
  int64_t sent = 0;
  if (upload && (recorded.empty() || sync_all)) {
    // Uploaded whatever its content: no digest needs to come first. An
    // unreadable file fails as its digest would have.
    CheckFileReadable(local_path);
    ThrowIfAccountFails();
    const std::string way = ClearTheWay(local_path);
    stat = TrkFileStat::Around(local_path, [&] {
      Blocked(way, [&] { digest = UploadAndDigest(local_path, remote_path, md5, sent); });
    });
  } else {
    if (!unchanged) {
      TrkFileStatWatch watch;
      digest = md5.DigestFileHex(local_path, [&watch](const struct stat& info) { watch.Seen(info); });
      stat = watch.Result();
    }
    const bool identical = recorded == digest && !sync_all;
    if (identical && stat) store.Statted(key, DigestBytes(digest), *stat);  // so that the next run need not read it
    // Without uploads nothing could mend what the server lost.
    if (identical && (!upload || !verify || ServerHolds(local_path, remote_path))) return kFileIdentical;
    if (upload) {
      ThrowIfAccountFails();
      const std::string way = ClearTheWay(local_path);
      Blocked(way, [&] { sent = Put(local_path, remote_path); });
    }
  }
  batch.AddBytesSent(static_cast<uint64_t>(sent));
  // A file recorded without an upload (NoUpload) is never one to delete.
  store.RecordLater(*recordings_, {key, DigestBytes(digest), local_path, upload ? remote_path : "", stat});
  return remote_path;
}

bool TrkDropvan::KnownUnchanged(const TrkUploadStore::Key& key, const std::string& recorded,
                                const std::string& local_path) {
  if (recorded.empty()) return false;
  const std::optional<TrkFileStat> now = folder_.Stat(local_path);
  return now && run_.Store().Unchanged(key, recorded, *now);
}

std::string TrkDropvan::DryRunResult(const std::string& local_path, const std::string& remote_path,
                                     const std::string& known, const std::string& recorded, bool sync_all,
                                     bool verify, TrkMD5& md5) {
  // Digested as in a run, so a file a run could not read fails here too.
  const std::string digest = known.empty() ? md5.DigestFileHex(local_path) : known;
  if (recorded == digest && !sync_all && (!verify || ServerHolds(local_path, remote_path))) return kFileIdentical;
  ThrowIfAccountFails();
  return "Would upload to " + remote_path;
}

std::string TrkDropvan::UploadAndDigest(const std::string& local_path, const std::string& remote_path, TrkMD5& md5,
                                        int64_t& sent) {
  std::error_code error;
  if (std::filesystem::file_size(local_path, error) < kParallelDigestBytes || error) {
    // Small: digested from the bytes as they are sent, in one read.
    sent = Put(local_path, remote_path, &md5);
    return md5.DigestText();
  }
  // Large: digested on a thread of its own while the transfer runs, so the
  // file takes about as long as the slower of the two, not their sum.
  std::future<std::string> digest =
      std::async(std::launch::async, [&local_path] { return TrkMD5().DigestFileHex(local_path); });
  try {
    sent = Put(local_path, remote_path);
  } catch (...) {
    digest.wait();
    throw;
  }
  return digest.get();
}

int64_t TrkDropvan::Put(const std::string& local_path, const std::string& remote_path, TrkMD5* digest) {
  TellNextFile();
  return Uploader->PutFile(local_path, remote_path, TryTimes, digest);
}

void TrkDropvan::TellNextFile() {
  if (!Uploader->StoresAhead()) return;
  const TrkNode* next = TakeAhead();
  if (next == nullptr) return;
  const std::string local_path(next->FileName());
  // A file whose digest decides may prove unchanged and not go up: opened
  // ahead where the server lost it, it would stand there empty, for a moment
  // or, after a stop, for good, while the record says it is there whole.
  if (!Choose.sync_all && !run_.Store().Find(RecordKey(local_path)).empty()) return;
  Uploader->PutNext(RemotePath(local_path, folders_->first, folders_->second, Choose.keep_subdirs));
}

bool TrkDropvan::ServerHolds(const std::string& local_path, const std::string& remote_path) {
  ThrowIfAccountFails();
  // Logged in before the listing is asked for, even when another worker
  // lists the folder: a relative path needs the login folder, and a worker
  // that waits for another's listing lists ahead on its own connection.
  Session();
  const std::string target = Uploader->AbsolutePath(remote_path);
  if (target.empty()) return false;  // the upload tells why
  const std::string folder = FolderOf(target);
  const std::shared_ptr<const TrkRemoteListings::Listing> listing =
      run_.Listings().Get(folder, [this, &folder] { return Session().ListFolder(folder); }, [this] { return ListAhead(); });
  if (listing == nullptr) {
    Uploader->Disconnect();  // broken: the upload starts afresh
    return false;
  }
  std::error_code error;
  const auto size = static_cast<int64_t>(std::filesystem::file_size(local_path, error));
  using Outcome = TrkRemoteListings::Listing::Outcome;
  if (listing->outcome == Outcome::kUnlisted) return HeldBySize(target, size);
  if (listing->outcome != Outcome::kListed) return false;
  const auto found = listing->sizes.find(target.substr(target.rfind('/') + 1));
  if (found == listing->sizes.end()) return listing->MayBeCut() && HeldBySize(target, size);
  return found->second < 0 || found->second == size;
}

bool TrkDropvan::ListAhead() {
  TrkTransferSession* const session = Uploader->Session();
  if (session == nullptr || !folders_) return false;
  std::string last;
  for (const std::string& path : Batch().Upcoming(kListAheadFiles)) {
    const std::string target =
        Uploader->AbsolutePath(RemotePath(path, folders_->first, folders_->second, Choose.keep_subdirs));
    if (target.empty()) continue;
    std::string folder = FolderOf(target);
    if (folder == last) continue;
    last = std::move(folder);
    bool broken = false;
    const bool listed = run_.Listings().ListAhead(last, [session, &last, &broken] {
      TrkTransferSession::Listing listing = session->ListFolder(last);
      broken = listing.outcome == TrkTransferSession::Listing::Outcome::kBroken;
      return listing;
    });
    if (broken) Uploader->Disconnect();  // the next request starts afresh
    if (listed) return !broken;
  }
  return false;
}

bool TrkDropvan::HeldBySize(const std::string& target, int64_t size) {
  using Size = TrkTransferSession::SizeAnswer;
  const TrkTransferSession::Held held = Session().FileSize(target);
  if (held.size == Size::kNone) Uploader->Disconnect();  // broken: the upload starts afresh
  return held.size == Size::kUnknown || (held.size == Size::kHeld && held.bytes == size);
}

TrkTransferSession& TrkDropvan::Session() {
  Uploader->Connect(Uploader->Server, Uploader->User, Uploader->Password, Uploader->Port, TryTimes);
  return *Uploader->Session();
}

void TrkDropvan::EndRun() {
  // Deletions change the server too: not without the lock, even in a run
  // that had nothing to upload.
  if (run_.Lock().Take(StopToken()).empty()) RemoveDeletedFiles();
  run_.Store().WorkersDone();
  run_.Lock().Release();
}

void TrkDropvan::ThrowIfLocked() {
  const std::string locked = run_.Lock().Take(StopToken());
  if (locked.empty()) return;
  if (StopToken().stop_requested()) throw TrkStopped();
  throw TrkError(locked);
}

bool TrkDropvan::AwaitTurn() {
  using Turn = TrkConnectionRamp::Turn;
  for (;;) {
    const Turn turn = run_.Ramp().AwaitTurn(WorkerNumber(), StopToken(), kStopPoll);
    if (turn != Turn::kNotYet) return turn == Turn::kYours;
    if (Terminated()) return false;
  }
}

void TrkDropvan::EndWork() {
  // A worker ends once the batch is through (or the run stops): no later
  // step could be measured, and those still waiting for one may go.
  run_.Ramp().Settle();
  Uploader->Disconnect();
  run_.Logins().Set(WorkerNumber(), TrkRunLogins::State::kEnded);
}

void TrkDropvan::RemoveDeletedFiles() {
  TrkBatch& batch = Batch();
  // An empty listing is an unmounted disk or a wrong Source far more often than
  // a site whose every page was taken down.
  const bool complete = batch.IsExhausted() && batch.Listed() > 0 && !StopToken().stop_requested();
  if (!run_.Removal().enabled || !complete || !run_.Refusal().empty() || account_failure_) return;
  TrkRemovalScope scope{batch.SourceDir(), batch.TargetDir(), {}, {}};
  for (TrkUnreadFolder& folder : batch.UnreadFolders()) scope.unread_folders.push_back(std::move(folder.path));
  if (!Choose.keep_subdirs) {
    // Elsewhere a listed file's server path is its recorded one, never a gone file's.
    TrkBatchLock lock(batch);
    for (const TrkNode& item : lock.Items()) {
      scope.listed_remotes.insert(RemotePath(std::string(item.FileName()), scope.source_dir, scope.target_dir, false));
    }
  }
  TrkRemover remover(run_.Removal(), *Uploader, run_.Store(), TryTimes);
  try {
    remover.Run(scope, [this](const std::string& local, bool ok, const std::string& text, const std::string& reason) {
      ReportOwnItem(local, ok, text, reason);
    });
  } catch (const TrkStopped&) {
    // What was not deleted stays recorded for the next run.
  }
}

void TrkDropvan::ReportOwnItem(const std::string& local, bool ok, const std::string& text, const std::string& reason) {
  TrkBatch& batch = Batch();
  TrkNode& item = batch.AddTaken(local);
  SetResult(item, text);
  item.SetReason(reason);
  item.State = ok ? TrkNode::kSuccess : TrkNode::kFailure;
  if (ok) {
    batch.RecordSuccess();
  } else {
    batch.RecordFailure(text);
  }
  ItemDone(item);
}

std::string TrkDropvan::ClearTheWay(const std::string& local_path) {
  const std::string& source = folders_->first;
  const size_t separator = trk_platform::LastSeparator(local_path);
  if (!Choose.keep_subdirs || source.empty() || separator == std::string::npos || separator <= source.size()) return "";
  // Files come folder by folder: one look per folder, not per file.
  std::string folder = local_path.substr(0, separator);
  if (folder == way_checked_.folder) return way_checked_.cause;
  std::string cause;
  TrkUploadStore& store = run_.Store();
  for (std::string at = folder; at.size() > source.size() && cause.empty(); at.resize(trk_platform::LastSeparator(at))) {
    const std::optional<TrkUploadPaths::Entry> file =
        store.RecordedPath(TrkMD5().DigestHex(trk_platform::PathKeyText(at)));
    if (!file || file->remote.empty()) continue;  // not a file of ours, or not one we uploaded
    const std::string in_the_way = TrkFilesInTheWay::Cause(file->remote, folders_->second);
    if (!run_.Removal().enabled) {
      cause = in_the_way + "; DeleteRemoved=True replaces it";
      continue;
    }
    const std::string failure = run_.FilesInTheWay().ClearOnce(file->remote, [&] { return RemoveFileInTheWay(*file); });
    if (!failure.empty()) throw TrkError("[Error]Upload file failure (" + in_the_way + ")", failure);
  }
  way_checked_ = {std::move(folder), cause};
  return cause;
}

std::string TrkDropvan::RemoveFileInTheWay(const TrkUploadPaths::Entry& file) {
  const std::string& target = folders_->second;
  std::string moved;
  try {
    if (!run_.Removal().move_to.empty()) moved = run_.Removal().MovedPath(file.remote, target);
    Uploader->RemoveFile(file.remote, moved, TryTimes);
  } catch (const TrkStopped&) {
    throw;
  } catch (const TrkError& e) {
    ReportOwnItem(file.local, false, e.what(), e.Reason());
    return e.Reason().empty() ? e.what() : e.Reason();
  }
  run_.Store().Forget(file.key);
  ReportOwnItem(file.local, true, "Deleted => " + file.remote + (moved.empty() ? "" : " (moved to " + moved + ")"), "");
  return "";
}

void TrkDropvan::ThrowIfAccountFails() const {
  if (account_failure_) throw *account_failure_;
}

std::string TrkDropvan::Destination(const TrkOptions& options, const std::string& target_dir, bool bracketed) {
  // Both forms of FTP name the same files: TLS, like Secure, is only the way there.
  const TrkAccount::Address address = TrkAccount::Read(options.Get("Server"));
  const bool sftp = address.protocol == TrkProtocol::kSftp;
  std::string port = options.Get("Port");
  if (port.empty()) port = std::to_string(address.usual_port);
  std::string host = TrkUploader::HostPart(address.server);
  if (bracketed) host = trk_ftp::UrlHost(host);
  return (sftp ? "sftp://" : "ftp://") + kUserEncoding.Encoded(options.Get("User")) + "@" +
         kHostEncoding.Encoded(host) + ":" + kHostEncoding.Encoded(port) + kDestinationEncoding.Encoded(target_dir);
}

void TrkDropvan::JoinLogins() {
  run_.Logins().Join(WorkerNumber());
  Uploader->OnLoginState = [this](TrkLoginState state) {
    if (state == TrkLoginState::kConnecting) login_began_ = run_.Logins().Seen();
    run_.Logins().Tell(WorkerNumber(), state);
  };
  Uploader->OnTooManyConnections = [this] { return AwaitLoginRoom(); };
  Uploader->AccountProven = [this] { return AccountProven(); };
}

bool TrkDropvan::AwaitLoginRoom() {
  using Turn = TrkRunLogins::Turn;
  run_.Logins().Set(WorkerNumber(), TrkRunLogins::State::kTurnedAway);
  // The server has no room for more: ThreadsCount=Auto opens no more.
  run_.Ramp().Settle();
  // From the attempt's start, so an opening during the attempt is not missed.
  TrkRunLogins::Mark seen = login_began_;
  for (;;) {
    const Turn turn = run_.Logins().AfterRefusal(WorkerNumber());
    if (turn == Turn::kAsUsual) {
      run_.Logins().Set(WorkerNumber(), TrkRunLogins::State::kLoggedOut);
      return false;
    }
    if ((turn == Turn::kGiveWay || Terminated()) && HandBackItem()) throw TrkServerBusy();
    if (turn == Turn::kRetrySoon) {
      std::this_thread::sleep_for(kStopPoll);
      return true;
    }
    const TrkRunLogins::Mark now = run_.Logins().WaitForChange(seen, kStopPoll);
    if (now.openings != seen.openings) return true;
    seen = now;
  }
}

bool TrkDropvan::AccountProven() {
  for (;;) {
    const TrkRunLogins::Mark seen = run_.Logins().Seen();
    if (run_.Logins().AnyLoggedIn() || !run_.Logins().OthersConnecting(WorkerNumber()) || Terminated()) break;
    run_.Logins().WaitForChange(seen, kStopPoll);
  }
  return run_.Logins().AnyLoggedIn();
}
