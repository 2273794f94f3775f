#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "batch/convertor.h"

#include "sync/folder_handle.h"
#include "sync/run_logins.h"
#include "sync/sync_run.h"
#include "record/upload_store.h"
#include "sync/uploader.h"

class TrkMD5;
class TrkOptions;

// The sync convertor: for each file of a run, uploads it through this worker's
// own FTP session unless the upload record shows its content was uploaded
// before, and records what it uploaded. The decision rests on content: the
// record maps the digest of the file's path to the digest of its bytes, read
// again unless the file's stat data show them unchanged (see ConvertFile).
//
// One object per worker thread, made by the chain (register Class() as the
// project's ConvertorClass). ConvertFile runs on the worker's thread. What the
// workers share (the record, TrkUploadStore::Process(); the logins, listings,
// files in the way and server profile of the run) guards itself, and no lock is
// held while a worker reads, digests or transfers, so workers transfer in
// parallel, each over its own connection.
class TrkDropvan : public TrkConvertor {
 public:
  // What the workers of a run share: made before any of them.
  using Share = TrkSyncRun;

  // Builds the rest of the chain first (base constructor), then reads the
  // options "TryTimes", the account (TrkAccount) and the connection's, takes
  // its queue of recordings from the run's store and joins the run's census
  // of logins. `share` is the run's TrkSyncRun.
  TrkDropvan(TrkBatch& batch, int number, TrkItemEvent on_item_done, const std::shared_ptr<TrkChainShare>& share);
  // Closes the session, then the base goes.
  ~TrkDropvan() override;

  static TrkConvertorClass Class() { return TrkConvertorClassOf<TrkDropvan>(); }

  // Uploads or skips one file and leaves State, ResultText and the batch's
  // count: the remote path or "File identical." on success, the error's message
  // on failure (such a file is not recorded and is tried again next run). The
  // options "KeepTargetSubdirs", "IsSyncAll", "NoUpload", "Verify", "DryRun"
  // and "QuickCheck" are read as the worker is built (Choices), the batch's
  // folders at its first file. With "QuickCheck" (default True) a
  // recorded file whose stat data are those kept when its bytes were last read
  // is taken as unchanged without being opened; every file read gets its stat
  // data kept beside the record when they were the same before and after.
  void ConvertFile(TrkBatch& batch, TrkNode& item) override;

  // The remote path of `local_path`: the target directory followed by the path
  // below the source folder (cut by length) when `keep_subdirs` and there is a
  // source folder, else by the file's name alone; on Windows every "\" then
  // becomes "/".
  static std::string RemotePath(const std::string& local_path, const std::string& source_dir,
                                const std::string& target_dir, bool keep_subdirs);

  // The destination a run's record describes: "ftp://user@host:port" and the
  // target directory, without any password, "=" and spaces escaped, an IPv6
  // address in brackets unless `bracketed` is false (as earlier versions wrote it).
  static std::string Destination(const TrkOptions& options, const std::string& target_dir, bool bracketed = true);

 protected:
  // Waits while the run's ramp has not opened this worker's connection yet
  // (ThreadsCount=Auto); false once it never will.
  bool AwaitTurn() override;
  // Closes the connection as the worker ends.
  void EndWork() override;
  // On the run's last worker: deletes what was removed locally (option
  // "DeleteRemoved", see TrkRemover) when the run went through every file,
  // then stops the record's timed save and writes what is left, so the owner
  // finds the record settled when the run's end is reported.
  void EndRun() override;

  // The retry budget of every transfer (option "TryTimes", default 3).
  const int32_t TryTimes;
  // How the run treats every file, read once: a run decides all its files
  // the same way, and reading the options per file cost more than the rest
  // of the decision in a run where nothing changed.
  struct Choices {
    explicit Choices(const TrkProject& project);
    bool keep_subdirs, sync_all, upload, verify, quick_check, dry_run;
  };
  const Choices Choose;
  // This worker's session, owned from construction to destruction. Derived
  // classes (tests) may adjust its waits and time-outs in their constructor.
  const std::unique_ptr<TrkUploader> Uploader;

 private:
  // Joins the run's census of logins, hooked to this worker's session.
  void JoinLogins();
  // The session's answer to a login the server turned away for want of room
  // (see TrkUploader::OnTooManyConnections). Once another worker of the run
  // holds a connection, hands the item back and throws TrkServerBusy, leaving
  // the work to those that hold one (the worker then ends); while none holds
  // one but others are logging in, waits until one of them is in or a
  // connection is let go and asks for another attempt; when no other worker holds or
  // opens a connection, asks for another attempt after a short pause while a
  // connection was let go moments ago (TrkRunLogins::kSettle), else lets the
  // refusal count as a failed attempt. A stopped worker hands its item back too.
  bool AwaitLoginRoom();
  // Whether the account has logged in to the server during the run (see
  // TrkUploader::AccountProven). A login refused at its password while others
  // are still logging in waits for them: the first logins of a run meet a
  // limit that counts at the password (proftpd) before any of them is told.
  bool AccountProven();
  // Uploads a file whose upload does not depend on its digest, and returns
  // the digest of its content, read once for a small file and in parallel with
  // the transfer for one of kParallelDigestBytes or more. `sent` gets the bytes stored.
  std::string UploadAndDigest(const std::string& local_path, const std::string& remote_path, TrkMD5& md5,
                              int64_t& sent);
  static constexpr uintmax_t kParallelDigestBytes = 8 << 20;
  // Takes the run's lock on the server (ServerLock) at the first file, the
  // other workers waiting for it; throws the refusal every file then fails
  // with when another run holds it.
  void ThrowIfLocked();
  // PutFile, telling the uploader first which file this worker puts next
  // when its session can open that one while this one's bytes go out.
  int64_t Put(const std::string& local_path, const std::string& remote_path, TrkMD5* digest = nullptr);
  // Takes the worker's next file ahead and names it to the uploader (see
  // TrkUploader::PutNext), when the worker will upload it whatever it holds.
  void TellNextFile();
  // A dry run's decision for one file (option "DryRun"): "File identical." or
  // "Would upload to " + the remote path; nothing is stored or recorded, and
  // the server is only asked what it holds when `verify`. The file is read
  // unless its digest is `known` (from its stat data).
  std::string DryRunResult(const std::string& local_path, const std::string& remote_path, const std::string& known,
                           const std::string& recorded, bool sync_all, bool verify, TrkMD5& md5);
  // Whether the file of `local_path`, recorded (under `key`) with the digest
  // `recorded`, holds those bytes still by its stat data, taken without opening it.
  bool KnownUnchanged(const TrkUploadStore::Key& key, const std::string& recorded, const std::string& local_path);
  // Whether the server still holds the file of `remote_path` at the local
  // file's size (option "Verify"), by the run's one listing of its folder, or
  // by asking its size alone when the folder could not be listed or when the
  // listing lacks it and may have been cut short. Connects as an upload does.
  // A check the connection broke off counts as not held, so the upload that
  // follows reports on the connection.
  bool ServerHolds(const std::string& local_path, const std::string& remote_path);
  // Lists, on this worker's connection, the remote folder of a file still to
  // come that no worker has listed: for a worker that would wait for
  // another's listing, so that a Verify run's listings go on side by side.
  // False when there was none (among the next kListAheadFiles) or the
  // connection broke.
  bool ListAhead();
  static constexpr size_t kListAheadFiles = 200;
  // Whether the server tells `target`'s size as `size`, or cannot tell sizes.
  bool HeldBySize(const std::string& target, int64_t size);
  // This worker's logged-in session, connected as an upload connects.
  TrkTransferSession& Session();

  // The closing deletions, on the run's last worker, once the run handed out
  // every file of a listed folder that held any, unstopped; each file an item
  // of its own in the run's list and log. Nothing below a folder the listing
  // could not read is deleted.
  void RemoveDeletedFiles();
  // Before the file of `local_path` goes up: removes a file of this program's
  // on the server whose local place a folder on the file's way took (see
  // TrkFilesInTheWay), when the run deletes what was removed locally, and
  // throws TrkError when that fails. Returns why the upload may fail when such
  // a file is left there (a run without DeleteRemoved); else empty. A dry run
  // uploads nothing, so never gets here: its closing deletions show the file.
  std::string ClearTheWay(const std::string& local_path);
  // Clears the way of one recorded file: deleted or moved, forgotten, and
  // shown as an item of its own. Empty, or why it could not be removed.
  std::string RemoveFileInTheWay(const TrkUploadPaths::Entry& file);
  // Adds an item for work beyond the listed files (a deletion, a refusal) to
  // the run's list and log, finished and counted.
  void ReportOwnItem(const std::string& local, bool ok, const std::string& text, const std::string& reason);

  // Throws account_failure_ when there is one.
  void ThrowIfAccountFails() const;

  // Steps under the error handler for the file of `local_path`: returns the
  // result text of a success.
  std::string SyncFile(TrkBatch& batch, const std::string& local_path, const std::string& remote_path);

  // The connect failure every upload ends in, before any connection, when
  // the account's options cannot work (TrkAccount::failure).
  std::optional<TrkError> account_failure_;
  // The batch's source and target folders, taken at this worker's first file
  // (a batch gets them before it has any): worker's thread only.
  std::optional<std::pair<std::string, std::string>> folders_;
  // The folder of the file last statted for the quick check: worker's thread only.
  TrkFolderHandle folder_;
  // The run's shared state (the chain's share, which outlives the worker).
  TrkSyncRun& run_;
  // Where this worker's recordings go (TrkUploadStore::RecordLater).
  std::shared_ptr<TrkUploadStore::Queue> recordings_;
  // The local folder ClearTheWay last looked at, with what it returned then:
  // worker's thread only.
  struct WayChecked {
    std::string folder, cause;
  };
  WayChecked way_checked_;
  // The run's progress as this worker's last login attempt began (worker's thread).
  TrkRunLogins::Mark login_began_;
};
