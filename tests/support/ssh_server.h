#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/server_process.h"
#include "support/temp_dir.h"

namespace testing_support {

// An OpenSSH sshd of the test's own for SFTP, on 127.0.0.1 and a free port,
// with a host key and a config of its own: key logins only, as root (as the
// tests run), files served from the real file system (remote paths are local
// ones: use root()). Started by the constructor, stopped by the destructor.
// Unavailable (call DROPVAN_REQUIRE_SSH_SERVER) without sshd or when not root.
class SshServer {
 public:
  // `max_startups` above 0: sshd drops connections beyond that many that have
  // not logged in yet, as a busy server does. `sftp_flags`: the options of
  // its SFTP server ("-R": nothing may be written, whoever logs in).
  // `log_requests`: the SFTP server writes every request it is sent to
  // RequestLog() (OpenSSH's sftp-server at DEBUG3: "debug3: request 4: open
  // flags 26").
  explicit SshServer(int max_startups = 0, const std::string& sftp_flags = "", bool log_requests = false);
  ~SshServer();
  SshServer(const SshServer&) = delete;
  SshServer& operator=(const SshServer&) = delete;

  bool available() const { return missing_.empty(); }
  const std::string& why_unavailable() const { return missing_; }

  int port() const { return port_; }
  std::string user() const { return "root"; }
  // A folder the account may write in, for the files of a test.
  const std::filesystem::path& root() const { return root_.path(); }
  // A home folder whose .ssh/ holds the account's key (id_ed25519) and a
  // known_hosts that names this server's host key.
  std::string home() const { return (work_.path() / "home").string(); }
  std::string key_file() const { return home() + "/.ssh/id_ed25519"; }
  std::string known_hosts() const { return home() + "/.ssh/known_hosts"; }
  // The host key's fingerprint as ssh-keygen -l shows it ("SHA256:...").
  std::string HostKeyFingerprint() const;
  // The server's process group, which ends with the test process.
  pid_t process_group() const { return process_.group(); }
  // With log_requests: the requests the SFTP server was sent so far.
  std::string RequestLog() const;
  // Lets the public key of the ".pub" file `public_key` log in too.
  void Authorize(const std::string& public_key) const;

 private:
  void Start(int max_startups, const std::string& subsystem);
  // The SFTP subsystem's command: sshd's own, or OpenSSH's sftp-server with
  // its log kept when `log_requests`.
  std::string Subsystem(const std::string& sftp_flags, bool log_requests) const;
  // Runs a tool to its end; false when it failed.
  bool Run(const std::vector<std::string>& argv) const;

  TempDir work_;  // config, keys, home, log
  TempDir root_;
  std::string missing_;
  int port_ = 0;
  ServerProcess process_;
};

}  // namespace testing_support

#define DROPVAN_REQUIRE_SSH_SERVER(server)                                        \
  if (!(server).available())                                                      \
  GTEST_SKIP() << "SSH test server unavailable: " << (server).why_unavailable() \
               << " (scripts/setup installs openssh-server)"
