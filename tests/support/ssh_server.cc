#include "support/ssh_server.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/server_process.h"

namespace testing_support {
namespace {

namespace fs = std::filesystem;
const char kSshd[] = "/usr/sbin/sshd";
const char kKeygen[] = "/usr/bin/ssh-keygen";

}  // namespace

SshServer::SshServer(int max_startups, const std::string& sftp_flags, bool log_requests) {
  if (access(kSshd, X_OK) != 0 || access(kKeygen, X_OK) != 0) {
    missing_ = kSshd;
  } else if (geteuid() != 0) {
    missing_ = "sshd runs its sessions as root here";
  } else {
    Start(max_startups, Subsystem(sftp_flags, log_requests));
  }
}

SshServer::~SshServer() = default;

bool SshServer::Run(const std::vector<std::string>& argv) const {
  int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_t pid = Spawn(argv, null_fd, (work_.path() / "tool.err").string());
  close(null_fd);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string SshServer::Subsystem(const std::string& sftp_flags, bool log_requests) const {
  if (!log_requests) return "internal-sftp " + sftp_flags;
  const fs::path wrapper = work_.path() / "sftp-server";
  std::ofstream(wrapper) << "#!/bin/sh\nexec /usr/lib/openssh/sftp-server -e -l DEBUG3 " << sftp_flags << " 2>>"
                         << (work_.path() / "requests.log").string() << "\n";
  fs::permissions(wrapper, fs::perms::owner_all);
  return wrapper.string();
}

std::string SshServer::RequestLog() const { return ReadText(work_.path() / "requests.log"); }

void SshServer::Start(int max_startups, const std::string& subsystem) {
  const fs::path dir = work_.path();
  fs::create_directories("/run/sshd");  // sshd's privilege separation folder
  fs::create_directories(dir / "home/.ssh");
  const std::string host_key = (dir / "hostkey").string();
  if (!Run({kKeygen, "-q", "-t", "ed25519", "-N", "", "-f", host_key}) ||
      !Run({kKeygen, "-q", "-t", "ed25519", "-N", "", "-f", key_file()})) {
    throw std::runtime_error("ssh-keygen could not make the test keys: " + ReadText(dir / "tool.err"));
  }
  fs::copy_file(key_file() + ".pub", dir / "authorized");
  const std::string log = (dir / "sshd.log").string();
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = FreePort();
    std::ofstream(dir / "sshd_config", std::ios::trunc)
        << "Port " << port_ << "\nListenAddress 127.0.0.1\nHostKey " << host_key << "\nPidFile " << (dir / "sshd.pid").string()
        << "\nAuthorizedKeysFile " << (dir / "authorized").string()
        << "\nPermitRootLogin prohibit-password\nPasswordAuthentication no\nKbdInteractiveAuthentication no"
        << "\nUsePAM no\nStrictModes no\nSubsystem sftp " << subsystem << "\n"
        << (max_startups > 0 ? "MaxStartups " + std::to_string(max_startups) + "\n" : "");
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    process_.Start({kSshd, "-D", "-e", "-f", (dir / "sshd_config").string()}, null_fd, log);
    close(null_fd);
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         std::chrono::steady_clock::now() < deadline;) {
      if (process_.Exited()) break;
      if (Accepts(port_)) {
        std::ifstream public_key(host_key + ".pub");
        std::string type, key;
        public_key >> type >> key;
        std::ofstream(known_hosts()) << "[127.0.0.1]:" << port_ << " " << type << " " << key << "\n";
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    process_.Stop();
  }
  throw std::runtime_error("sshd test server did not start: " + ReadText(log));
}

std::string SshServer::HostKeyFingerprint() const {
  const std::string listing = (work_.path() / "fingerprint").string();
  int out = open(listing.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_t pid = Spawn({kKeygen, "-l", "-f", (work_.path() / "hostkey.pub").string()}, out,
                    (work_.path() / "tool.err").string());
  close(out);
  waitpid(pid, nullptr, 0);
  std::istringstream line(ReadText(listing));  // "256 SHA256:... comment (ED25519)"
  std::string bits, fingerprint;
  line >> bits >> fingerprint;
  return fingerprint;
}

void SshServer::Authorize(const std::string& public_key) const {
  std::ofstream(work_.path() / "authorized", std::ios::app) << ReadText(public_key);
}

}  // namespace testing_support
