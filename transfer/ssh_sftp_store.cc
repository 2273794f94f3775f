#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "digest/md5.h"
#include "transfer/rate_limit.h"
#include "transfer/ssh_sftp_session.h"

namespace {

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
// The open of the file stored next, sent ahead: it makes the file where
// nothing is, and is refused where anything is, which stays untouched.
constexpr unsigned long kAheadFlags = LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_EXCL;

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

}  // namespace

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
  // Opened ahead means made empty by this session: nothing there to resume,
  // and the resume's own open, after letting it go, is refused as it should be.
  LIBSSH2_SFTP_HANDLE* handle = offset == 0 ? TakeAhead(remote) : nullptr;
  const int opened = handle != nullptr ? 0 : Open(remote, flags, 0644, LIBSSH2_SFTP_OPENFILE, handle);
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
  SendAhead();
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
    if (SendAhead()) continue;  // the next file's open goes with this one's bytes
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

bool TrkSshSftpSession::SendAhead() {
  if (next_.empty() || Broken() || (libssh2_session_block_directions(Session()) & LIBSSH2_SESSION_BLOCK_OUTBOUND)) {
    return false;
  }
  LetGoOfAhead();
  ahead_.name = std::exchange(next_, {});
  LIBSSH2_SFTP_HANDLE* handle = nullptr;
  const int sent = SendOut(OpenCall(ahead_.name, kAheadFlags, 0644, LIBSSH2_SFTP_OPENFILE, handle), ReplyDeadline());
  ahead_.awaited = sent == LIBSSH2_ERROR_EAGAIN;
  ahead_.handle = handle;
  if (sent < 0 && !ahead_.awaited) {
    if (sent != LIBSSH2_ERROR_SFTP_PROTOCOL) Break();
    ahead_ = {};  // refused: the store opens the file itself
  }
  return true;
}

LIBSSH2_SFTP_HANDLE* TrkSshSftpSession::TakeAhead(const std::string& remote) {
  if (next_ == remote) next_.clear();
  if (ahead_.name != remote) {
    LetGoOfAhead();
    return nullptr;
  }
  AwaitAhead();
  return std::exchange(ahead_, {}).handle;
}

void TrkSshSftpSession::AwaitAhead() {
  if (!ahead_.awaited) return;
  ahead_.awaited = false;
  LIBSSH2_SFTP_HANDLE* handle = nullptr;
  const int result = Broken() ? LIBSSH2_ERROR_SOCKET_DISCONNECT
                              : connection_->Drive(OpenCall(ahead_.name, kAheadFlags, 0644, LIBSSH2_SFTP_OPENFILE,
                                                            handle), ReplyDeadline());
  ahead_.handle = handle;
  if (Succeeded(result)) return;
  // A file there already (or a folder missing) leaves the store to open it;
  // a failed connection fails the store that asks next.
  if (result != LIBSSH2_ERROR_SFTP_PROTOCOL && !Broken()) Break();
  ahead_ = {};
}

void TrkSshSftpSession::LetGoOfAhead() {
  if (ahead_.name.empty()) return;
  AwaitAhead();
  const Ahead ahead = std::exchange(ahead_, {});
  if (ahead.handle == nullptr || Broken()) return;
  CloseLater(ahead.handle);
  Request([&] { return libssh2_sftp_unlink_ex(sftp_, ahead.name.data(), Length(ahead.name)); });
}

