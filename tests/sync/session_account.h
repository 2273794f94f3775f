#pragma once

#include <chrono>

#include "support/ftp_server.h"
#include "sync/uploader.h"

namespace dropvan_testing {

// Points `uploader` at `server` (at `port` when given) with waits and time-outs
// short enough for tests: the schedule stays the same, only shorter.
inline void Account(TrkUploader& uploader, const testing_support::FtpServer& server, int port = 0) {
  using std::chrono::milliseconds;
  uploader.Server = server.host();
  uploader.Port = port != 0 ? port : server.port();
  uploader.User = server.user();
  uploader.Password = server.password();
  uploader.RetryWait = milliseconds(50);
  uploader.Settings.ConnectTimeout = milliseconds(3000);
  uploader.Settings.ReplyTimeout = milliseconds(3000);
  uploader.Settings.StallTimeout = milliseconds(3000);
}

}  // namespace dropvan_testing
