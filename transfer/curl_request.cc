#include "transfer/curl_request.h"

#include <algorithm>
#include <mutex>
#include <string_view>

#ifndef _WIN32
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "digest/md5.h"
#include "transfer/rate_limit.h"

namespace {

std::once_flag global_init_once;

// Collects the server's reply lines of one request; libcurl hands every FTP
// reply line to the header callback.
template <class Lines>
size_t KeepReply(char* data, size_t size, size_t count, void* replies) {
  std::string_view line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  auto& lines = *static_cast<Lines*>(replies);
  lines.all.emplace_back(line);
  bool final_line = line.size() >= 4 && line[3] == ' ' &&
                    std::all_of(line.begin(), line.begin() + 3, [](char c) { return c >= '0' && c <= '9'; });
  if (final_line) lines.final.emplace_back(line);
  return size * count;
}

#ifndef _WIN32
// The active data connection's listening socket is the one socket libcurl
// opens for port 0 (it binds the chosen port afterwards). Letting it reuse the
// address lets it take a port whose earlier data connections wait in TIME-WAIT.
// Every socket is noted in the request's TrkStopSockets (`sockets`), which
// closes it too, so that a stop can shut it down from another thread.
curl_socket_t OpenSocket(void* sockets, curlsocktype, struct curl_sockaddr* address) {
  int type = address->socktype;
#ifdef SOCK_CLOEXEC
  type |= SOCK_CLOEXEC;  // no child process of ours inherits a connection
#endif
  curl_socket_t s = socket(address->family, type, address->protocol);
  if (s == CURL_SOCKET_BAD) return s;
  if (!static_cast<TrkStopSockets*>(sockets)->Opened(s)) {
    close(s);
    return CURL_SOCKET_BAD;
  }
  const sockaddr* sa = &address->addr;
  bool listener = (sa->sa_family == AF_INET && reinterpret_cast<const sockaddr_in*>(sa)->sin_port == 0) ||
                  (sa->sa_family == AF_INET6 && reinterpret_cast<const sockaddr_in6*>(sa)->sin6_port == 0);
  if (listener) {
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  }
  return s;
}

int CloseSocket(void* sockets, curl_socket_t s) {
  static_cast<TrkStopSockets*>(sockets)->Close(s);
  return 0;
}
#endif

// libcurl asks it about once a second even inside the waits it does not hand
// back to Perform (an FTP server's reply after an upload): non-zero aborts.
int AbortWhenStopped(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::stop_token*>(stop)->stop_requested() ? 1 : 0;
}

}  // namespace

TrkCurlRequest::TrkCurlRequest(std::stop_token stop) : stop_(stop), sockets_(std::move(stop)) {
  std::call_once(global_init_once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  curl_ = curl_easy_init();
  multi_ = curl_multi_init();
  if (multi_ != nullptr) on_stop_.emplace(stop_, WakeUp{multi_});
}

TrkCurlRequest::~TrkCurlRequest() {
  on_stop_.reset();  // waits for a wake-up under way on another thread
  // The connection lives in the multi handle's cache: its cleanup closes it.
  if (curl_ != nullptr) curl_easy_cleanup(curl_);
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

void TrkCurlRequest::Start(const std::string& url) {
  curl_easy_reset(curl_);
  replies_ = {};
  error_[0] = '\0';
  curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, error_);
  curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, KeepReply<ReplyLines>);
  curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &replies_);
  curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, AbortWhenStopped);
  curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, &stop_);
#ifndef _WIN32
  curl_easy_setopt(curl_, CURLOPT_OPENSOCKETFUNCTION, OpenSocket);
  curl_easy_setopt(curl_, CURLOPT_OPENSOCKETDATA, &sockets_);
  curl_easy_setopt(curl_, CURLOPT_CLOSESOCKETFUNCTION, CloseSocket);
  curl_easy_setopt(curl_, CURLOPT_CLOSESOCKETDATA, &sockets_);
#endif
}

long TrkCurlWholeSeconds(std::chrono::milliseconds limit) {
  return std::max<long>(1, static_cast<long>((limit.count() + 999) / 1000));
}

void TrkCurlRequest::UploadFrom(FILE* in, uint64_t size, TrkMD5* digest) {
  upload_ = LocalFile{in, digest, rate_, stop_};
  if (digest != nullptr) digest->Init();
  curl_easy_setopt(curl_, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(curl_, CURLOPT_READFUNCTION, ReadLocal);
  curl_easy_setopt(curl_, CURLOPT_READDATA, &upload_);
  curl_easy_setopt(curl_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
}

void TrkCurlRequest::DownloadTo(std::string* body) {
  curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, KeepBody);
  curl_easy_setopt(curl_, CURLOPT_WRITEDATA, body);
}

size_t TrkCurlRequest::KeepBody(char* data, size_t size, size_t count, void* body) {
  static_cast<std::string*>(body)->append(data, size * count);
  return size * count;
}

size_t TrkCurlRequest::ReadLocal(char* buffer, size_t size, size_t count, void* data) {
  auto* file = static_cast<LocalFile*>(data);
  size_t got = std::fread(buffer, size, count, file->in);
  if (got == 0 && std::ferror(file->in)) return CURL_READFUNC_ABORT;
  if (file->digest != nullptr) file->digest->Update(buffer, got * size);
  // Held here, the bytes leave no sooner than the rate allows; a stop ends
  // the wait, and the transfer with it.
  if (file->rate != nullptr && !file->rate->Pace(static_cast<int64_t>(got * size), file->stop)) {
    return CURL_READFUNC_ABORT;
  }
  return got;
}

// libcurl 7.88 can leave a transfer between two states with no socket or timer
// to wake it: after a passive reply on a reused FTP connection it starts the
// data connection only at its next call, which curl_easy_perform makes after up
// to a second of waiting. One more call right away moves it on; a file that
// took a second takes a millisecond.
// A stop wakes the wait; the transfer is then removed unfinished, which closes
// its connection without a word to the server (no QUIT that could hang).
CURLcode TrkCurlRequest::Perform() {
  if (stop_.stop_requested()) return CURLE_ABORTED_BY_CALLBACK;
  if (curl_multi_add_handle(multi_, curl_) != CURLM_OK) return CURLE_FAILED_INIT;
  int running = 1;
  CURLMcode code = CURLM_OK;
  for (;;) {
    code = curl_multi_perform(multi_, &running);
    if (code == CURLM_OK && running > 0) code = curl_multi_perform(multi_, &running);
    if (code != CURLM_OK || running == 0 || stop_.stop_requested()) break;
    code = curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
    if (code != CURLM_OK) break;
  }
  CURLcode result = code == CURLM_OK ? Result() : CURLE_FAILED_INIT;
  if (running > 0 && stop_.stop_requested()) result = CURLE_ABORTED_BY_CALLBACK;
  curl_multi_remove_handle(multi_, curl_);
  return result;
}

CURLcode TrkCurlRequest::Result() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg == CURLMSG_DONE) return message->data.result;
  }
  return CURLE_FAILED_INIT;
}

bool TrkCurlRequest::Refused() const { return !replies_.final.empty() && replies_.final.back()[0] == '5'; }

namespace {

// libcurl tells how long a failed connect took ("... port 21 after 3 ms: ...");
// left in, the same refusal would read as a new reason for every file.
std::string WithoutTiming(std::string text) {
  const size_t after = text.find(" after ");
  const size_t unit = after == std::string::npos ? after : text.find(" ms", after + 7);
  if (unit == std::string::npos) return text;
  const std::string_view number = std::string_view(text).substr(after + 7, unit - after - 7);
  if (number.empty() || number.find_first_not_of("0123456789") != std::string_view::npos) return text;
  return text.erase(after, unit + 3 - after);
}

}  // namespace

std::string TrkCurlRequest::Failure(CURLcode result) const {
  const std::vector<std::string>& final = replies_.final;
  if (!final.empty() && (final.back()[0] == '4' || Refused())) return final.back();
  if (error_[0] != '\0') return WithoutTiming(error_);
  return curl_easy_strerror(result);
}
