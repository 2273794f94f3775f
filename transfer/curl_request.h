#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "transfer/stop_sockets.h"

class TrkMD5;
class TrkRateLimit;

// A time-out in the whole seconds libcurl takes for some limits; less than one
// second counts as one.
long TrkCurlWholeSeconds(std::chrono::milliseconds limit);

// The libcurl handles of one session, for the libcurl sessions of this folder
// alone (no header outside sync/ includes this one): the easy handle that
// carries a request's options and the multi handle that runs the requests and
// keeps the session's connection in its cache between them. Destroying it
// closes the connection (an FTP server is told QUIT).
//
// A stop requested on the token given ends the request being performed at
// once, whatever it waits for (a connect, a login, a reply, a transfer), with
// CURLE_ABORTED_BY_CALLBACK or a broken connection, and every later one before
// it starts: it wakes Perform's wait, shuts the request's sockets down (which
// ends the waits libcurl does inside a call, and libssh2's), and the progress
// callback answers with an abort.
//
// Not thread-safe: one session, one thread at a time; only the stop comes
// from another thread.
class TrkCurlRequest {
 public:
  explicit TrkCurlRequest(std::stop_token stop = {});
  ~TrkCurlRequest();
  TrkCurlRequest(const TrkCurlRequest&) = delete;
  TrkCurlRequest& operator=(const TrkCurlRequest&) = delete;

  bool valid() const { return curl_ != nullptr && multi_ != nullptr; }
  // For setting the request's own options after Start.
  CURL* handle() const { return curl_; }

  // A new request on `url`: every option of the last one forgotten (the
  // connection stays), then the ones every request has: no signals, sockets
  // that no child process inherits, the server's replies collected.
  void Start(const std::string& url);
  // Makes the request an upload of the open local file `in`, `size` bytes
  // long, read from where it stands; with `digest`, the bytes are digested as
  // they are read (Init here, then Update). Until the request's end.
  void UploadFrom(FILE* in, uint64_t size, TrkMD5* digest);
  // Holds each upload's bytes as `rate` says before libcurl sends them; null:
  // none. For every later upload.
  void PaceUploads(TrkRateLimit* rate) { rate_ = rate; }
  // Makes the request's body (a folder listing) go to the end of `body`.
  // Until the request's end.
  void DownloadTo(std::string* body);
  // Runs the request (curl_easy_perform, driven here; see the .cc).
  CURLcode Perform();

  // The server's final reply lines ("NNN text") during the last request,
  // login replies included (FTP; other protocols have none).
  const std::vector<std::string>& Replies() const { return replies_.final; }
  // Every reply line of the last request, the inner lines of multi-line
  // replies (FEAT's features) included, without their line ends.
  const std::vector<std::string>& AllReplyLines() const { return replies_.all; }
  // Whether the server's last reply refused something for good (class 5).
  bool Refused() const;
  // Why the last request failed with `result`, for the user: the server's last
  // refusal (a reply of class 4 or 5) when there is one, else libcurl's account.
  std::string Failure(CURLcode result) const;

 private:
  CURLcode Result();

  // The local file of an upload, and the digest of what has been read of it.
  struct LocalFile {
    FILE* in = nullptr;
    TrkMD5* digest = nullptr;     // null: no digest wanted
    TrkRateLimit* rate = nullptr;  // null: as fast as the connection goes
    std::stop_token stop;
  };
  static size_t ReadLocal(char* buffer, size_t size, size_t count, void* data);
  static size_t KeepBody(char* data, size_t size, size_t count, void* body);
  // Wakes Perform's wait on the multi handle; curl_multi_wakeup is the one
  // libcurl call safe from another thread.
  struct WakeUp {
    CURLM* multi;
    void operator()() const { curl_multi_wakeup(multi); }
  };

  CURL* curl_ = nullptr;    // owned
  CURLM* multi_ = nullptr;  // owned
  const std::stop_token stop_;
  TrkStopSockets sockets_;  // outlives curl_ and multi_, whose cleanup closes through it
  // Ended before multi_ is cleaned up; may run on the stopping thread.
  std::optional<std::stop_callback<WakeUp>> on_stop_;
  char error_[CURL_ERROR_SIZE] = {};
  LocalFile upload_;  // of the current request
  TrkRateLimit* rate_ = nullptr;
  struct ReplyLines {
    std::vector<std::string> final, all;
  } replies_;
};
