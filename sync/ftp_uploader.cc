#include "sync/ftp_uploader.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include "project/error.h"

namespace {

const char kUploadFailure[] = "[Error]Upload file failure";
const char kBadRemoteName[] =
    "[Error]Remote file name holds a line break or other control character";

bool HasControlChar(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
  });
}

bool EndsWithExe(const std::string& path) {
  if (path.size() < 4) return false;
  std::string tail = path.substr(path.size() - 4);
  for (char& c : tail) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return tail == ".exe";
}

// The URL path that makes libcurl (asked to do no CWD of its own) send
// `remote` byte for byte: libcurl drops the URL path's first "/" and decodes
// the rest, so an absolute path needs its own "/" encoded as %2F, and every
// byte outside the unreserved set is percent-encoded.
std::string UrlPath(const std::string& remote) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "/";
  for (size_t i = 0; i < remote.size(); ++i) {
    auto c = static_cast<unsigned char>(remote[i]);
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '.' || c == '_' || c == '~' || (c == '/' && i > 0);
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// "ftp://host:port", or empty when the host would not survive inside a URL.
std::string BaseUrl(const std::string& server, int port) {
  if (server.empty() || HasControlChar(server) ||
      server.find_first_of("/?#@\\ ") != std::string::npos) {
    return "";
  }
  unsigned wire_port = static_cast<uint16_t>(port);
  if (wire_port == 0) wire_port = 21;
  bool ipv6 = server.find(':') != std::string::npos && server.front() != '[';
  std::string host = ipv6 ? "[" + server + "]" : server;
  return "ftp://" + host + ":" + std::to_string(wire_port);
}

long WholeSeconds(std::chrono::milliseconds limit) {
  return std::max<long>(1, static_cast<long>((limit.count() + 999) / 1000));
}

size_t ReadLocal(char* buffer, size_t size, size_t count, void* file) {
  auto* in = static_cast<FILE*>(file);
  size_t got = std::fread(buffer, size, count, in);
  if (got == 0 && std::ferror(in)) return CURL_READFUNC_ABORT;
  return got;
}

#ifndef _WIN32
// The active data connection's listening socket is the one socket libcurl
// opens for port 0. Letting it reuse the address keeps listening fast when
// earlier transfers have left many sockets in TIME-WAIT.
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
    if (base_url.empty() || HasControlChar(user) || HasControlChar(password)) return false;
    Prepare("/");
    curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
    return curl_easy_perform(curl_) == CURLE_OK;
  }

  // Sends `commands` in order, going on past refusals. Returns the reply code
  // to the last one, or 0 when the connection failed.
  long Command(const std::vector<std::string>& commands) {
    curl_slist* quote = nullptr;
    for (const std::string& command : commands) {
      if (HasControlChar(command)) {
        curl_slist_free_all(quote);
        return 0;
      }
      // The "*" prefix: a refusal is a result here, not a broken connection.
      quote = curl_slist_append(quote, ("*" + command).c_str());
    }
    Prepare("/");
    curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl_, CURLOPT_QUOTE, quote);
    long code = 0;
    if (curl_easy_perform(curl_) == CURLE_OK) {
      curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &code);
    }
    curl_easy_setopt(curl_, CURLOPT_QUOTE, nullptr);
    curl_slist_free_all(quote);
    return code;
  }

  bool Upload(const std::string& local_path, const std::string& remote_name) {
    std::error_code error;
    auto size = std::filesystem::file_size(local_path, error);
    if (error) return false;
    FILE* in = std::fopen(local_path.c_str(), "rb");
    if (in == nullptr) return false;
    Prepare(UrlPath(remote_name));
    curl_easy_setopt(curl_, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl_, CURLOPT_READFUNCTION, ReadLocal);
    curl_easy_setopt(curl_, CURLOPT_READDATA, in);
    curl_easy_setopt(curl_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    CURLcode result = curl_easy_perform(curl_);
    std::fclose(in);
    return result == CURLE_OK;
  }

 private:
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
    curl_easy_setopt(curl_, CURLOPT_FTPPORT, "-");
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

  const TrkFtpUploader& owner_;
  CURL* curl_ = nullptr;  // owned
  std::string base_url_, user_, password_;
};

TrkFtpUploader::TrkFtpUploader() = default;
TrkFtpUploader::~TrkFtpUploader() = default;

void TrkFtpUploader::PutFile(const std::string& local_path, const std::string& remote_path,
                             int tries) {
  if (HasControlChar(remote_path)) throw TrkError(kBadRemoteName);
  const std::string name = EndsWithExe(remote_path) ? remote_path + "_" : remote_path;
  for (;;) {
    Connect(Server, User, Password, Port, tries);
    ForceDir(ParentDir(remote_path));
    if (Store(local_path, name)) break;
    if (tries <= 0) throw TrkError(kUploadFailure);
    // A failed store may have left the connection unusable: start afresh.
    Disconnect();
    --tries;
  }
  if (name != remote_path) {
    session_->Command({"DELE " + remote_path, "RNFR " + name, "RNTO " + remote_path});
  }
}

void TrkFtpUploader::Connect(const std::string& server, const std::string& user,
                             const std::string& password, int port, int tries) {
  for (;;) {
    if (FailCount < 3) {
      if (!session_) {
        session_ = std::make_unique<Session>(*this);
        if (!session_->valid()) session_.reset();
      }
      if (!logged_in_ && session_) logged_in_ = TryLogin(server, user, password, port);
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
    throw TrkError("[Error]Connect to " + server + " failure");
  }
}

void TrkFtpUploader::Disconnect() {
  session_.reset();
  logged_in_ = false;
  FailCount = 0;
}

void TrkFtpUploader::ForceDir(const std::string& directory) {
  if (directory.empty() || ChangeDir(directory)) return;
  ForceDir(ParentDir(directory));
  if (session_) session_->Command({"MKD " + directory});
}

std::string TrkFtpUploader::ParentDir(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool TrkFtpUploader::ChangeDir(const std::string& directory) {
  if (!session_) return false;
  long code = session_->Command({"CWD " + directory});
  return code >= 200 && code < 300;
}

bool TrkFtpUploader::Store(const std::string& local_path, const std::string& remote_name) {
  return session_ && session_->Upload(local_path, remote_name);
}

bool TrkFtpUploader::TryLogin(const std::string& server, const std::string& user,
                              const std::string& password, int port) {
  return session_->Login(BaseUrl(server, port), user, password);
}
