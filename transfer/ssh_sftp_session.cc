#include "transfer/ssh_sftp_session.h"

#include <fcntl.h>
#include <libssh2_sftp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "digest/md5.h"
#include "transfer/rate_limit.h"
#include "transfer/ssh_connection.h"

namespace {

using Clock = TrkSshConnection::Clock;

// libssh2 sends a write request of at most this many bytes; a file no longer
// is one request, after which the size can be asked at once.
constexpr size_t kOneWrite = 30000;
// The file's bytes kept on their way: enough to fill OpenSSH's channel window
// (2 MiB) across a 50 ms round trip while the next ones are read.
constexpr size_t kWindowBytes = size_t{4} << 20;
// The bytes read and granted at a time under a rate cap: a tenth of a
// second's worth, so that no grant waits long, within 1 KiB and 64 KiB.
size_t PacedBytes(const TrkRateLimit& rate) {
  return static_cast<size_t>(std::clamp<int64_t>(rate.rate() / 10, 1 << 10, 64 << 10));
}
// WriteAll's answer when the local file could not be read.
constexpr int kLocalFailure = -1000;

std::string Home() {
  const char* home = std::getenv("HOME");
  return home != nullptr ? home : "";
}

// The user's first private key of the usual names; empty when there is none.
std::string DefaultKeyFile() {
  for (const char* name : {"id_ed25519", "id_ecdsa", "id_rsa"}) {
    const std::string path = Home() + "/.ssh/" + name;
    if (access(path.c_str(), R_OK) == 0) return path;
  }
  return "";
}

// The words for an SFTP status code, as OpenSSH's client says them.
std::string StatusText(unsigned long status) {
  switch (status) {
    case LIBSSH2_FX_NO_SUCH_FILE: return "No such file";
    case LIBSSH2_FX_PERMISSION_DENIED: return "Permission denied";
    case LIBSSH2_FX_FAILURE: return "Failure";
    case LIBSSH2_FX_BAD_MESSAGE: return "Bad message";
    case LIBSSH2_FX_OP_UNSUPPORTED: return "Operation unsupported";
    case LIBSSH2_FX_NO_SUCH_PATH: return "No such path";
    case LIBSSH2_FX_FILE_ALREADY_EXISTS: return "File already exists";
    case LIBSSH2_FX_WRITE_PROTECT: return "Write protected";
    case LIBSSH2_FX_NO_SPACE_ON_FILESYSTEM: return "No space left on the server";
    case LIBSSH2_FX_QUOTA_EXCEEDED: return "Quota exceeded";
    case LIBSSH2_FX_DIR_NOT_EMPTY: return "Folder not empty";
    case LIBSSH2_FX_NOT_A_DIRECTORY: return "Not a folder";
    case LIBSSH2_FX_INVALID_FILENAME: return "Invalid file name";
    default: return "SFTP status " + std::to_string(status);
  }
}

bool IsMissing(unsigned long status) {
  return status == LIBSSH2_FX_NO_SUCH_FILE || status == LIBSSH2_FX_NO_SUCH_PATH;
}

class LocalFile {
 public:
  explicit LocalFile(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~LocalFile() {
    if (fd_ >= 0) close(fd_);
  }
  LocalFile(const LocalFile&) = delete;
  LocalFile& operator=(const LocalFile&) = delete;
  int fd() const { return fd_; }

 private:
  const int fd_;
};

class TrkSshSftpSession : public TrkTransferSession {
 public:
  explicit TrkSshSftpSession(const TrkSessionSettings& settings)
      : settings_(settings),
        key_file_(settings.KeyFile.empty() ? DefaultKeyFile() : settings.KeyFile),
        known_hosts_(settings.KnownHosts.empty() ? Home() + "/.ssh/known_hosts" : settings.KnownHosts) {}
  ~TrkSshSftpSession() override { Drop(); }

  bool Login(const std::string& server, int port, const std::string& user, const std::string& password) override {
    Drop();
    busy_ = false;
    entry_path_.clear();
    connection_ = std::make_unique<TrkSshConnection>(settings_, key_file_, known_hosts_);
    if (!connection_->Open(server, port == 0 ? 22 : port, user, password)) {
      busy_ = connection_->busy();
      failure_ = connection_->Failure();
      connection_.reset();
      return false;
    }
    sftp_ = connection_->DrivePointer([&] { return libssh2_sftp_init(Session()); }, ReplyDeadline());
    if (sftp_ == nullptr) {
      connection_->FailWithLibraryError();
      failure_ = connection_->Failure();
      connection_.reset();
      return false;
    }
    entry_path_ = RealPath(".");
    return true;
  }

  bool TurnedAway() const override { return false; }
  bool Busy() const override { return busy_; }
  const std::string& EntryPath() const override { return entry_path_; }
  const std::string& LastFailure() const override { return failure_; }

  bool ChangeDir(const std::string& directory) override {
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    if (!Stat(directory, attrs)) return false;
    if (LIBSSH2_SFTP_S_ISDIR(attrs.permissions)) return true;
    failure_ = "Not a folder";
    return false;
  }

  bool MakeDir(const std::string& directory) override {
    return Succeeded(Request([&] { return libssh2_sftp_mkdir_ex(sftp_, directory.data(), Length(directory), 0755); }));
  }

  bool Delete(const std::string& path) override {
    return Succeeded(Request([&] { return libssh2_sftp_unlink_ex(sftp_, path.data(), Length(path)); }));
  }

  bool RemoveDir(const std::string& directory) override {
    return Succeeded(Request([&] { return libssh2_sftp_rmdir_ex(sftp_, directory.data(), Length(directory)); }));
  }

  std::optional<bool> Rename(const std::string& from, const std::string& to) override {
    const int result = Request([&] {
      return libssh2_sftp_rename_ex(sftp_, from.data(), Length(from), to.data(), Length(to),
                                    LIBSSH2_SFTP_RENAME_OVERWRITE | LIBSSH2_SFTP_RENAME_ATOMIC |
                                        LIBSSH2_SFTP_RENAME_NATIVE);
    });
    if (Succeeded(result)) return true;
    if (result == LIBSSH2_ERROR_SFTP_PROTOCOL) return false;
    return std::nullopt;
  }

  Stored Store(const std::string& local_path, const std::string& remote, TrkMD5* digest) override {
    return Send(local_path, remote, 0, digest);
  }
  Stored Resume(const std::string& local_path, const std::string& remote, int64_t offset) override {
    return Send(local_path, remote, offset, nullptr);
  }

  Listing ListFolder(const std::string& directory) override {
    LIBSSH2_SFTP_HANDLE* handle = nullptr;
    const int opened = Open(directory, 0, 0, LIBSSH2_SFTP_OPENDIR, handle);
    if (!Succeeded(opened)) {
      if (opened != LIBSSH2_ERROR_SFTP_PROTOCOL) return {};
      return {IsMissing(status_) ? Listing::Outcome::kNoFolder : Listing::Outcome::kUnlisted, {}};
    }
    Listing listing = ReadFolder(handle);
    CloseLater(handle);
    return listing;
  }

  Held FileSize(const std::string& path) override {
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    if (!Stat(path, attrs)) return {Broken() || !IsMissing(status_) ? SizeAnswer::kNone : SizeAnswer::kMissing, -1};
    if (!(attrs.flags & LIBSSH2_SFTP_ATTR_SIZE)) return {SizeAnswer::kUnknown, -1};
    return {SizeAnswer::kHeld, static_cast<int64_t>(attrs.filesize)};
  }

 private:
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
  int Answered(int result) {
    if (result >= 0) return result;
    if (result == LIBSSH2_ERROR_SFTP_PROTOCOL) {
      status_ = libssh2_sftp_last_error(sftp_);
      failure_ = StatusText(status_);
      return result;
    }
    Break();
    return result;
  }

  static bool Succeeded(int result) { return result >= 0; }

  void Break() {
    if (connection_ != nullptr) {
      connection_->FailWithLibraryError();
      failure_ = connection_->Failure();
    }
    pending_close_ = nullptr;
    broken_ = true;
  }

  // Lets the connection go, saying goodbye when it still can.
  void Drop() {
    if (sftp_ != nullptr) {
      const auto deadline = Clock::now() + std::min<Clock::duration>(settings_.ReplyTimeout, std::chrono::seconds(1));
      if (pending_close_ != nullptr && !broken_) FinishClose(deadline);
      connection_->Drive([&] { return libssh2_sftp_shutdown(sftp_); }, deadline);
    }
    sftp_ = nullptr;
    pending_close_ = nullptr;
    broken_ = false;
    connection_.reset();
  }

  void CloseLater(LIBSSH2_SFTP_HANDLE* handle) {
    if (Broken()) return;
    const int sent = SendOut([&] { return libssh2_sftp_close_handle(handle); }, ReplyDeadline());
    if (sent == LIBSSH2_ERROR_EAGAIN) pending_close_ = handle;
    else if (sent < 0 && sent != LIBSSH2_ERROR_SFTP_PROTOCOL) Break();
  }

  void FinishClose(Clock::time_point deadline) {
    LIBSSH2_SFTP_HANDLE* handle = pending_close_;
    pending_close_ = nullptr;
    const int result = connection_->Drive([&] { return libssh2_sftp_close_handle(handle); }, deadline);
    if (result < 0 && result != LIBSSH2_ERROR_SFTP_PROTOCOL) Break();
  }

  // Opens `path` as `type` says (a file to write, a folder to read): the
  // request's answer, and with 0 the handle.
  int Open(const std::string& path, unsigned long flags, long mode, int type, LIBSSH2_SFTP_HANDLE*& handle) {
    return Request([&] {
      handle = libssh2_sftp_open_ex(sftp_, path.data(), Length(path), flags, mode, type);
      return handle != nullptr ? 0 : libssh2_session_last_errno(Session());
    });
  }

  bool Stat(const std::string& path, LIBSSH2_SFTP_ATTRIBUTES& attrs) {
    return Succeeded(
        Request([&] { return libssh2_sftp_stat_ex(sftp_, path.data(), Length(path), LIBSSH2_SFTP_STAT, &attrs); }));
  }

  std::string RealPath(const std::string& path) {
    std::vector<char> target(4096);
    const int length = Request([&] {
      return libssh2_sftp_symlink_ex(sftp_, path.data(), Length(path), target.data(),
                                     static_cast<unsigned int>(target.size()), LIBSSH2_SFTP_REALPATH);
    });
    return length > 0 ? std::string(target.data(), static_cast<size_t>(length)) : std::string();
  }

  // Stores the local file from `offset` on: into a new or emptied file from
  // 0, else into the file the server has, at `offset`.
  Stored Send(const std::string& local_path, const std::string& remote, int64_t offset, TrkMD5* digest);
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
  bool broken_ = false;                           // the connection failed: no request goes out
  std::vector<char> buffer_;                      // a file's bytes on their way
  std::string entry_path_;                        // of the current login
  bool busy_ = false;                             // the last Login found the server too busy
  unsigned long status_ = LIBSSH2_FX_OK;          // of the last refusal
  std::string failure_;                           // why the last request that failed failed
};

TrkTransferSession::Stored TrkSshSftpSession::Send(const std::string& local_path, const std::string& remote,
                                                   int64_t offset, TrkMD5* digest) {
  Stored stored;
  LocalFile local(local_path);
  if (local.fd() < 0 || lseek(local.fd(), static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset)) {
    failure_ = "cannot read " + local_path + ": " + std::strerror(errno);
    return stored;
  }
  // Appending needs the file the broken store left; made anew, the bytes
  // before `offset` would be a hole of zeros.
  const unsigned long flags = offset > 0 ? LIBSSH2_FXF_WRITE : LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC;
  LIBSSH2_SFTP_HANDLE* handle = nullptr;
  const int opened = Open(remote, flags, 0644, LIBSSH2_SFTP_OPENFILE, handle);
  if (!Succeeded(opened)) {
    stored.refused = opened == LIBSSH2_ERROR_SFTP_PROTOCOL;  // a missing folder, a refused name
    return stored;
  }
  if (digest != nullptr) digest->Init();
  libssh2_sftp_seek64(handle, static_cast<libssh2_uint64_t>(offset));
  struct stat status {};
  const auto size = fstat(local.fd(), &status) == 0 ? static_cast<size_t>(status.st_size) : kWindowBytes;
  buffer_.resize(std::max(buffer_.size(), std::min(kWindowBytes, size + 1)));
  Write write{handle, offset};
  const int written = WriteAll(write, local.fd(), digest);
  stored.sent = write.acked;
  AwaitEarlySize(write);
  if (Succeeded(written)) {
    stored.transferred = true;
    AskSize(write, stored);
  } else {
    // What was handed to the connection may have landed, acknowledged or not.
    stored.reached = write.acked + static_cast<int64_t>(write.end - write.begin);
  }
  CloseLater(handle);
  return stored;
}

int TrkSshSftpSession::WriteAll(Write& write, int fd, TrkMD5* digest) {
  auto stalled = Clock::now() + settings_.StallTimeout;
  for (;;) {
    if (!ReadAhead(write, fd, digest)) return kLocalFailure;
    if (write.begin == write.end && write.eof) return 0;
    const unsigned long window = WindowLeft();
    const ssize_t acked = libssh2_sftp_write(write.handle, buffer_.data() + write.begin, write.end - write.begin);
    if (acked > 0) {
      write.begin += static_cast<size_t>(acked);
      write.acked += acked;
      stalled = Clock::now() + settings_.StallTimeout;
      continue;
    }
    if (acked != LIBSSH2_ERROR_EAGAIN) return Answered(static_cast<int>(acked));
    if (!write.size_asked && write.eof && write.acked == 0 && write.end <= kOneWrite && WindowLeft() < window) {
      // The size question may read the write's answer on its way: ask the
      // write again before waiting for more.
      AskSizeNow(write);
      continue;
    }
    if (!write.eof && write.end < buffer_.size()) continue;  // more to read and send before waiting
    if (!connection_->Wait(stalled)) return Answered(LIBSSH2_ERROR_TIMEOUT);
  }
}

// Keeps the buffer filled from the local file as far as it goes; the unsent
// rest moves to the front once half the buffer is behind it.
bool TrkSshSftpSession::ReadAhead(Write& write, int fd, TrkMD5* digest) {
  if (write.begin >= buffer_.size() / 2) {
    std::memmove(buffer_.data(), buffer_.data() + write.begin, write.end - write.begin);
    write.end -= write.begin;
    write.begin = 0;
  }
  TrkRateLimit* const rate = settings_.Rate.get();
  while (!write.eof && write.end < buffer_.size()) {
    // Under a rate cap, a paced chunk at a time, so that what was read goes
    // out before the next wait.
    const size_t room = buffer_.size() - write.end;
    const ssize_t got = read(fd, buffer_.data() + write.end, rate != nullptr ? std::min(room, PacedBytes(*rate)) : room);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      failure_ = std::string("cannot read the local file: ") + std::strerror(errno);
      return false;
    }
    if (got == 0) write.eof = true;
    if (digest != nullptr) digest->Update(buffer_.data() + write.end, static_cast<size_t>(got));
    write.end += static_cast<size_t>(got);
    if (rate != nullptr) {
      if (!rate->Pace(got, settings_.Stop)) {
        failure_ = "stopped";
        return false;
      }
      break;
    }
  }
  return true;
}

// The file went out in one write request, now wholly sent (the channel's
// window took it): the size question follows it at once, and its answer
// comes one round trip sooner.
void TrkSshSftpSession::AskSizeNow(Write& write) {
  if (libssh2_session_block_directions(Session()) & LIBSSH2_SESSION_BLOCK_OUTBOUND) return;
  write.size_result = SendOut([&] { return libssh2_sftp_fstat_ex(write.handle, &write.attrs, 0); }, ReplyDeadline());
  write.size_asked = true;
}

// A size question asked early is answered even when the store failed:
// libssh2 would take its answer for the next one's.
void TrkSshSftpSession::AwaitEarlySize(Write& write) {
  if (!write.size_asked || write.size_result != LIBSSH2_ERROR_EAGAIN || Broken()) return;
  write.size_result = Answered(
      connection_->Drive([&] { return libssh2_sftp_fstat_ex(write.handle, &write.attrs, 0); }, ReplyDeadline()));
}

// The stored size as the open handle tells it. An answer asked early may have
// been given before the data's last write: one short of the bytes sent is
// asked again.
void TrkSshSftpSession::AskSize(Write& write, Stored& stored) {
  auto fstat = [&] { return libssh2_sftp_fstat_ex(write.handle, &write.attrs, 0); };
  int result = write.size_result;
  const bool whole = Succeeded(result) && (write.attrs.flags & LIBSSH2_SFTP_ATTR_SIZE) &&
                     static_cast<int64_t>(write.attrs.filesize) == write.from + write.acked;
  if (!write.size_asked || (Succeeded(result) && !whole)) result = Request(fstat);
  if (!Succeeded(result)) return;  // kNone: the store does not count
  if (!(write.attrs.flags & LIBSSH2_SFTP_ATTR_SIZE)) {
    stored.size = SizeAnswer::kUnknown;
    return;
  }
  stored.size = SizeAnswer::kHeld;
  stored.held = std::to_string(write.attrs.filesize);
}

TrkTransferSession::Listing TrkSshSftpSession::ReadFolder(LIBSSH2_SFTP_HANDLE* handle) {
  Listing listing{Listing::Outcome::kListed, {}};
  std::vector<char> name(4096);
  for (;;) {
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    const int length = Request(
        [&] { return libssh2_sftp_readdir_ex(handle, name.data(), name.size(), nullptr, 0, &attrs); });
    if (length == 0) return listing;
    if (length < 0) return {Broken() ? Listing::Outcome::kBroken : Listing::Outcome::kUnlisted, {}};
    ++listing.entries;
    if ((attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) && LIBSSH2_SFTP_S_ISREG(attrs.permissions)) {
      const int64_t size = (attrs.flags & LIBSSH2_SFTP_ATTR_SIZE) ? static_cast<int64_t>(attrs.filesize) : -1;
      listing.sizes[std::string(name.data(), static_cast<size_t>(length))] = size;
    }
  }
}

unsigned long TrkSshSftpSession::WindowLeft() const {
  return libssh2_channel_window_write_ex(libssh2_sftp_get_channel(sftp_), nullptr);
}

}  // namespace

std::unique_ptr<TrkTransferSession> TrkNewSshSftpSession(const TrkSessionSettings& settings) {
  return std::make_unique<TrkSshSftpSession>(settings);
}
