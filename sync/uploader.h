#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

#include "project/error.h"
#include "record/file_stat.h"
#include "select/mask_list.h"
#include "transfer/transfer_session.h"

class TrkMD5;

// Where a session's login stands, as told to OnLoginState.
enum class TrkLoginState { kLoggedOut, kConnecting, kLoggedIn };

// Thrown by an OnTooManyConnections hook that gives the session's place up to
// the other sessions of its run; it passes through Connect and PutFile as is.
class TrkServerBusy : public TrkError {
 public:
  TrkServerBusy() : TrkError("[Error]The server takes no more connections") {}
};

// Thrown by Connect and PutFile once Settings.Stop is requested: the file was
// given up, neither stored nor failed.
class TrkStopped : public TrkError {
 public:
  TrkStopped() : TrkError("[Error]Stopped") {}
};

// The upload rules of one worker, over its own session with the server (a
// TrkTransferSession, made by the SessionMaker its owner gives it):
// it connects at the first PutFile, keeps the connection from file to file,
// creates missing remote directories, checks each store's size, stores programs
// (and the files RenameMask names) under a temporary name, and retries failed
// connects and stores within the budget the caller gives. Errors are TrkError with the messages
// "[Error]Connect to <server> failure" and "[Error]Upload file failure".
//
// Thread safety: a session is used by one thread at a time; sessions of
// different threads are independent connections and run in parallel.
// Destroying a session closes its connection.
class TrkUploader {
 public:
  // Makes a session to the server as `settings` say (TrkNewTransferSession in a run).
  using SessionMaker = std::function<std::unique_ptr<TrkTransferSession>(const TrkSessionSettings& settings)>;

  explicit TrkUploader(SessionMaker new_session);
  ~TrkUploader();
  TrkUploader(const TrkUploader&) = delete;
  TrkUploader& operator=(const TrkUploader&) = delete;

  // Uploads `local_path` to `remote_path` ("/" separated; absolute, or relative
  // to the folder the login lands in, whatever folder earlier files left
  // current), creating missing directories. A store counts only once the server
  // reports the stored file's size equal to the bytes sent (a server without
  // SIZE is trusted). A name ending in ".exe" (any case), or one that fits
  // RenameMask, is stored under the name followed by "_" and then renamed
  // over the live file, which is moved aside (name + "~dropvan", deleted
  // afterwards, put back on failure) only when the server will not rename
  // over it; a failed rename is a failed store. When
  // the server refuses the temporary name (one at its length limit), the two
  // names are short ones of the folder ("~dv" and 16 digits of the name's
  // digest, then ".new" and ".old"). The file is stored at most tries + 1
  // times; a large one whose store broke goes on from what the server holds
  // (see ResumeAbove). The last failure's detail follows "[Error]Upload file failure" in
  // parentheses when the program has one, and the error's Reason says what the
  // server or the connection said (both for a connect failure). A remote path
  // holding a control character (CR or LF would smuggle commands onto the
  // control connection) is refused before anything is sent.
  // With `sent_digest`, the file's bytes are digested as they are sent: on
  // return its DigestText is the digest of what the successful store sent, so
  // a file is read once, not once for the digest and once more for the transfer.
  // Returns the bytes the store that counted sent (after a resume, the rest alone).
  int64_t PutFile(const std::string& local_path, const std::string& remote_path, int tries,
                  TrkMD5* sent_digest = nullptr);

  // Names the file the caller puts next (`remote_path` as PutFile takes it),
  // told just before PutFile of the one before it: a session that stores
  // ahead (StoresAhead) opens it on the server while that one's bytes are on
  // their way; its folder is found or made first. The caller must
  // hold that file alone (no other worker of the run puts it) and put it
  // next; whatever it does instead, the session removes what it opened,
  // unless the connection failed or a stop came first (see
  // TrkTransferSession::StoreNext).
  void PutNext(const std::string& remote_path) { next_ = remote_path; }
  // Whether PutNext may save time on this connection.
  bool StoresAhead() const { return session_ != nullptr && logged_in_ && session_->StoresAhead(); }

  // Deletes the remote file `remote_path` or, when `move_to` is not empty,
  // moves it there (its folders made as needed; a file already there is
  // replaced). Connects as PutFile does. A file the server no longer has
  // counts as removed. Throws TrkError "[Error]Delete file failure (" + the
  // path + ")" with the server's reason when the server refused or the
  // connection failed.
  void RemoveFile(const std::string& remote_path, const std::string& move_to, int tries);
  // Removes the remote folder `directory` if the server will: a folder that
  // is not empty is refused, and a refusal or a failed connection is no
  // failure. Needs a connection (after RemoveFile).
  void RemoveEmptyDir(const std::string& directory);

  // Makes sure a logged-in connection exists: at most tries + 1 attempts,
  // RetryWait apart. After three given-up cycles it fails at once, without
  // attempting or waiting, until Disconnect. The error names the server without
  // any "user:password@" part. A port outside 0-65535 fails at once. A login
  // turned away for want of room (see AccountProven too) is first handed to OnTooManyConnections.
  void Connect(const std::string& server, const std::string& user, const std::string& password,
               int port, int tries);

  // The session Connect logged in, for questions beside the uploads (what the
  // server holds); null while none is logged in.
  TrkTransferSession* Session() const { return logged_in_ ? session_.get() : nullptr; }
  // `remote_path` made absolute against the login folder; empty when it is
  // relative and the server did not tell that folder. Needs a session.
  std::string AbsolutePath(const std::string& remote_path) const;

  // Closes the connection and sets FailCount to 0. Never fails. Tells
  // OnLoginState kLoggedOut when it let go of a logged-in connection.
  void Disconnect();

  // Makes sure the remote directory exists: the deepest existing level is
  // found by changing into it, the missing levels are then created top down.
  // A directory this connection already found or made is taken as there, with
  // no command at all; what is known is forgotten with the connection, so a
  // failed store (which reconnects) checks afresh. Leaves the server's current
  // directory wherever it was last changed to. Never fails: returns empty, or,
  // when a level could not be made, the server's refusal of the highest one
  // ("the server refused to make the folder "/www/sub": ..."), which a store
  // in it that fails then names.
  std::string ForceDir(const std::string& directory);

  // The part of `path` before its last "/" (or "\" on Windows, where it
  // separates too); empty when it holds none.
  static std::string ParentDir(const std::string& path);
  // `server` without a "user:password@" part, fit for messages.
  static std::string HostPart(const std::string& server);
  // The connect failure for a port text that is no port number.
  static std::string BadPortMessage(const std::string& server, const std::string& port);

  // Connect cycles given up since creation or the last Disconnect.
  int32_t FailCount = 0;

  // Account, set by the owner right after creation. Port 0 means the FTP
  // default port 21; a Port outside 0-65535 fails every connect at once.
  std::string Password;
  int32_t Port = 21;
  std::string Server;
  std::string User;
  // How the session reaches the server: data connection mode, TLS, time-outs.
  // Read when a session is made (at a connect after Disconnect).
  TrkSessionSettings Settings;
  // Names of files that, like programs, are stored under a temporary name and
  // then renamed over the live file (see PutFile), so that nobody reading the
  // live one ever gets part of it. Empty: programs alone.
  TrkMaskList RenameMask;
  // Makes the sessions, one at each connect after Disconnect: the
  // constructor's, unless replaced.
  SessionMaker NewSession;
  // Why a login may fail, said in parentheses after a given-up connect's
  // message (a credentials file that was not used); empty: nothing to say.
  std::string ConnectNote;

  // A store of a file larger than this (bytes) that breaks once some of its
  // bytes reached the server goes on, at the next attempt, from what the
  // server then holds, as long as that is no more than the store can have
  // sent and the local file is unchanged; a server that will not append gets
  // the whole file again at once. A store digested as it goes (PutFile's
  // sent_digest) always starts over: its digest is of the bytes sent.
  int64_t ResumeAbove = int64_t{8} << 20;

  // Wait between connect attempts; a stop request (Settings.Stop) ends it.
  std::chrono::milliseconds RetryWait{10000};

  // Told, on the session's thread, as a login attempt starts and ends and as
  // the connection is let go, so that the sessions of a run know which of them
  // hold a connection. Must not throw. May stay unset.
  std::function<void(TrkLoginState)> OnLoginState;
  // Asked when the server refuses a login with 421 (too many connections, as
  // a server that limits connections per address answers): true to try again
  // at once, the refusal not counted; false to count it as a failed attempt
  // like any other (RetryWait, TryTimes). It may wait before answering, or
  // throw TrkServerBusy. Unset: counted like any other failure.
  std::function<bool()> OnTooManyConnections;
  // Asked when the server refuses a login at its password: true when the
  // account has been seen to work on this server (another session of the run
  // logged in with it), so the refusal is the server's connection limit and
  // goes to OnTooManyConnections. Unset: a refused account.
  std::function<bool()> AccountProven;

 private:
  // Hands the session the name the file of PutNext is stored under.
  void TellNext();
  // Changes the server's current directory; true when the server accepted it.
  bool ChangeDir(const std::string& directory);
  // The names of a file stored by renaming while it is stored: the new one's,
  // and the live one's when moved aside (see PutFile).
  struct TemporaryNames {
    std::string store, aside;
  };
  static TemporaryNames NamesFor(const std::string& target, bool short_names);
  // One attempt at putting the file whole at `target`: nothing on success
  // (`stored` then holds its bytes), else the detail to quote (empty for a
  // plain broken transfer, whose reason is the session's).
  std::optional<std::string> StoreWhole(const std::string& local_path, const std::string& target,
                                        TrkMD5* sent_digest, int64_t& stored);
  // Stores the local file at `name`, or resumes the store there that broke
  // (see ResumeAbove); `from` gets where the store began.
  TrkTransferSession::Stored Send(const std::string& local_path, const std::string& name, TrkMD5* sent_digest,
                                  int64_t& from);
  // Where a store of the local file `local` at `name` may go on from: what the
  // server holds of the store that broke there, or 0 to start over.
  int64_t ResumePoint(const TrkFileStat& local, const std::string& name);
  // Nothing when the server's account of the stored file, asked right after
  // the store, says that it holds `expected` bytes; else the detail.
  static std::optional<std::string> CheckStoredSize(const std::string& name, const TrkTransferSession::Stored& store,
                                                    int64_t expected);
  // Moves `from` to `to`, replacing a file at `to`; false when the server refused.
  bool MoveReplacing(const std::string& from, const std::string& to);
  // Whether `target` is stored under a temporary name, then renamed (see PutFile).
  bool StoredByRenaming(const std::string& target) const;
  // Renames the stored file over the live `target` (see PutFile).
  std::optional<std::string> MoveInto(const TemporaryNames& names, const std::string& target);
  // The reason of a failed store whose detail is `detail`.
  std::string Reason(const std::string& detail) const;
  // How long a connect goes on trying a server too busy to talk (see
  // TrkTransferSession::Busy), a pause between tries, before such a refusal
  // counts as a failed attempt.
  static constexpr std::chrono::milliseconds kBusyPatience{3000};
  static constexpr std::chrono::milliseconds kBusyPause{50};
  // One login attempt, told to OnLoginState. True when another attempt is to
  // follow at once: the server was busy (until `busy_until`), or it turned the
  // login away for want of room and OnTooManyConnections asks for it.
  bool LoginAgainAtOnce(const std::string& server, const std::string& user, const std::string& password, int port,
                        std::chrono::steady_clock::time_point busy_until);

  // Throws TrkStopped once a stop is requested.
  void ThrowIfStopped() const;
  // RetryWait, or less when a stop is requested meanwhile; then ThrowIfStopped.
  void WaitBeforeRetry() const;

  // Notes `directory` and its parents as existing on this connection.
  void KnowDir(const std::string& directory);

  std::unique_ptr<TrkTransferSession> session_;  // null until first needed, and after Disconnect
  bool logged_in_ = false;
  std::string connect_failure_;  // why the last failed login failed
  // Directories this connection found or made (absolute). Saves a CWD per file.
  std::unordered_set<std::string> known_dirs_;
  // The current PutFile's store that broke with some of its bytes on the
  // server, while a later attempt may go on from them.
  struct BrokenStore {
    std::string name;     // where it was stored
    int64_t reached = 0;  // the most bytes of the file it can have put there
    TrkFileStat local;    // the local file's as its bytes were read
  };
  std::optional<BrokenStore> broken_;
  std::string next_;  // PutNext's, until the next store begins
};
