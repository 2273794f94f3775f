#include "transfer/ssh_sftp_session.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "transfer/sftp_status.h"

namespace {

using trk_sftp::IsMissing;
using trk_sftp::StatusText;

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

}  // namespace

TrkSshSftpSession::TrkSshSftpSession(const TrkSessionSettings& settings)
    : settings_(settings),
      key_file_(settings.KeyFile.empty() ? DefaultKeyFile() : settings.KeyFile),
      known_hosts_(settings.KnownHosts.empty() ? Home() + "/.ssh/known_hosts" : settings.KnownHosts) {}

TrkSshSftpSession::~TrkSshSftpSession() { Drop(); }

bool TrkSshSftpSession::Login(const std::string& server, int port, const std::string& user, const std::string& password) {
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

bool TrkSshSftpSession::ChangeDir(const std::string& directory) {
  LIBSSH2_SFTP_ATTRIBUTES attrs{};
  if (!Stat(directory, attrs)) return false;
  if (LIBSSH2_SFTP_S_ISDIR(attrs.permissions)) return true;
  failure_ = "Not a folder";
  return false;
}

bool TrkSshSftpSession::MakeDir(const std::string& directory) {
  return Succeeded(Request([&] { return libssh2_sftp_mkdir_ex(sftp_, directory.data(), Length(directory), 0755); }));
}

bool TrkSshSftpSession::Delete(const std::string& path) {
  Settle();
  return Succeeded(Request([&] { return libssh2_sftp_unlink_ex(sftp_, path.data(), Length(path)); }));
}

bool TrkSshSftpSession::RemoveDir(const std::string& directory) {
  Settle();
  return Succeeded(Request([&] { return libssh2_sftp_rmdir_ex(sftp_, directory.data(), Length(directory)); }));
}

std::optional<bool> TrkSshSftpSession::Rename(const std::string& from, const std::string& to) {
  if (Touches(from) || Touches(to)) Settle();
  const int result = Request([&] {
    return libssh2_sftp_rename_ex(sftp_, from.data(), Length(from), to.data(), Length(to),
                                  LIBSSH2_SFTP_RENAME_OVERWRITE | LIBSSH2_SFTP_RENAME_ATOMIC |
                                      LIBSSH2_SFTP_RENAME_NATIVE);
  });
  if (Succeeded(result)) return true;
  if (result == LIBSSH2_ERROR_SFTP_PROTOCOL) return false;
  return std::nullopt;
}

TrkTransferSession::Listing TrkSshSftpSession::ListFolder(const std::string& directory) {
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

TrkTransferSession::Held TrkSshSftpSession::FileSize(const std::string& path) {
  Settle();
  LIBSSH2_SFTP_ATTRIBUTES attrs{};
  if (!Stat(path, attrs)) return {Broken() || !IsMissing(status_) ? SizeAnswer::kNone : SizeAnswer::kMissing, -1};
  if (!(attrs.flags & LIBSSH2_SFTP_ATTR_SIZE)) return {SizeAnswer::kUnknown, -1};
  return {SizeAnswer::kHeld, static_cast<int64_t>(attrs.filesize)};
}

int TrkSshSftpSession::Answered(int result) {
  if (result >= 0) return result;
  if (result == LIBSSH2_ERROR_SFTP_PROTOCOL) {
    status_ = libssh2_sftp_last_error(sftp_);
    failure_ = StatusText(status_);
    return result;
  }
  Break();
  return result;
}

void TrkSshSftpSession::Break() {
  if (connection_ != nullptr) {
    connection_->FailWithLibraryError();
    failure_ = connection_->Failure();
  }
  pending_close_ = nullptr;
  broken_ = true;
}

void TrkSshSftpSession::Drop() {
  if (sftp_ != nullptr) {
    const auto deadline = Clock::now() + std::min<Clock::duration>(settings_.ReplyTimeout, std::chrono::seconds(1));
    next_.clear();
    if (!broken_) LetGoOfAhead();
    if (pending_close_ != nullptr && !broken_) FinishClose(deadline);
    connection_->Drive([&] { return libssh2_sftp_shutdown(sftp_); }, deadline);
  }
  sftp_ = nullptr;
  pending_close_ = nullptr;
  ahead_ = {};
  broken_ = false;
  connection_.reset();
}

void TrkSshSftpSession::CloseLater(LIBSSH2_SFTP_HANDLE* handle) {
  if (pending_close_ != nullptr && !Broken()) FinishClose(ReplyDeadline());
  if (Broken()) return;
  const int sent = SendOut([&] { return libssh2_sftp_close_handle(handle); }, ReplyDeadline());
  if (sent == LIBSSH2_ERROR_EAGAIN) pending_close_ = handle;
  else if (sent < 0 && sent != LIBSSH2_ERROR_SFTP_PROTOCOL) Break();
}

void TrkSshSftpSession::FinishClose(Clock::time_point deadline) {
  LIBSSH2_SFTP_HANDLE* handle = pending_close_;
  pending_close_ = nullptr;
  const int result = connection_->Drive([&] { return libssh2_sftp_close_handle(handle); }, deadline);
  if (result < 0 && result != LIBSSH2_ERROR_SFTP_PROTOCOL) Break();
}

bool TrkSshSftpSession::Stat(const std::string& path, LIBSSH2_SFTP_ATTRIBUTES& attrs) {
  return Succeeded(
      Request([&] { return libssh2_sftp_stat_ex(sftp_, path.data(), Length(path), LIBSSH2_SFTP_STAT, &attrs); }));
}

std::string TrkSshSftpSession::RealPath(const std::string& path) {
  std::vector<char> target(4096);
  const int length = Request([&] {
    return libssh2_sftp_symlink_ex(sftp_, path.data(), Length(path), target.data(),
                                   static_cast<unsigned int>(target.size()), LIBSSH2_SFTP_REALPATH);
  });
  return length > 0 ? std::string(target.data(), static_cast<size_t>(length)) : std::string();
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

std::unique_ptr<TrkTransferSession> TrkNewSshSftpSession(const TrkSessionSettings& settings) {
  return std::make_unique<TrkSshSftpSession>(settings);
}
