#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace testing_support {

// Faults the pyftpdlib server injects on request (tests/ftp_server.py).
struct FtpFaults {
  int refuse_login = 0;       // refuse the next N logins; -1 every login
  int drop_after = -1;        // close the control connection on command N + 1, once
  int refuse_stor = 0;        // answer the next N STORs with 550
  int stall = 0;              // read nothing of the next N STORs' data connections ...
  double stall_seconds = 5;   // ... for this long
  bool refuse_mkd = false;    // answer every MKD with 550
};

// One command the pyftpdlib server received: its session (1, 2, ... in the
// order of connection), the first reply code ("DROP" when the server closed
// the connection instead), and the command line (PASS masked).
struct FtpTraceLine {
  int session = 0;
  std::string code;
  std::string command;
};

// A real FTP server on 127.0.0.1 with a free port and a fresh temporary root,
// started by the constructor and stopped (with any session processes) by the
// destructor. Throws std::runtime_error when the server program exists but
// does not come up. When the program is missing, available() is false: call
// DROPVAN_REQUIRE_FTP_SERVER(server) first in the test to skip it. vsftpd
// needs root (it confines the account with chroot); otherwise it is
// unavailable too.
class FtpServer {
 public:
  enum class Kind { kPyftpdlib, kVsftpd };

  explicit FtpServer(Kind kind = Kind::kPyftpdlib, const FtpFaults& faults = {});
  ~FtpServer();
  FtpServer(const FtpServer&) = delete;
  FtpServer& operator=(const FtpServer&) = delete;

  bool available() const { return missing_.empty(); }
  const std::string& why_unavailable() const { return missing_; }

  std::string host() const { return "127.0.0.1"; }
  int port() const { return port_; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  // The folder the server serves as "/" of its account.
  const std::filesystem::path& root() const { return root_.path(); }
  // A remote directory the account may write in, ending in "/": "/" on
  // pyftpdlib, "/pub/" on vsftpd (which will not serve a writable root).
  const std::string& writable_dir() const { return writable_dir_; }
  // pyftpdlib only: every command received so far.
  std::vector<FtpTraceLine> Trace() const;
  // The command lines of Trace() alone.
  std::vector<std::string> Commands() const;

 private:
  void StartPyftpdlib(const FtpFaults& faults);
  void StartVsftpd();
  void Stop();

  TempDir work_;  // config, logs, trace
  TempDir root_;
  std::string user_, password_, missing_;
  std::string writable_dir_ = "/";
  std::filesystem::path trace_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace testing_support

#define DROPVAN_REQUIRE_FTP_SERVER(server)                                       \
  if (!(server).available())                                                     \
  GTEST_SKIP() << "FTP test server unavailable: " << (server).why_unavailable()          \
               << " (scripts/setup installs the servers)"
