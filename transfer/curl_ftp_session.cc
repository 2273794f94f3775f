#include "transfer/curl_ftp_session.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <vector>

#include "transfer/curl_request.h"
#include "transfer/data_ports.h"
#include "transfer/ftp_text.h"
#include "transfer/listing_parser.h"
#include "digest/md5.h"
#include "transfer/server_profile.h"

namespace {

using trk_ftp::BaseUrl;
using trk_ftp::FeatureLines;
using trk_ftp::HasControlChar;
using trk_ftp::Offers;
using trk_ftp::ReplyCode;
using trk_ftp::SizeOf;
using trk_ftp::UrlPath;

// The libcurl in use, as 0xXXYYZZ.
unsigned CurlVersion() { return curl_version_info(CURLVERSION_NOW)->version_num; }

// Puts `in` at byte `offset`, past what fseek's long reaches on some systems.
bool SeekTo(FILE* in, int64_t offset) {
#ifdef _WIN32
  return _fseeki64(in, offset, SEEK_SET) == 0;
#else
  return fseeko(in, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

// Whether a failed active transfer failed for want of a data connection: the
// server refused PORT/EPRT, could not connect back (425, 426 before any byte
// went) or never did. Such a transfer may work passive.
bool ActiveDataFailed(CURLcode result, long reply_code, curl_off_t sent) {
  switch (result) {
    case CURLE_FTP_PORT_FAILED:
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_FTP_ACCEPT_TIMEOUT:
      return true;
    case CURLE_UPLOAD_FAILED:
    case CURLE_FTP_COULDNT_RETR_FILE:  // a listing's
      return sent == 0 && (reply_code == 425 || reply_code == 426);
    default:
      return false;
  }
}

// One FTP connection through a libcurl easy handle. Its connection cache holds
// the logged-in control connection between requests; destroying the handle
// closes the connection (QUIT). Every request is a fresh set of options on the
// same handle, so nothing of one leaks into the next.
class TrkCurlFtpSession : public TrkTransferSession {
 public:
  explicit TrkCurlFtpSession(const TrkSessionSettings& settings)
      : settings_(settings),
        profile_(settings.Profile != nullptr ? settings.Profile : std::make_shared<TrkServerProfile>()) {
    request_.PaceUploads(settings_.Rate.get());
  }
  TrkCurlFtpSession(const TrkCurlFtpSession&) = delete;
  TrkCurlFtpSession& operator=(const TrkCurlFtpSession&) = delete;

  bool valid() const { return request_.valid(); }

  // A request with no body on the root.
  bool Login(const std::string& server, int port, const std::string& user, const std::string& password) override {
    base_url_ = BaseUrl(server, port, settings_.ImplicitTls);
    user_ = user;
    password_ = password;
    entry_path_.clear();
    turned_away_ = false;
    login_denied_ = false;
    if (base_url_.empty() || HasControlChar(user) || HasControlChar(password)) return false;
    Prepare("/");
    curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
    curl_slist* feat = curl_slist_append(nullptr, "*FEAT");  // what the server offers; a refusal is no failure
    curl_easy_setopt(curl_, CURLOPT_QUOTE, feat);
    const CURLcode result = request_.Perform();
    curl_easy_setopt(curl_, CURLOPT_QUOTE, nullptr);
    curl_slist_free_all(feat);
    if (result != CURLE_OK) {
      failure_ = request_.Failure(result);
      // libcurl ends on a 421 at any point of the login (greeting, USER, PASS)
      // with CURLE_OPERATION_TIMEDOUT, and on a 530 greeting (a server that
      // turns connections over its limit away so) with CURLE_WEIRD_SERVER_REPLY,
      // where a refused password is CURLE_LOGIN_DENIED: only the reply code and
      // the result together tell a full server from a wrong account.
      long code = 0;
      curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &code);
      turned_away_ = code == 421 || (code == 530 && result == CURLE_WEIRD_SERVER_REPLY);
      login_denied_ = code == 530 && result == CURLE_LOGIN_DENIED;
      return false;
    }
    char* local_ip = nullptr;
    local_ip_.clear();
    if (curl_easy_getinfo(curl_, CURLINFO_LOCAL_IP, &local_ip) == CURLE_OK && local_ip != nullptr) {
      local_ip_ = local_ip;
    }
    // libcurl asks for the login folder (PWD) as it logs in.
    char* entry = nullptr;
    if (curl_easy_getinfo(curl_, CURLINFO_FTP_ENTRY_PATH, &entry) == CURLE_OK && entry != nullptr) {
      entry_path_ = entry;
    }
    // A server that offers UTF8 may need to be told before it stores names
    // as the bytes sent rather than in some code page of its own.
    features_ = FeatureLines(request_.AllReplyLines());
    if (Offers(features_, "UTF8")) Command({"OPTS UTF8 ON"});
    return true;
  }

  bool TurnedAway() const override { return turned_away_; }
  bool LoginDenied() const override { return login_denied_; }
  const std::vector<std::string>& Features() const override { return features_; }
  const std::string& LastFailure() const override { return failure_; }
  const std::string& EntryPath() const override { return entry_path_; }

  bool ChangeDir(const std::string& directory) override { return Command({"CWD " + directory}) / 100 == 2; }
  bool MakeDir(const std::string& directory) override { return Command({"MKD " + directory}) / 100 == 2; }
  bool Delete(const std::string& path) override { return Command({"DELE " + path}) / 100 == 2; }
  bool RemoveDir(const std::string& directory) override { return Command({"RMD " + directory}) / 100 == 2; }

  std::optional<bool> Rename(const std::string& from, const std::string& to) override {
    std::vector<std::string> replies = Replies({"RNFR " + from, "RNTO " + to});
    if (replies.empty()) return std::nullopt;
    return ReplyCode(replies[0]) == 350 && ReplyCode(replies[1]) / 100 == 2;
  }

  Stored Store(const std::string& local_path, const std::string& remote, TrkMD5* digest) override {
    return Send(local_path, remote, 0, digest);
  }
  Stored Resume(const std::string& local_path, const std::string& remote, int64_t offset) override {
    return Send(local_path, remote, offset, nullptr);
  }

  // MLSD where the server offers it (its facts are meant for programs), else LIST.
  Listing ListFolder(const std::string& directory) override {
    if (HasControlChar(directory)) return {Listing::Outcome::kUnlisted, {}};
    const bool mlsd = Offers(features_, "MLST");
    std::string body;
    // A URL ending in "/" is a listing; without CWDs libcurl names the folder
    // in the command itself.
    Prepare(UrlPath(directory.ends_with("/") ? directory : directory + "/"));
    request_.DownloadTo(&body);
    if (mlsd) curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, "MLSD");
    const CURLcode result = Transfer([&body] { body.clear(); });
    if (result == CURLE_OK) {
      auto sizes = trk_listing::FileSizes(body, mlsd);
      if (!sizes) return {Listing::Outcome::kUnlisted, {}};
      return {Listing::Outcome::kListed, std::move(*sizes), trk_listing::Entries(body)};
    }
    failure_ = request_.Failure(result);
    const long code = LastReplyCode();
    if (code < 400) return {};  // no refusal: the connection failed
    // A folder the server neither lists nor enters is not there.
    if (code == 550 && !ChangeDir(directory)) return {Listing::Outcome::kNoFolder, {}};
    return {Listing::Outcome::kUnlisted, {}};
  }

  Held FileSize(const std::string& path) override {
    // In binary type, as after a store: a listing leaves ASCII, in which some
    // servers refuse SIZE (pyftpdlib with 550, which would read as missing).
    const std::vector<std::string> replies = Replies({"TYPE I", "SIZE " + path});
    if (replies.empty()) return {};
    const Stored answer = SizeOf(replies.back(), {});
    if (answer.size != SizeAnswer::kHeld) return {answer.size, -1};
    if (answer.held.empty() || answer.held.size() > 18) return {SizeAnswer::kUnknown, -1};
    return {SizeAnswer::kHeld, std::stoll(answer.held)};
  }

 private:
  // Sends `commands` in order, going on past refusals. Returns the server's
  // final reply line to each, or nothing when the connection failed.
  std::vector<std::string> Replies(const std::vector<std::string>& commands) {
    curl_slist* quote = nullptr;
    for (const std::string& command : commands) {
      if (HasControlChar(command)) {
        curl_slist_free_all(quote);
        return {};
      }
      // The "*" prefix: a refusal is a result here, not a broken connection.
      quote = curl_slist_append(quote, ("*" + command).c_str());
    }
    Prepare("/");
    curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl_, CURLOPT_QUOTE, quote);
    const CURLcode result = request_.Perform();
    curl_easy_setopt(curl_, CURLOPT_QUOTE, nullptr);
    curl_slist_free_all(quote);
    std::vector<std::string> replies = request_.Replies();
    if (result != CURLE_OK) failure_ = request_.Failure(result);
    // A reconnect within the request adds login replies before the commands'.
    if (result != CURLE_OK || replies.size() < commands.size()) return {};
    replies.erase(replies.begin(), replies.end() - static_cast<long>(commands.size()));
    return replies;
  }

  // The reply code to the last of `commands`, or 0 when the connection failed.
  // A refusal is the failure to tell.
  long Command(const std::vector<std::string>& commands) {
    std::vector<std::string> replies = Replies(commands);
    if (replies.empty()) return 0;
    const long code = ReplyCode(replies.back());
    if (code >= 400) failure_ = replies.back();
    return code;
  }

  // Stores the local file from `offset` on (appended to what the server holds
  // when above 0), then asks for the stored file's size.
  Stored Send(const std::string& local_path, const std::string& remote, int64_t offset, TrkMD5* digest) {
    Stored stored;
    curl_off_t sent = 0;
    std::string size_reply;
    stored.transferred = Upload(local_path, remote, offset, sent, size_reply, digest);
    stored.sent = sent;
    stored.reached = stored.transferred ? 0 : sent;
    stored.refused = !stored.transferred && request_.Refused();
    return stored.transferred ? SizeOf(size_reply, stored) : stored;
  }

  // Stores the local file, then asks the server for the stored file's size on
  // the same connection, still in binary type. `sent` gets the number of bytes
  // that went out, `size_reply` the server's reply to SIZE (empty when none came).
  bool Upload(const std::string& local_path, const std::string& remote_name, int64_t offset, curl_off_t& sent,
              std::string& size_reply, TrkMD5* digest) {
    std::error_code error;
    const auto size = std::filesystem::file_size(local_path, error);
    if (error || offset < 0 || static_cast<uintmax_t>(offset) > size) return false;
    FILE* in = std::fopen(local_path.c_str(), "rb");
    if (in == nullptr) return false;
    const auto from_offset = [in, offset] { return SeekTo(in, offset); };
    if (!from_offset()) {
      std::fclose(in);
      return false;
    }
    // The "*" prefix: a refused SIZE is a result here, not a failed transfer.
    curl_slist* after = curl_slist_append(nullptr, ("*SIZE " + remote_name).c_str());
    Prepare(UrlPath(remote_name));
    request_.UploadFrom(in, size - static_cast<uintmax_t>(offset), digest);
    // APPE rather than REST and STOR: libcurl sends REST for downloads alone,
    // and the server holds exactly `offset` bytes, so appending lands where
    // STOR at that offset would.
    if (offset > 0) curl_easy_setopt(curl_, CURLOPT_APPEND, 1L);
    curl_easy_setopt(curl_, CURLOPT_POSTQUOTE, after);
    CURLcode result = Transfer([&from_offset, digest] {
      from_offset();
      if (digest != nullptr) digest->Init();
    });
    curl_easy_setopt(curl_, CURLOPT_POSTQUOTE, nullptr);
    curl_slist_free_all(after);
    std::fclose(in);
    sent = 0;
    curl_easy_getinfo(curl_, CURLINFO_SIZE_UPLOAD_T, &sent);
    // SIZE is the last command of the request, sent only after a whole transfer.
    const std::vector<std::string>& replies = request_.Replies();
    size_reply = result == CURLE_OK && !replies.empty() ? replies.back() : "";
    if (result != CURLE_OK) failure_ = request_.Failure(result);
    return result == CURLE_OK;
  }

  // Performs the prepared transfer (a store or a listing): in the mode
  // PassiveData says, then again in the fallbacks (the kernel's data port when
  // every port of the window was taken; passive in auto mode when the active
  // data connection failed), each after `restart` undid what the last did.
  CURLcode Transfer(const std::function<void()>& restart) {
    const auto again = [&] {
      restart();
      return request_.Perform();
    };
    // Passive: no data port at all, libcurl then asks the server for one.
    const std::string data_port = PassiveData() ? "" : TrkDataPorts::Next(local_ip_);
    if (!data_port.empty()) curl_easy_setopt(curl_, CURLOPT_FTPPORT, data_port.c_str());
    CURLcode result = request_.Perform();
    if (result == CURLE_FTP_PORT_FAILED && !data_port.empty() && data_port != "-" && LastReplyCode() < 400) {
      // Every port of the window was taken (the server refused nothing): the
      // kernel's choice, as before.
      curl_easy_setopt(curl_, CURLOPT_FTPPORT, "-");
      result = again();
    }
    if (settings_.Data != TrkDataConnection::kAuto || data_port.empty()) return result;
    curl_off_t sent = 0;
    curl_easy_getinfo(curl_, CURLINFO_SIZE_UPLOAD_T, &sent);
    if (!ActiveDataFailed(result, LastReplyCode(), sent)) {
      if (result == CURLE_OK) profile_->Learn(TrkServerProfile::DataMode::kActive);
      return result;
    }
    profile_->Learn(TrkServerProfile::DataMode::kPassive);
    curl_easy_setopt(curl_, CURLOPT_FTPPORT, nullptr);
    return again();
  }

  // The code of the server's last reply; 0 before any.
  long LastReplyCode() const {
    long code = 0;
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &code);
    return code;
  }

  bool PassiveData() const {
    if (settings_.Secure && !TrkCurlActiveTlsWorks()) return true;
    if (settings_.Data == TrkDataConnection::kAuto) return profile_->Data() == TrkServerProfile::DataMode::kPassive;
    return settings_.Data == TrkDataConnection::kPassive;
  }

  // How long an active data connection is waited for.
  long AcceptWaitMs() const {
    std::chrono::milliseconds wait = settings_.ReplyTimeout;
    if (settings_.Data == TrkDataConnection::kAuto) wait = std::min(wait, kAutoAcceptWait);
    return static_cast<long>(wait.count());
  }

  // Every request starts from the same options, so nothing of an earlier one
  // (upload, quote list) leaks into the next; the connection survives the reset.
  void Prepare(const std::string& url_path) {
    request_.Start(base_url_ + url_path);
    curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, settings_.ImplicitTls ? "ftps" : "ftp");
    curl_easy_setopt(curl_, CURLOPT_USERNAME, user_.c_str());
    curl_easy_setopt(curl_, CURLOPT_PASSWORD, password_.c_str());
    // Without CURLOPT_FTPPORT libcurl is passive (EPSV, then PASV).
    if (!PassiveData()) curl_easy_setopt(curl_, CURLOPT_FTPPORT, "-");
    SetSecurity();
    curl_easy_setopt(curl_, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(curl_, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings_.ConnectTimeout.count()));
    curl_easy_setopt(curl_, CURLOPT_SERVER_RESPONSE_TIMEOUT, TrkCurlWholeSeconds(settings_.ReplyTimeout));
    curl_easy_setopt(curl_, CURLOPT_ACCEPTTIMEOUT_MS, AcceptWaitMs());
    curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, TrkCurlWholeSeconds(settings_.StallTimeout));
  }

  // TLS as the owner asks. Every request sets the same, so the logged-in
  // connection (whose TLS settings must match) is reused from request to request.
  void SetSecurity() {
    if (!settings_.Secure) return;
    // CURLUSESSL_ALL: a server that refuses TLS on the control or a data
    // connection fails the request; nothing goes on in clear.
    curl_easy_setopt(curl_, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    curl_easy_setopt(curl_, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
    // libcurl before 8.9.0 closes a data connection without reading what the
    // server sent last; under TLS 1.3 that is the session tickets sent after
    // the handshake, so the close resets the connection and the server may
    // lose an upload's end (vsftpd: "426 Failure reading network stream").
    // TLS 1.2 sends nothing after its handshake.
    if (CurlVersion() < 0x080900) {
      curl_easy_setopt(curl_, CURLOPT_SSLVERSION,
                       static_cast<long>(CURL_SSLVERSION_DEFAULT) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2));
    }
    if (settings_.SecureVerify) return;
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 0L);
  }

  const TrkSessionSettings settings_;
  const std::shared_ptr<TrkServerProfile> profile_;  // what auto mode learnt; shared with the run
  TrkCurlRequest request_{settings_.Stop};
  CURL* const curl_ = request_.handle();
  std::string base_url_, user_, password_;
  std::string entry_path_;    // of the current login
  std::vector<std::string> features_;  // of the current login
  bool turned_away_ = false;  // the last Login was turned away for want of room
  bool login_denied_ = false;  // the last Login was refused at its password
  std::string failure_;       // why the last failed request failed
  std::string local_ip_;      // this end of the control connection, for the data listener
};

}  // namespace

std::unique_ptr<TrkTransferSession> TrkNewCurlFtpSession(const TrkSessionSettings& settings) {
  auto session = std::make_unique<TrkCurlFtpSession>(settings);
  if (!session->valid()) return nullptr;
  return session;
}

bool TrkCurlActiveTlsWorks() {
  // libcurl 7.87.0 to 7.88.x accept an active data connection without TLS
  // even when TLS is asked for: the server's TLS handshake then breaks the
  // transfer (curl issue 10666, mended in 8.0.0).
  return CurlVersion() < 0x075700 || CurlVersion() >= 0x080000;
}
