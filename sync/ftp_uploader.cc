#include "sync/ftp_uploader.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string_view>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <numeric>
#include <optional>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include "project/error.h"
#include "sync/ftp_text.h"
#include "sync/md5.h"

namespace {

using trk_ftp::BaseUrl;
using trk_ftp::EndsWithExe;
using trk_ftp::HasControlChar;
using trk_ftp::ReplyCode;
using trk_ftp::UrlPath;

const char kUploadFailure[] = "[Error]Upload file failure";
const char kBadRemoteName[] =
    "[Error]Remote file name holds a line break or other control character";

long WholeSeconds(std::chrono::milliseconds limit) {
  return std::max<long>(1, static_cast<long>((limit.count() + 999) / 1000));
}

// Collects the server's final reply lines ("NNN text") of one request; libcurl
// hands every FTP reply line to the header callback.
size_t KeepReply(char* data, size_t size, size_t count, void* replies) {
  std::string_view line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  bool final_line = line.size() >= 4 && line[3] == ' ' &&
                    std::all_of(line.begin(), line.begin() + 3, [](char c) { return c >= '0' && c <= '9'; });
  if (final_line) static_cast<std::vector<std::string>*>(replies)->emplace_back(line);
  return size * count;
}


// The local file of a store, and the digest of what has been read of it.
struct LocalFile {
  FILE* in;
  TrkMD5* digest;  // null: no digest wanted
};

size_t ReadLocal(char* buffer, size_t size, size_t count, void* data) {
  auto* file = static_cast<LocalFile*>(data);
  size_t got = std::fread(buffer, size, count, file->in);
  if (got == 0 && std::ferror(file->in)) return CURL_READFUNC_ABORT;
  if (file->digest != nullptr) file->digest->Update(buffer, got * size);
  return got;
}

#ifndef _WIN32
// The active data connection's listening socket is the one socket libcurl
// opens for port 0 (it binds the chosen port afterwards). Letting it reuse the
// address lets it take a port whose earlier data connections wait in TIME-WAIT.
curl_socket_t OpenSocket(void*, curlsocktype, struct curl_sockaddr* address) {
  int type = address->socktype;
#ifdef SOCK_CLOEXEC
  type |= SOCK_CLOEXEC;  // no child process of ours inherits a connection
#endif
  curl_socket_t s = socket(address->family, type, address->protocol);
  if (s == CURL_SOCKET_BAD) return s;
  const sockaddr* sa = &address->addr;
  bool listener = (sa->sa_family == AF_INET &&
                   reinterpret_cast<const sockaddr_in*>(sa)->sin_port == 0) ||
                  (sa->sa_family == AF_INET6 &&
                   reinterpret_cast<const sockaddr_in6*>(sa)->sin6_port == 0);
  if (listener) {
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  }
  return s;
}
#endif

std::once_flag global_init_once;

// The libcurl in use, as 0xXXYYZZ.
unsigned CurlVersion() { return curl_version_info(CURLVERSION_NOW)->version_num; }

// Ports for the active data connections: above the kernel's own range for
// outgoing connections (32768-60999 by default), so the two rarely meet.
constexpr unsigned kFirstDataPort = 61000;
constexpr unsigned kLastDataPort = 65535;
constexpr unsigned kDataPortWindow = 64;
// How far the window moves on each transfer: more than its width, so that the
// next transfer never gets the port the last one used (even when another
// program holds the first ports of a window), and prime to the number of
// window starts, so that every start comes round once in 4,472 transfers.
constexpr unsigned kDataPortStride = 67;

}  // namespace

// The libcurl easy handle of one session. Its connection cache holds the
// logged-in control connection between requests; destroying it closes the
// connection (QUIT).
class TrkFtpUploader::Session {
 public:
  // Reads its time-outs from `owner`, which outlives it.
  explicit Session(const TrkFtpUploader& owner) : owner_(owner) {
    std::call_once(global_init_once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    curl_ = curl_easy_init();
  }
  ~Session() {
    if (curl_ != nullptr) curl_easy_cleanup(curl_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool valid() const { return curl_ != nullptr; }

  // Opens the connection and logs in: a request with no body on the root.
  bool Login(const std::string& base_url, const std::string& user, const std::string& password) {
    base_url_ = base_url;
    user_ = user;
    password_ = password;
    entry_path_.clear();
    turned_away_ = false;
    if (base_url.empty() || HasControlChar(user) || HasControlChar(password)) return false;
    Prepare("/");
    curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
    if (curl_easy_perform(curl_) != CURLE_OK) {
      // libcurl ends on a 421 at any point of the login (greeting, USER, PASS)
      // with CURLE_OPERATION_TIMEDOUT; only the reply code tells it apart.
      long code = 0;
      turned_away_ = curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &code) == CURLE_OK && code == 421;
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
    return true;
  }

  // The folder the login landed in; empty when the server did not tell.
  const std::string& entry_path() const { return entry_path_; }
  // Whether the last Login failed on a 421 reply: no room for another connection.
  bool turned_away() const { return turned_away_; }

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
    std::vector<std::string> replies;
    Prepare("/");
    curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl_, CURLOPT_QUOTE, quote);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, KeepReply);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &replies);
    CURLcode result = curl_easy_perform(curl_);
    curl_easy_setopt(curl_, CURLOPT_QUOTE, nullptr);
    curl_slist_free_all(quote);
    // A reconnect within the request adds login replies before the commands'.
    if (result != CURLE_OK || replies.size() < commands.size()) return {};
    replies.erase(replies.begin(), replies.end() - static_cast<long>(commands.size()));
    return replies;
  }

  // The reply code to the last of `commands`, or 0 when the connection failed.
  long Command(const std::vector<std::string>& commands) {
    std::vector<std::string> replies = Replies(commands);
    return replies.empty() ? 0 : ReplyCode(replies.back());
  }

  // Stores the local file, then asks the server for the stored file's size on
  // the same connection, still in binary type. `sent` gets the number of bytes
  // that went out, `size_reply` the server's reply to SIZE (empty when none came).
  bool Upload(const std::string& local_path, const std::string& remote_name, curl_off_t& sent,
              std::string& size_reply, TrkMD5* digest) {
    std::error_code error;
    auto size = std::filesystem::file_size(local_path, error);
    if (error) return false;
    FILE* in = std::fopen(local_path.c_str(), "rb");
    if (in == nullptr) return false;
    std::vector<std::string> replies;
    // The "*" prefix: a refused SIZE is a result here, not a failed transfer.
    curl_slist* after = curl_slist_append(nullptr, ("*SIZE " + remote_name).c_str());
    Prepare(UrlPath(remote_name));
    curl_easy_setopt(curl_, CURLOPT_UPLOAD, 1L);
    LocalFile file{in, digest};
    if (digest != nullptr) digest->Init();
    curl_easy_setopt(curl_, CURLOPT_READFUNCTION, ReadLocal);
    curl_easy_setopt(curl_, CURLOPT_READDATA, &file);
    curl_easy_setopt(curl_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    curl_easy_setopt(curl_, CURLOPT_POSTQUOTE, after);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, KeepReply);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &replies);
    // Passive: no data port at all, libcurl then asks the server for one.
    const std::string data_port = PassiveData() ? "" : NextDataPorts();
    if (!data_port.empty()) curl_easy_setopt(curl_, CURLOPT_FTPPORT, data_port.c_str());
    CURLcode result = curl_easy_perform(curl_);
    if (result == CURLE_FTP_PORT_FAILED && !data_port.empty() && data_port != "-") {
      // Every port of the window was taken: the kernel's choice, as before.
      replies.clear();
      std::rewind(in);
      if (digest != nullptr) digest->Init();
      curl_easy_setopt(curl_, CURLOPT_FTPPORT, "-");
      result = curl_easy_perform(curl_);
    }
    curl_easy_setopt(curl_, CURLOPT_POSTQUOTE, nullptr);
    curl_slist_free_all(after);
    std::fclose(in);
    sent = 0;
    curl_easy_getinfo(curl_, CURLINFO_SIZE_UPLOAD_T, &sent);
    // SIZE is the last command of the request, sent only after a whole transfer.
    size_reply = result == CURLE_OK && !replies.empty() ? replies.back() : "";
    return result == CURLE_OK;
  }

 private:
  bool PassiveData() const { return owner_.Passive || (owner_.Secure && !ActiveTlsWorks()); }

  // The active data connection's listening ports for the next transfer: a
  // window of kDataPortWindow ports that moves on each transfer, over
  // ports the kernel does not hand out by itself. Asking the kernel for any
  // free port instead (port 0) costs milliseconds per transfer once thousands
  // of earlier data connections wait in TIME-WAIT; a port of our choosing is
  // bound at once, since the listener may reuse an address in TIME-WAIT.
  std::string NextDataPorts() {
    if (local_ip_.empty()) return "-";
    static std::atomic<unsigned> next{0};
    constexpr unsigned kSpan = kLastDataPort - kFirstDataPort + 1 - kDataPortWindow;
    static_assert(std::gcd(kDataPortStride, kSpan) == 1 && kDataPortStride > kDataPortWindow);
    const unsigned first = kFirstDataPort + next.fetch_add(kDataPortStride, std::memory_order_relaxed) % kSpan;
    const std::string host = local_ip_.find(':') != std::string::npos ? "[" + local_ip_ + "]" : local_ip_;
    return host + ":" + std::to_string(first) + "-" + std::to_string(first + kDataPortWindow - 1);
  }

  // Every request starts from the same options, so nothing of an earlier one
  // (upload, quote list) leaks into the next; the connection survives the reset.
  void Prepare(const std::string& url_path) {
    curl_easy_reset(curl_);
    std::string url = base_url_ + url_path;
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_USERNAME, user_.c_str());
    curl_easy_setopt(curl_, CURLOPT_PASSWORD, password_.c_str());
    // Without CURLOPT_FTPPORT libcurl is passive (EPSV, then PASV).
    if (!PassiveData()) curl_easy_setopt(curl_, CURLOPT_FTPPORT, "-");
    SetSecurity();
    curl_easy_setopt(curl_, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(curl_, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(owner_.ConnectTimeout.count()));
    curl_easy_setopt(curl_, CURLOPT_SERVER_RESPONSE_TIMEOUT, WholeSeconds(owner_.ReplyTimeout));
    curl_easy_setopt(curl_, CURLOPT_ACCEPTTIMEOUT_MS, static_cast<long>(owner_.ReplyTimeout.count()));
    curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, WholeSeconds(owner_.StallTimeout));
#ifndef _WIN32
    curl_easy_setopt(curl_, CURLOPT_OPENSOCKETFUNCTION, OpenSocket);
#endif
  }

  // TLS as the owner asks. Every request sets the same, so the logged-in
  // connection (whose TLS settings must match) is reused from request to request.
  void SetSecurity() {
    if (!owner_.Secure) return;
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
    if (owner_.SecureVerify) return;
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 0L);
  }

  const TrkFtpUploader& owner_;
  CURL* curl_ = nullptr;  // owned
  std::string base_url_, user_, password_;
  std::string entry_path_;  // of the current login
  bool turned_away_ = false;  // the last Login got 421
  std::string local_ip_;    // this end of the control connection, for the data listener
};

TrkFtpUploader::TrkFtpUploader() = default;
TrkFtpUploader::~TrkFtpUploader() = default;

int64_t TrkFtpUploader::PutFile(const std::string& local_path, const std::string& remote_path, int tries,
                                TrkMD5* sent_digest) {
  if (HasControlChar(remote_path)) throw TrkError(kBadRemoteName);
  for (;;) {
    Connect(Server, User, Password, Port, tries);
    int64_t stored = 0;
    std::optional<std::string> failure = StoreWhole(local_path, AbsolutePath(remote_path), sent_digest, stored);
    if (!failure) {
      if (sent_digest != nullptr) sent_digest->Final();
      return stored;
    }
    if (tries <= 0) throw TrkError(kUploadFailure + *failure);
    // A failed store may have left the connection unusable: start afresh.
    Disconnect();
    --tries;
  }
}

std::string TrkFtpUploader::AbsolutePath(const std::string& remote_path) const {
  if (remote_path.empty() || remote_path.front() == '/') return remote_path;
  const std::string& home = session_->entry_path();
  if (home.empty()) return "";
  return home + (home.back() == '/' ? "" : "/") + remote_path;
}

std::optional<std::string> TrkFtpUploader::StoreWhole(const std::string& local_path,
                                                      const std::string& target, TrkMD5* sent_digest,
                                                      int64_t& stored) {
  // Without its login folder a relative path would land wherever the server's
  // current folder happens to be.
  if (target.empty()) return std::string(" (the server did not tell its login folder)");
  ForceDir(ParentDir(target));
  // A program is stored under another name first, so that a half-stored one
  // never carries the name that users start.
  const std::string name = EndsWithExe(target) ? target + "_" : target;
  curl_off_t sent = 0;
  std::string size_reply;
  if (!session_->Upload(local_path, name, sent, size_reply, sent_digest)) return std::string();
  if (std::optional<std::string> failure = CheckStoredSize(name, sent, size_reply)) return failure;
  stored = sent;
  if (name != target) return MoveInto(name, target);
  return std::nullopt;
}

std::optional<std::string> TrkFtpUploader::CheckStoredSize(const std::string& name, int64_t sent,
                                                           const std::string& reply) {
  if (reply.empty()) return std::string();
  const long code = ReplyCode(reply);
  if (code == 500 || code == 502) return std::nullopt;  // no SIZE: trusted as the store's reply said
  if (code != 213) return " (the server cannot find the stored file \"" + name + "\")";
  const std::string held = reply.substr(4, reply.find_first_not_of("0123456789", 4) - 4);
  if (held == std::to_string(sent)) return std::nullopt;
  return " (the server holds " + held + " of " + std::to_string(sent) + " bytes of \"" + name + "\")";
}

std::optional<std::string> TrkFtpUploader::MoveInto(const std::string& name, const std::string& target) {
  const std::string refused = " (the server refused to rename \"" + name + "\" to \"" + target + "\")";
  std::optional<bool> moved = Rename(name, target);
  if (!moved) return std::string();
  if (*moved) return std::nullopt;
  // Some servers will not rename over an existing file. The live one is moved
  // aside rather than deleted, so that it can be put back when the new one
  // still cannot take its place: it is missing only between two renames.
  const std::string aside = target + "~dropvan";
  session_->Command({"DELE " + aside});  // left by an attempt that was cut off
  moved = Rename(target, aside);
  if (!moved) return std::string();
  if (!*moved) return refused;
  moved = Rename(name, target);
  if (moved && *moved) {
    session_->Command({"DELE " + aside});
    return std::nullopt;
  }
  Rename(aside, target);
  return moved ? refused : std::string();
}

std::optional<bool> TrkFtpUploader::Rename(const std::string& from, const std::string& to) {
  std::vector<std::string> replies = session_->Replies({"RNFR " + from, "RNTO " + to});
  if (replies.empty()) return std::nullopt;
  return ReplyCode(replies[0]) == 350 && ReplyCode(replies[1]) / 100 == 2;
}

void TrkFtpUploader::Connect(const std::string& server, const std::string& user,
                             const std::string& password, int port, int tries) {
  // Wrapping it would reach some other service of the server.
  if (port < 0 || port > 65535) throw TrkError(BadPortMessage(server, std::to_string(port)));
  for (;;) {
    if (FailCount < 3) {
      if (!session_) {
        session_ = std::make_unique<Session>(*this);
        if (!session_->valid()) session_.reset();
      }
      if (!logged_in_ && session_ && LoginAgainAtOnce(server, user, password, port)) continue;
    }
    if (logged_in_) return;
    // A session that has given up three cycles fails at once: waiting out
    // the whole schedule without attempting anything would only stall the run.
    if (tries > 0 && FailCount < 3) {
      std::this_thread::sleep_for(RetryWait);
      --tries;
      continue;
    }
    ++FailCount;
    const std::string note = ConnectNote.empty() ? "" : " (" + ConnectNote + ")";
    throw TrkError("[Error]Connect to " + HostPart(server) + " failure" + note);
  }
}

void TrkFtpUploader::Disconnect() {
  session_.reset();
  if (logged_in_ && OnLoginState) OnLoginState(TrkLoginState::kLoggedOut);
  logged_in_ = false;
  known_dirs_.clear();
  FailCount = 0;
}

void TrkFtpUploader::ForceDir(const std::string& directory) {
  if (directory.empty() || known_dirs_.count(directory) != 0) return;
  if (ChangeDir(directory)) {
    KnowDir(directory);
    return;
  }
  ForceDir(ParentDir(directory));
  if (!session_) return;
  const long code = session_->Command({"MKD " + directory});
  if (code >= 200 && code < 300) KnowDir(directory);
}

void TrkFtpUploader::KnowDir(const std::string& directory) {
  for (std::string level = directory; !level.empty() && known_dirs_.insert(level).second;) {
    level = ParentDir(level);
  }
}

bool TrkFtpUploader::ActiveTlsWorks() {
  // libcurl 7.87.0 to 7.88.x accept an active data connection without TLS
  // even when TLS is asked for: the server's TLS handshake then breaks the
  // transfer (curl issue 10666, mended in 8.0.0).
  return CurlVersion() < 0x075700 || CurlVersion() >= 0x080000;
}

std::string TrkFtpUploader::BadPortMessage(const std::string& server, const std::string& port) {
  return "[Error]Connect to " + HostPart(server) + " failure: port \"" + port +
         "\" is not a port number (1-65535)";
}

std::string TrkFtpUploader::HostPart(const std::string& server) {
  size_t at = server.rfind('@');
  return at == std::string::npos ? server : server.substr(at + 1);
}

std::string TrkFtpUploader::ParentDir(const std::string& path) {
#ifdef _WIN32
  size_t slash = path.find_last_of("/\\");
#else
  // A backslash is an ordinary character of a POSIX name.
  size_t slash = path.rfind('/');
#endif
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool TrkFtpUploader::ChangeDir(const std::string& directory) {
  if (!session_) return false;
  long code = session_->Command({"CWD " + directory});
  return code >= 200 && code < 300;
}

bool TrkFtpUploader::TryLogin(const std::string& server, const std::string& user,
                              const std::string& password, int port) {
  return session_->Login(BaseUrl(server, port), user, password);
}

bool TrkFtpUploader::LoginAgainAtOnce(const std::string& server, const std::string& user,
                                      const std::string& password, int port) {
  if (OnLoginState) OnLoginState(TrkLoginState::kConnecting);
  logged_in_ = TryLogin(server, user, password, port);
  if (OnLoginState) OnLoginState(logged_in_ ? TrkLoginState::kLoggedIn : TrkLoginState::kLoggedOut);
  return !logged_in_ && session_->turned_away() && OnTooManyConnections && OnTooManyConnections();
}
