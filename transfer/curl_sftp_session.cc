#include "transfer/curl_sftp_session.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "transfer/curl_request.h"
#include "transfer/ftp_text.h"
#include "transfer/listing_parser.h"
#include "digest/md5.h"

namespace {

using trk_ftp::HasControlChar;
using trk_ftp::SftpUrlPath;

std::string Home() {
  const char* home = std::getenv("HOME");
  return home != nullptr ? home : "";
}

// A path as an argument of libcurl's SFTP quote commands: in double quotes,
// with its quotes and backslashes escaped.
std::string Quoted(const std::string& path) {
  std::string out = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The OpenSSH fingerprint of a host key blob: "SHA256:" and the digest in
// base64 without its padding.
std::string Fingerprint(const char* key, size_t length) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  if (EVP_Digest(key, length, digest, &digest_length, EVP_sha256(), nullptr) != 1) return "SHA256:?";
  std::string text(4 * ((digest_length + 2) / 3) + 1, '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), digest, static_cast<int>(digest_length));
  text.resize(static_cast<size_t>(written));
  while (!text.empty() && text.back() == '=') text.pop_back();
  return "SHA256:" + text;
}

const char* KeyType(int type) {
  switch (type) {
    case CURLKHTYPE_RSA: return "ssh-rsa";
    case CURLKHTYPE_DSS: return "ssh-dss";
    case CURLKHTYPE_ECDSA: return "ecdsa-sha2";
    case CURLKHTYPE_ED25519: return "ssh-ed25519";
    default: return "host key";
  }
}

// The user's first private key of the usual names; empty when there is none.
std::string DefaultKeyFile() {
  for (const char* name : {"id_ed25519", "id_ecdsa", "id_rsa"}) {
    const std::string path = Home() + "/.ssh/" + name;
    if (access(path.c_str(), R_OK) == 0) return path;
  }
  return "";
}

// One SFTP connection through libcurl (libssh2). Each operation is a request
// on the session's connection: an upload, a request without body on a path
// (its size, or whether it exists), or a quote command (mkdir, rename, rm).
class TrkCurlSftpSession : public TrkTransferSession {
 public:
  explicit TrkCurlSftpSession(const TrkSessionSettings& settings)
      : settings_(settings),
        key_file_(settings.KeyFile.empty() ? DefaultKeyFile() : settings.KeyFile),
        known_hosts_(settings.KnownHosts.empty() ? Home() + "/.ssh/known_hosts" : settings.KnownHosts) {}

  bool valid() const { return request_.valid(); }

  bool Login(const std::string& server, int port, const std::string& user, const std::string& password) override {
    host_ = server;
    port_ = port == 0 ? 22 : port;
    base_url_ = trk_ftp::ServerUrl("sftp", server, port_);
    user_ = user;
    password_ = password;
    entry_path_.clear();
    busy_ = false;
    if (base_url_.empty() || HasControlChar(user) || HasControlChar(password)) return false;
    if (!Run("/", nullptr)) {
      // sshd drops a connection over MaxStartups before it says anything;
      // libcurl tells that only in its words ("Failed getting banner").
      busy_ = failure_.find("Failed getting banner") != std::string::npos;
      return false;
    }
    char* entry = nullptr;
    if (curl_easy_getinfo(curl_, CURLINFO_FTP_ENTRY_PATH, &entry) == CURLE_OK && entry != nullptr) entry_path_ = entry;
    return true;
  }

  bool TurnedAway() const override { return false; }
  bool Busy() const override { return busy_; }
  const std::string& EntryPath() const override { return entry_path_; }
  const std::string& LastFailure() const override { return failure_; }

  // A request without body on a folder opens it: it exists.
  bool ChangeDir(const std::string& directory) override { return Run(directory, nullptr); }
  bool MakeDir(const std::string& directory) override { return Run("/", ("mkdir " + Quoted(directory)).c_str()); }
  bool Delete(const std::string& path) override { return Run("/", ("rm " + Quoted(path)).c_str()); }
  bool RemoveDir(const std::string& directory) override { return Run("/", ("rmdir " + Quoted(directory)).c_str()); }

  std::optional<bool> Rename(const std::string& from, const std::string& to) override {
    if (Run("/", ("rename " + Quoted(from) + " " + Quoted(to)).c_str())) return true;
    if (last_result_ == CURLE_QUOTE_ERROR) return false;
    return std::nullopt;
  }

  Stored Store(const std::string& local_path, const std::string& remote, TrkMD5* digest) override {
    Stored stored;
    stored.transferred = Upload(local_path, remote, stored.sent, digest);
    if (!stored.transferred) {
      // SFTP tells no reply codes: only a missing folder or a refused name
      // are worth another name.
      stored.refused = last_result_ == CURLE_REMOTE_ACCESS_DENIED || last_result_ == CURLE_UPLOAD_FAILED;
      return stored;
    }
    // The stored file's size, asked on the same connection.
    const Held held = FileSize(remote);
    stored.size = held.size;
    stored.held = std::to_string(held.bytes);
    return stored;
  }

  // libcurl lists a folder whose URL ends in "/" as ls -l does.
  Listing ListFolder(const std::string& directory) override {
    if (HasControlChar(directory)) return {Listing::Outcome::kUnlisted, {}};
    std::string body;
    Prepare(directory.ends_with("/") ? directory : directory + "/");
    request_.DownloadTo(&body);
    if (!Perform()) {
      if (last_result_ == CURLE_REMOTE_FILE_NOT_FOUND) return {Listing::Outcome::kNoFolder, {}};
      if (last_result_ == CURLE_REMOTE_ACCESS_DENIED) return {Listing::Outcome::kUnlisted, {}};
      return {};
    }
    auto sizes = trk_listing::FileSizes(body, false);
    if (!sizes) return {Listing::Outcome::kUnlisted, {}};
    return {Listing::Outcome::kListed, std::move(*sizes)};
  }

  // A request without body on a file learns its size.
  Held FileSize(const std::string& path) override {
    if (!Run(path, nullptr)) {
      return {last_result_ == CURLE_REMOTE_FILE_NOT_FOUND ? SizeAnswer::kMissing : SizeAnswer::kNone, -1};
    }
    curl_off_t held = -1;
    curl_easy_getinfo(curl_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &held);
    return {held < 0 ? SizeAnswer::kUnknown : SizeAnswer::kHeld, held};
  }

 private:
  // A request without body on `path`, with `quote` (when given) before it.
  bool Run(const std::string& path, const char* quote) {
    if (HasControlChar(path)) return false;
    Prepare(path);
    curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
    curl_slist* commands = quote != nullptr ? curl_slist_append(nullptr, quote) : nullptr;
    curl_easy_setopt(curl_, CURLOPT_QUOTE, commands);
    const bool ok = Perform();
    curl_easy_setopt(curl_, CURLOPT_QUOTE, nullptr);
    curl_slist_free_all(commands);
    return ok;
  }

  bool Upload(const std::string& local_path, const std::string& remote, int64_t& sent, TrkMD5* digest) {
    std::error_code error;
    const auto size = std::filesystem::file_size(local_path, error);
    if (error || HasControlChar(remote)) return false;
    FILE* in = std::fopen(local_path.c_str(), "rb");
    if (in == nullptr) return false;
    Prepare(remote);
    request_.UploadFrom(in, size, digest);
    const bool ok = Perform();
    std::fclose(in);
    curl_off_t uploaded = 0;
    curl_easy_getinfo(curl_, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    sent = uploaded;
    return ok;
  }

  bool Perform() {
    host_key_failure_.clear();
    last_result_ = request_.Perform();
    if (last_result_ == CURLE_OK) return true;
    failure_ = host_key_failure_.empty() ? request_.Failure(last_result_) : host_key_failure_;
    return false;
  }

  // Every request starts from the same options, so nothing of an earlier one
  // leaks into the next; the connection survives.
  void Prepare(const std::string& path) {
    request_.Start(base_url_ + SftpUrlPath(path));
    curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "sftp");
    curl_easy_setopt(curl_, CURLOPT_USERNAME, user_.c_str());
    if (!password_.empty()) curl_easy_setopt(curl_, CURLOPT_PASSWORD, password_.c_str());
    curl_easy_setopt(curl_, CURLOPT_SSH_AUTH_TYPES,
                     static_cast<long>(CURLSSH_AUTH_PUBLICKEY | CURLSSH_AUTH_PASSWORD | CURLSSH_AUTH_AGENT));
    if (!key_file_.empty()) {
      curl_easy_setopt(curl_, CURLOPT_SSH_PRIVATE_KEYFILE, key_file_.c_str());
      // Empty: the public key is derived from the private one.
      const std::string public_key = key_file_ + ".pub";
      curl_easy_setopt(curl_, CURLOPT_SSH_PUBLIC_KEYFILE, access(public_key.c_str(), R_OK) == 0 ? public_key.c_str() : "");
    }
    curl_easy_setopt(curl_, CURLOPT_SSH_KNOWNHOSTS, known_hosts_.c_str());
    curl_easy_setopt(curl_, CURLOPT_SSH_KEYFUNCTION, CheckHostKey);
    curl_easy_setopt(curl_, CURLOPT_SSH_KEYDATA, this);
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings_.ConnectTimeout.count()));
    curl_easy_setopt(curl_, CURLOPT_SERVER_RESPONSE_TIMEOUT, TrkCurlWholeSeconds(settings_.ReplyTimeout));
    curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, TrkCurlWholeSeconds(settings_.StallTimeout));
  }

  // Only a host key that known_hosts names for the server is trusted; any
  // other refuses the connection with what the user needs to decide.
  static int CheckHostKey(CURL*, const curl_khkey* known, const curl_khkey* found, curl_khmatch match, void* data) {
    (void)known;
    if (match == CURLKHMATCH_OK) return CURLKHSTAT_FINE;
    auto* self = static_cast<TrkCurlSftpSession*>(data);
    self->host_key_failure_ = self->HostKeyMessage(found, match == CURLKHMATCH_MISMATCH);
    return CURLKHSTAT_REJECT;
  }

  std::string HostKeyMessage(const curl_khkey* found, bool changed) const {
    const std::string name = port_ == 22 ? host_ : "[" + host_ + "]:" + std::to_string(port_);
    const std::string key = std::string(KeyType(found->keytype)) + " " +
                            (found->len > 0 ? Fingerprint(found->key, found->len) : std::string("SHA256:?"));
    if (changed) {
      return "the host key of " + name + " (" + key + ") is not the one " + known_hosts_ +
             " holds for it: the server may be an impostor; if its key was changed on purpose, remove the old one "
             "with: ssh-keygen -R '" + name + "' -f " + known_hosts_ + " and add the new one";
    }
    const std::string scan = port_ == 22 ? "ssh-keyscan " + host_ : "ssh-keyscan -p " + std::to_string(port_) + " " + host_;
    return "the host key of " + name + " (" + key + ") is not in " + known_hosts_ +
           "; if it is the server's, accept it with: " + scan + " >> " + known_hosts_;
  }

  const TrkSessionSettings settings_;
  const std::string key_file_;     // empty: none of the usual ones exists
  const std::string known_hosts_;
  TrkCurlRequest request_{settings_.Stop};
  CURL* const curl_ = request_.handle();
  std::string base_url_, host_, user_, password_;
  int port_ = 22;
  std::string entry_path_;         // of the current login
  bool busy_ = false;              // the last Login found the server too busy
  CURLcode last_result_ = CURLE_OK;
  std::string failure_;            // why the last failed request failed
  std::string host_key_failure_;   // the last request's host key refusal, if any
};

}  // namespace

std::unique_ptr<TrkTransferSession> TrkNewCurlSftpSession(const TrkSessionSettings& settings) {
  auto session = std::make_unique<TrkCurlSftpSession>(settings);
  if (!session->valid()) return nullptr;
  return session;
}
