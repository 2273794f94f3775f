#pragma once

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "transfer/ssh_connection.h"
#include "transfer/transfer_session.h"

// An SFTP session over libssh2 (TrkSshSftpSession), driven without blocking
// so that requests overlap where the rules allow and a wait costs no CPU:
// - a file's data goes out in a window of write requests, refilled from the
//   local file as the server acknowledges them, so a far server is kept busy;
// - the stored size is asked of the open handle, and for a file of one write
//   request that question goes out with the data, not after its answer;
// - the handle's close is sent without waiting, and its answer is read while
//   the next request is on its way (by the time of the close the server has
//   reported the whole size on the handle, which is what a store is judged
//   by, so a refused close is not told);
// - the file named by StoreNext is opened while this one's bytes are on
//   their way, so that in a run of small files each costs about one round
//   trip. That open makes the file only where nothing is (EXCL): a file the
//   server holds is left to its own store to open and empty, and one made
//   ahead whose store does not follow is removed.
// The server's host key must be in the settings' known_hosts file (OpenSSH's
// format, hashed names too); any other key refuses the connection, and the
// failure names the key's SHA256 fingerprint and how to accept it. It logs in
// with the key file, the password or a running ssh-agent. Folders are made
// with mode 755, files with 644.
std::unique_ptr<TrkTransferSession> TrkNewSshSftpSession(const TrkSessionSettings& settings);

// The session TrkNewSshSftpSession makes, for transfer/ alone (other modules
// take sessions through transfer/new_session.h): ssh_sftp_session.cc holds its
// requests and folders, ssh_sftp_store.cc its stores.
class TrkSshSftpSession : public TrkTransferSession {
 public:
  explicit TrkSshSftpSession(const TrkSessionSettings& settings);
  ~TrkSshSftpSession() override;

  bool Login(const std::string& server, int port, const std::string& user, const std::string& password) override;

  bool TurnedAway() const override { return false; }
  bool Busy() const override { return busy_; }
  const std::string& EntryPath() const override { return entry_path_; }
  const std::string& LastFailure() const override { return failure_; }

  bool ChangeDir(const std::string& directory) override;

  bool StoresAhead() const override { return true; }
  void StoreNext(const std::string& remote) override { next_ = remote; }

  bool MakeDir(const std::string& directory) override;

  bool Delete(const std::string& path) override;

  bool RemoveDir(const std::string& directory) override;

  std::optional<bool> Rename(const std::string& from, const std::string& to) override;

  Stored Store(const std::string& local_path, const std::string& remote, TrkMD5* digest) override {
    return Send(local_path, remote, 0, digest);
  }
  Stored Resume(const std::string& local_path, const std::string& remote, int64_t offset) override {
    return Send(local_path, remote, offset, nullptr);
  }

  Listing ListFolder(const std::string& directory) override;

  Held FileSize(const std::string& path) override;

 private:
  using Clock = TrkSshConnection::Clock;

  // A file's write requests on their way: the bytes read from the local file
  // and not yet acknowledged are buffer_[begin, end).
  struct Write {
    LIBSSH2_SFTP_HANDLE* handle;
    int64_t from = 0;  // where in the file the first byte goes
    size_t begin = 0, end = 0;
    bool eof = false;
    int64_t acked = 0;
    bool size_asked = false;  // the size question went out behind the file's one write request
    int size_result = LIBSSH2_ERROR_EAGAIN;  // with size_asked: its answer, EAGAIN while awaited
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
  };

  static unsigned int Length(const std::string& text) { return static_cast<unsigned int>(text.size()); }
  Clock::time_point ReplyDeadline() const { return Clock::now() + settings_.ReplyTimeout; }
  LIBSSH2_SESSION* Session() const { return connection_->session(); }
  bool Broken() const { return sftp_ == nullptr || broken_; }

  // Runs one request (a libssh2 call answering an int) to its answer. A close
  // left outstanding is answered once the request has gone out, so that the
  // two round trips overlap. libssh2 takes a new request only after the last
  // one's bytes are all out, hence the order.
  template <class Call>
  int Request(Call call) {
    if (Broken()) return LIBSSH2_ERROR_SOCKET_DISCONNECT;
    const auto deadline = ReplyDeadline();
    int result = SendOut(call, deadline);
    if (pending_close_ != nullptr) FinishClose(deadline);
    if (result == LIBSSH2_ERROR_EAGAIN && !Broken()) result = connection_->Drive(call, deadline);
    return Answered(result);
  }

  // Calls `call` until its request is all out (or answered).
  template <class Call>
  int SendOut(Call call, Clock::time_point deadline) {
    int result = call();
    while (result == LIBSSH2_ERROR_EAGAIN && (libssh2_session_block_directions(Session()) & LIBSSH2_SESSION_BLOCK_OUTBOUND)) {
      if (!connection_->Wait(deadline)) return LIBSSH2_ERROR_TIMEOUT;
      result = call();
    }
    return result;
  }

  // Notes what a request's answer says: the server's status for a refusal, the
  // connection's failure (which ends the session) for anything else.
  int Answered(int result);

  static bool Succeeded(int result) { return result >= 0; }

  void Break();

  // Lets the connection go, saying goodbye when it still can.
  void Drop();

  void CloseLater(LIBSSH2_SFTP_HANDLE* handle);

  void FinishClose(Clock::time_point deadline);

  // libssh2's open of `path` as `type` says (a file to write, a folder to
  // read): the request's answer, and with 0 the handle. One open at a time:
  // libssh2 takes a call while another is awaited for the awaited one's.
  auto OpenCall(const std::string& path, unsigned long flags, long mode, int type, LIBSSH2_SFTP_HANDLE*& handle) {
    return [this, &path, &handle, flags, mode, type] {
      handle = libssh2_sftp_open_ex(sftp_, path.data(), Length(path), flags, mode, type);
      return handle != nullptr ? 0 : libssh2_session_last_errno(Session());
    };
  }
  int Open(const std::string& path, unsigned long flags, long mode, int type, LIBSSH2_SFTP_HANDLE*& handle) {
    LetGoOfAhead();
    return Request(OpenCall(path, flags, mode, type, handle));
  }

  bool Stat(const std::string& path, LIBSSH2_SFTP_ATTRIBUTES& attrs);

  std::string RealPath(const std::string& path);

  // Stores the local file from `offset` on: into a new or emptied file from
  // 0, else into the file the server has, at `offset`.
  Stored Send(const std::string& local_path, const std::string& remote, int64_t offset, TrkMD5* digest);

  // The file stored next, opened ahead (see StoreNext). Opened by this
  // session where nothing was, so the session's to remove when its store
  // does not follow.
  struct Ahead {
    std::string name;                       // empty: none
    LIBSSH2_SFTP_HANDLE* handle = nullptr;  // once the server opened it
    bool awaited = false;                   // the open went out, its answer not yet read
  };
  // Sends the open of the file stored next, unless a request's bytes are
  // still going out; true when it went (and may have read other answers).
  bool SendAhead();
  // The handle opened ahead for `remote`; null when there is none, after
  // letting go of one opened for another name.
  LIBSSH2_SFTP_HANDLE* TakeAhead(const std::string& remote);
  // Reads the answer to the open sent ahead.
  void AwaitAhead();
  // Closes and removes the file opened ahead; nothing while there is none.
  void LetGoOfAhead();
  // For a request other than a store: what was to be opened ahead is not.
  void Settle() {
    next_.clear();
    LetGoOfAhead();
  }
  bool Touches(const std::string& path) const { return !path.empty() && (path == next_ || path == ahead_.name); }
  // Sends the file's bytes in a window of write requests until the server
  // has acknowledged them all: 0, or why not.
  int WriteAll(Write& write, int fd, TrkMD5* digest);
  bool ReadAhead(Write& write, int fd, TrkMD5* digest);
  void AskSizeNow(Write& write);
  void AwaitEarlySize(Write& write);
  void AskSize(Write& write, Stored& stored);
  unsigned long WindowLeft() const;
  Listing ReadFolder(LIBSSH2_SFTP_HANDLE* handle);

  const TrkSessionSettings settings_;
  const std::string key_file_;     // empty: none of the usual ones exists
  const std::string known_hosts_;
  std::unique_ptr<TrkSshConnection> connection_;  // null while logged out
  LIBSSH2_SFTP* sftp_ = nullptr;                  // of connection_; null: logged out or broken
  LIBSSH2_SFTP_HANDLE* pending_close_ = nullptr;  // a close sent, its answer not yet read
  std::string next_;                              // told by StoreNext, opened during the coming store
  Ahead ahead_;
  bool broken_ = false;                           // the connection failed: no request goes out
  std::vector<char> buffer_;                      // a file's bytes on their way
  std::string entry_path_;                        // of the current login
  bool busy_ = false;                             // the last Login found the server too busy
  unsigned long status_ = LIBSSH2_FX_OK;          // of the last refusal
  std::string failure_;                           // why the last request that failed failed
};
