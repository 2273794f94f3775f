#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/server_process.h"
#include "support/temp_dir.h"

namespace testing_support {

// Faults the pyftpdlib server injects on request (tests/ftp_server.py). The
// counted ones count over all sessions of the server.
struct FtpFaults {
  int refuse_login = 0;       // refuse the next N logins; -1 every login
  int drop_after = -1;        // close the control connection on command N + 1, once
  int refuse_stor = 0;        // answer the next N STORs with 550
  int stall = 0;              // read nothing of the next N STORs' data connections ...
  double stall_seconds = 5;   // ... for this long
  bool refuse_mkd = false;    // answer every MKD with 550
  int truncate_stor = 0;      // keep only the first half of the next N stored files, answer 226
  int early_close = 0;        // read part of the next N STORs' data, close, answer 226
  int cut_stor_at = 0;        // above 0: close the next STOR's data once this many bytes came, answer 426
  int refuse_rnto = 0;        // answer the next N RNTOs with 550; -1 every RNTO
  bool refuse_rnto_existing = false;  // answer RNTO with 550 when the target exists
  std::string drop_at;        // close the control connection without reply on this command ...
  int drop_at_times = 1;      // ... the first N times it arrives
  bool no_size = false;       // answer SIZE with 502, as a server without it
  int cut_listings = 0;       // above 0: list no more than N entries of a folder, the first N by name
  // Replies given instead of carrying a command out: "VERB=REPLY" for every
  // VERB, "VERB#N=REPLY" for the N-th one ("SIZE=550 Gone.", "PWD=502 No.").
  std::vector<std::string> answers;
  int max_sessions = 0;       // above 0: turn away beyond N sessions at once; -1 every session (on vsftpd:
                              // its per-address limit, max_per_ip)
  std::string turn_away;      // the greeting of a session turned away; empty: "421 Too many connections."
  bool turn_away_at_pass = false;  // turned away with that reply to PASS instead (proftpd's MaxClientsPerHost)
  double release_delay = 0;   // seconds a closed session still counts against max_sessions
  double reply_delay = 0;     // seconds each command waits before the server handles it
  // Shares of random faults, drawn from `seed`: with the same seed a stored
  // path meets the same store faults, whatever the order of the sessions.
  int seed = 1;
  double drop_commands = 0;   // commands after login answered by closing the connection
  double drop_transfers = 0;  // STORs whose data connection is closed midway, answered 426
  double refuse_stores = 0;   // STORs answered 550
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
  // kVsftpdTls: vsftpd that demands explicit TLS for the login and every data
  // connection and asks the anonymous account for its password, with a
  // self-signed certificate for 127.0.0.1 made by the openssl CLI (without
  // openssl it is unavailable). kVsftpdImplicitTls: the same with TLS from
  // each connection's first byte (implicit TLS, "ftps://").
  //
  // kPyftpdlibTls: pyftpdlib with its fault table, demanding explicit TLS on
  // the control and every data connection (without reuse of the session).
  enum class Kind { kPyftpdlib, kVsftpd, kVsftpdTls, kVsftpdImplicitTls, kPyftpdlibTls };

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
  // The server's process group, which ends with the test process.
  pid_t process_group() const { return process_.group(); }
  // pyftpdlib only: every command received so far.
  std::vector<FtpTraceLine> Trace() const;
  // The command lines of Trace() alone; on vsftpd, the commands of its
  // protocol log (PASS shown as "PASS <password>").
  std::vector<std::string> Commands() const;

 private:
  void StartPyftpdlib(const FtpFaults& faults, bool tls);
  // Makes a self-signed certificate for 127.0.0.1: false when there is no openssl.
  bool MakeCertificate();
  void StartVsftpd(Kind kind, const FtpFaults& faults);
  // vsftpd's configuration lines for TLS, after making the certificate.
  std::string TlsLines(bool implicit);
  std::string key_, cert_;  // of MakeCertificate
  void Stop();

  TempDir work_;  // config, logs, trace
  TempDir root_;
  std::string user_, password_, missing_;
  std::string writable_dir_ = "/";
  std::filesystem::path trace_;
  std::filesystem::path vsftpd_log_;
  int port_ = 0;
  ServerProcess process_;
};

}  // namespace testing_support

#define DROPVAN_REQUIRE_FTP_SERVER(server)                                       \
  if (!(server).available())                                                     \
  GTEST_SKIP() << "FTP test server unavailable: " << (server).why_unavailable()          \
               << " (scripts/setup installs the servers)"
