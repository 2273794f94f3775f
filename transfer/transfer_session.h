#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <unordered_map>
#include <vector>

class TrkMD5;
class TrkRateLimit;
class TrkServerProfile;

// The protocols a session may speak.
enum class TrkProtocol { kFtp, kSftp };

// How FTP data connections are made: the server connects back to the program
// (active), the program connects to the server (passive), or active until the
// server cannot connect back, then passive (auto).
enum class TrkDataConnection { kActive, kPassive, kAuto };

// In auto mode, how long an active transfer waits for the server to connect
// back (at most the reply time-out): a server that can reach the program does
// so at once.
inline constexpr std::chrono::milliseconds kAutoAcceptWait{5000};

// How a session reaches its server, beside the account.
struct TrkSessionSettings {
  TrkProtocol Protocol = TrkProtocol::kFtp;
  TrkDataConnection Data = TrkDataConnection::kActive;
  // With kAuto: what is known of the destination's data connections, shared by
  // the sessions of a run; null: what this session alone learns.
  std::shared_ptr<TrkServerProfile> Profile;
  // Explicit TLS on the control connection and every data connection (FTP).
  bool Secure = false;
  // With Secure: TLS from each connection's first byte rather than asked for
  // (FTP's implicit TLS, "ftps://").
  bool ImplicitTls = false;
  // With Secure: the server's certificate must verify and name the server.
  bool SecureVerify = true;
  // Limit for opening the connection and logging in.
  std::chrono::milliseconds ConnectTimeout{30000};
  // Limit for any one reply of the server. Whole seconds; less than one counts as one.
  std::chrono::milliseconds ReplyTimeout{60000};
  // A transfer that moves no byte for this long is broken. Whole seconds.
  std::chrono::milliseconds StallTimeout{60000};
  // SFTP: the private key to log in with; empty: the user's first of
  // ~/.ssh/id_ed25519, id_ecdsa and id_rsa (a running ssh-agent and a password
  // are tried as well).
  std::string KeyFile;
  // SFTP: the OpenSSH known_hosts file the server's host key must be in;
  // empty: ~/.ssh/known_hosts.
  std::string KnownHosts;
  // The cap on the bytes per second that the sessions of a run send together
  // (MaxRate); null: none.
  std::shared_ptr<TrkRateLimit> Rate;
  // A stop request ends whatever the session is doing at once (a connect, a
  // login, a reply awaited, a transfer), and what it was doing fails.
  std::stop_token Stop;
};

// One connection to a server, as the upload rules (TrkUploader) use it: log in,
// find and make folders, store a file and learn what the server then holds,
// rename and delete. An implementation speaks one protocol; the rules above it
// (size check, temporary names, known folders, retries) hold for every one.
//
// Paths are absolute remote paths ("/" separated), except where the rules pass
// on a relative one the server resolves against its login folder.
//
// Thread safety: one thread at a time. Destroying a session closes its
// connection.
class TrkTransferSession {
 public:
  // What the server answered when asked for a stored file's size, right after
  // the store and on the same connection.
  enum class SizeAnswer {
    kNone,     // no answer came: the connection failed
    kUnknown,  // the server has no way to tell (an FTP server without SIZE)
    kMissing,  // the server cannot find the file
    kHeld,     // the server holds `held` bytes of it
  };
  struct Stored {
    bool transferred = false;  // every byte went out and the server took the transfer
    bool refused = false;      // not transferred: the server refused the store for good
    int64_t sent = 0;          // the bytes that went out
    // Not transferred: the most bytes of this store the server may hold, from
    // where it began (0: none reached it, and what the server holds under the
    // name is not this store's). Bounds what a resumed store may build on.
    int64_t reached = 0;
    SizeAnswer size = SizeAnswer::kNone;
    std::string held;          // with kHeld: the size as the server wrote it
  };
  // A folder's regular files as the server lists them.
  struct Listing {
    enum class Outcome {
      kListed,    // `sizes` holds every regular file of the folder, unless MayBeCut()
      kUnlisted,  // the server would not list it, or not legibly: ask file by file
      kNoFolder,  // the server has no such folder
      kBroken,    // the connection failed
    };
    Outcome outcome = Outcome::kBroken;
    std::unordered_map<std::string, int64_t> sizes;  // by name; -1: the server told no size
    size_t entries = 0;  // with kListed: the entries the listing held, files or not

    // Some servers stop a listing at a set number of entries, a round one
    // (1,000, 2,000, 10,000): a listing of a multiple of kRoundEntries may
    // have been cut short, and a file missing from it may be there still.
    static constexpr size_t kRoundEntries = 500;
    bool MayBeCut() const { return entries > 0 && entries % kRoundEntries == 0; }
  };
  // What the server said when asked for one file's size on its own.
  struct Held {
    SizeAnswer size = SizeAnswer::kNone;
    int64_t bytes = -1;  // with kHeld
  };

  virtual ~TrkTransferSession() = default;

  // Opens the connection and logs in; false when either failed. `port` 0 is
  // the protocol's usual port.
  virtual bool Login(const std::string& server, int port, const std::string& user, const std::string& password) = 0;
  // Whether the last failed Login was turned away for want of room: the server
  // takes no more connections now (FTP's 421), until another is let go.
  virtual bool TurnedAway() const = 0;
  // Whether the last failed Login was refused at its password (FTP's 530 to
  // PASS): a wrong account, or a server that counts its connections only then
  // (proftpd's MaxClientsPerHost); only the owner can tell which.
  virtual bool LoginDenied() const { return false; }
  // Whether the last failed Login found the server too busy to talk, with
  // room a moment later: sshd drops connections beyond its MaxStartups while
  // others are still logging in.
  virtual bool Busy() const { return false; }
  // What the server said it offers as the last Login succeeded (FTP's FEAT:
  // "SIZE", "UTF8", "EPSV", ...); empty when it said nothing.
  virtual const std::vector<std::string>& Features() const { return no_features_; }
  // The folder the login landed in; empty when the server did not tell.
  virtual const std::string& EntryPath() const = 0;
  // Why the last request that failed failed, for the user: the server's
  // refusal ("553 Prohibited file name.") or the library's account of the
  // connection ("SSL certificate problem: self-signed certificate").
  virtual const std::string& LastFailure() const = 0;

  // Whether the server accepted `directory` as its current folder.
  virtual bool ChangeDir(const std::string& directory) = 0;
  // Whether the server made `directory`.
  virtual bool MakeDir(const std::string& directory) = 0;
  // Stores the local file at `remote`. With `digest`, the bytes are digested
  // as they go out (Init, then Update; the caller finishes it).
  virtual Stored Store(const std::string& local_path, const std::string& remote, TrkMD5* digest) = 0;
  // Whether StoreNext may save round trips: callers need not find their next
  // file early for a session that ignores it.
  virtual bool StoresAhead() const { return false; }
  // Names the file the Store after the next one will store, so that it can
  // begin while the next one's bytes are on their way (SFTP opens it). The
  // caller holds that file alone: nobody else of the run stores it. The
  // session may make `remote` ahead, empty, only where the server has nothing
  // by that name. Between the two stores only folder steps (ChangeDir,
  // MakeDir) and renames of other names keep it; any other request, another
  // Store or the session's end removes it first. A failed connection or a
  // stop may leave it, empty. What the server held is never touched ahead.
  virtual void StoreNext(const std::string& /*remote*/) {}
  // Sends the local file's bytes from `offset` on to the end of `remote`,
  // which holds the file's first `offset` bytes from a store that broke (FTP's
  // APPE; SFTP writes from that offset into the file, which must exist).
  // `sent` and `reached` count this call's bytes alone; the size the server
  // then tells is the whole file's. `refused`: the server will not append.
  virtual Stored Resume(const std::string& local_path, const std::string& remote, int64_t offset) = 0;
  // Whether the server renamed `from` to `to`; nothing when the connection failed.
  virtual std::optional<bool> Rename(const std::string& from, const std::string& to) = 0;
  // Whether the server deleted `path`.
  virtual bool Delete(const std::string& path) = 0;
  // Whether the server removed the folder `directory`; servers refuse to
  // remove one that is not empty.
  virtual bool RemoveDir(const std::string& directory) = 0;
  // The regular files of the folder `directory` with their sizes; kUnlisted
  // leaves every file of it to FileSize.
  virtual Listing ListFolder(const std::string& directory) = 0;
  // The size of the file `path` on the server, asked on its own.
  virtual Held FileSize(const std::string& path) = 0;

 private:
  const std::vector<std::string> no_features_{};
};
