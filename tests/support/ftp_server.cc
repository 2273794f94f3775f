#include "support/ftp_server.h"

#include "support/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testing_support {
namespace {

using Clock = std::chrono::steady_clock;
const char kPython[] = "/usr/bin/python3";
const char kVsftpd[] = "/usr/sbin/vsftpd";
const char kOpenssl[] = "/usr/bin/openssl";

// The command-line flags of the faults beyond the first few, only those asked for.
std::vector<std::string> FaultFlags(const FtpFaults& faults) {
  std::vector<std::string> flags;
  auto count = [&](const char* flag, int n) {
    if (n != 0) flags.insert(flags.end(), {flag, std::to_string(n)});
  };
  auto share = [&](const char* flag, double p) {
    if (p > 0) flags.insert(flags.end(), {flag, std::to_string(p)});
  };
  auto on = [&](const char* flag, bool set) {
    if (set) flags.push_back(flag);
  };
  if (faults.refuse_mkd) flags.push_back("--refuse-mkd");
  count("--truncate-stor", faults.truncate_stor);
  count("--early-close", faults.early_close);
  count("--cut-stor-at", faults.cut_stor_at);
  count("--refuse-rnto", faults.refuse_rnto);
  on("--refuse-rnto-existing", faults.refuse_rnto_existing);
  if (!faults.drop_at.empty()) {
    flags.insert(flags.end(), {"--drop-at", faults.drop_at + "," + std::to_string(faults.drop_at_times)});
  }
  on("--no-size", faults.no_size);
  count("--cut-listings", faults.cut_listings);
  for (const std::string& answer : faults.answers) flags.insert(flags.end(), {"--answer", answer});
  count("--max-sessions", faults.max_sessions);
  if (!faults.turn_away.empty()) flags.insert(flags.end(), {"--turn-away", faults.turn_away});
  if (faults.turn_away_at_pass) flags.push_back("--turn-away-at-pass");
  share("--release-delay", faults.release_delay);
  share("--reply-delay", faults.reply_delay);
  flags.insert(flags.end(), {"--seed", std::to_string(faults.seed)});
  share("--drop-commands", faults.drop_commands);
  share("--drop-transfers", faults.drop_transfers);
  share("--refuse-stores", faults.refuse_stores);
  return flags;
}

void Replace(std::string& text, const std::string& field, const std::string& value) {
  for (size_t at; (at = text.find(field)) != std::string::npos;) text.replace(at, field.size(), value);
}

// The commands of a vsftpd protocol log: lines `... FTP command: Client "<ip>", "<command>"`.
std::vector<std::string> VsftpdCommands(const std::string& log) {
  static const std::string kMark = "FTP command: Client \"";
  std::vector<std::string> commands;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    size_t at = line.find(kMark);
    size_t start = at == std::string::npos ? at : line.find("\", \"", at + kMark.size());
    if (start == std::string::npos || line.back() != '"') continue;
    commands.push_back(line.substr(start + 4, line.size() - start - 5));
  }
  return commands;
}

}  // namespace

FtpServer::FtpServer(Kind kind, const FtpFaults& faults) {
  if (kind == Kind::kPyftpdlib || kind == Kind::kPyftpdlibTls) {
    StartPyftpdlib(faults, kind == Kind::kPyftpdlibTls);
  } else {
    StartVsftpd(kind, faults);
  }
}

FtpServer::~FtpServer() { Stop(); }

void FtpServer::StartPyftpdlib(const FtpFaults& faults, bool tls) {
  if (access(kPython, X_OK) != 0) {
    missing_ = kPython;
    return;
  }
  if (tls && !MakeCertificate()) return;
  user_ = "tester";
  password_ = "secret";
  trace_ = work_.path() / "trace.txt";
  std::vector<std::string> argv = {
      kPython, std::string(DROPVAN_SOURCE_DIR) + "/tests/ftp_server.py",
      "--root", root().string(), "--user", user_, "--password", password_,
      "--trace", trace_.string(),
      "--refuse-login", std::to_string(faults.refuse_login),
      "--drop-after", std::to_string(faults.drop_after),
      "--refuse-stor", std::to_string(faults.refuse_stor),
      "--stall", std::to_string(faults.stall),
      "--stall-seconds", std::to_string(faults.stall_seconds)};
  for (std::string& flag : FaultFlags(faults)) argv.push_back(std::move(flag));
  if (tls) argv.insert(argv.end(), {"--tls-cert", cert_, "--tls-key", key_});
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::string log = (work_.path() / "server.log").string();
  process_.Start(argv, out[1], log);
  close(out[1]);
  std::string line = ReadLine(out[0], std::chrono::seconds(15));
  close(out[0]);
  if (line.rfind("missing ", 0) == 0) {
    missing_ = line.substr(8);
    Stop();
    return;
  }
  // The script prints the port once it listens.
  port_ = std::atoi(line.c_str());
  if (port_ <= 0) {
    Stop();
    throw std::runtime_error("pyftpdlib test server did not start: " + line + " " +
                             ReadText(log));
  }
}

void FtpServer::StartVsftpd(Kind kind, const FtpFaults& faults) {
  if (access(kVsftpd, X_OK) != 0) {
    missing_ = kVsftpd;
    return;
  }
  user_ = "anonymous";
  password_ = "tester@example.org";
  if (geteuid() != 0) {
    // Without root vsftpd cannot confine an account to the temporary root.
    missing_ = "vsftpd needs root to confine its test account";
    return;
  }
  const std::string tls_lines = kind != Kind::kVsftpd ? TlsLines(kind == Kind::kVsftpdImplicitTls) : "";
  if (!available()) return;
  // vsftpd chroots anonymous sessions into the root and drops to the "ftp"
  // user. It refuses a root that user may write to, so the root is read-only
  // for it and uploads go below a world-writable "/pub".
  std::filesystem::create_directories("/var/run/vsftpd/empty");
  namespace fs = std::filesystem;
  fs::permissions(root(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
  fs::create_directory(root() / "pub");
  fs::permissions(root() / "pub", fs::perms::all);
  writable_dir_ = "/pub/";
  std::string account = "secure_chroot_dir=/var/run/vsftpd/empty\n";
  if (faults.max_sessions > 0) account += "max_per_ip=" + std::to_string(faults.max_sessions) + "\n";
  std::string conf = ReadText(std::string(DROPVAN_SOURCE_DIR) + "/tests/vsftpd.conf.in");
  Replace(conf, "@ROOT@", root().string());
  vsftpd_log_ = work_.path() / "vsftpd.log";
  Replace(conf, "@LOG@", vsftpd_log_.string());
  Replace(conf, "@ACCOUNT@", account);
  Replace(conf, "@TLS@", tls_lines);
  std::string out_path = (work_.path() / "vsftpd.out").string();
  // The free port may be taken between finding and binding it: try again.
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = FreePort();
    std::string text = conf;
    Replace(text, "@PORT@", std::to_string(port_));
    std::filesystem::path conf_path = work_.path() / "vsftpd.conf";
    std::ofstream(conf_path, std::ios::binary | std::ios::trunc) << text;
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    process_.Start({kVsftpd, conf_path.string()}, null_fd, out_path);
    close(null_fd);
    for (auto deadline = Clock::now() + std::chrono::seconds(10); Clock::now() < deadline;) {
      if (process_.Exited()) break;
      // Not by connecting: vsftpd would count that connection against
      // max_per_ip until it has reaped its session, and a test's first
      // connections would find less room than the test gave.
      if (Listens(port_)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
  }
  throw std::runtime_error("vsftpd test server did not start: " + ReadText(out_path));
}

bool FtpServer::MakeCertificate() {
  if (access(kOpenssl, X_OK) != 0) {
    missing_ = kOpenssl;
    return false;
  }
  key_ = (work_.path() / "key.pem").string();
  cert_ = (work_.path() / "cert.pem").string();
  const std::string err = (work_.path() / "openssl.err").string();
  int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_t pid = Spawn({kOpenssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key_, "-out", cert_,
                     "-days", "1", "-subj", "/CN=127.0.0.1"},
                    null_fd, err);
  close(null_fd);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("openssl could not make the test certificate: " + ReadText(err));
  }
  return true;
}

std::string FtpServer::TlsLines(bool implicit) {
  if (!MakeCertificate()) return "";
  // The anonymous account is asked for its password, so that a login carries one.
  return "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\n"
         "require_ssl_reuse=YES\nssl_ciphers=HIGH\nno_anon_password=NO\n"
         "rsa_cert_file=" + cert_ + "\nrsa_private_key_file=" + key_ + "\n" + (implicit ? "implicit_ssl=YES\n" : "");
}

void FtpServer::Stop() { process_.Stop(); }

std::vector<FtpTraceLine> FtpServer::Trace() const {
  std::vector<FtpTraceLine> lines;
  std::istringstream in(ReadText(trace_));
  std::string line;
  while (std::getline(in, line)) {
    size_t a = line.find('\t');
    size_t b = line.find('\t', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    lines.push_back({std::atoi(line.substr(0, a).c_str()), line.substr(a + 1, b - a - 1),
                     line.substr(b + 1)});
  }
  return lines;
}

std::vector<std::string> FtpServer::Commands() const {
  if (!vsftpd_log_.empty()) return VsftpdCommands(ReadText(vsftpd_log_));
  std::vector<std::string> commands;
  for (const FtpTraceLine& line : Trace()) commands.push_back(line.command);
  return commands;
}

}  // namespace testing_support
