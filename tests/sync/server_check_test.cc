// What `dropvan --check` finds of a server, against real ones.

#include "sync/server_check.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "dropvan_run.h"
#include "support/ftp_server.h"
#include "support/ssh_server.h"
#include "transfer/server_profile.h"

namespace {

using dropvan_testing::SyncProject;
using testing_support::FtpFaults;
using testing_support::FtpServer;
using Kind = FtpServer::Kind;

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST(ServerCheckTest, TellsWhatWorksWhatFailsAndWhichSettingsToUse) {
  struct Row {
    const char* what;
    Kind kind;
    std::vector<std::string> options;  // "Name=Value" beside the server's account
    FtpFaults faults;
    bool works;
    std::vector<std::string> said;  // lines that must be among what is said (starts; whole lines end in "\n")
  };
  FtpFaults no_port, limit, no_delete, refused;
  no_port.answers = {"EPRT=500 No.", "PORT=500 No."};
  limit.max_sessions = 2;
  no_delete.answers = {"DELE=550 Not here."};
  refused.refuse_login = -1;
  const Row rows[] = {
      {"everything works; auto remembers active", Kind::kPyftpdlib, {"Passive=Auto"}, {}, true,
       {"active data connection: works", "passive data connection: works", "remembered for Passive=Auto: Active",
        "delete: works", "connections: 3 at once (ThreadsCount=3)", "verdict: an upload would work as configured"}},
      {"wrong account", Kind::kPyftpdlib, {}, refused, false,
       {"login: fails: 530 Login refused by test.", "verdict: an upload would fail as configured: no login"}},
      {"active refused, active configured", Kind::kPyftpdlib, {}, no_port, false,
       {"active data connection: fails: [Error]Upload file failure: 500 No.", "passive data connection: works",
        "verdict: an upload would fail as configured: the probe was not stored; use Passive=True"}},
      {"active refused, auto remembers passive", Kind::kPyftpdlib, {"Passive=auto"}, no_port, true,
       {"remembered for Passive=Auto: Passive", "verdict: an upload would work as configured"}},
      {"a per-address limit below the workers", Kind::kVsftpd, {"Passive=True"}, limit, true,
       {"connections: 2 at once, then refused: 421 ",
        "verdict: an upload would work as configured; use ThreadsCount=2"}},
      {"Auto with room for all it may open", Kind::kPyftpdlib, {"ThreadsCount=Auto"}, {}, true,
       {"connections: 16 at once (ThreadsCount=Auto opens 4 connections, then more while the pace rises, up to 16)",
        "verdict: an upload would work as configured"}},
      {"Auto against a per-address limit, which it keeps to without advice", Kind::kVsftpd,
       {"Passive=True", "ThreadsCount=auto"}, limit, true,
       {"connections: 2 at once, then refused: 421 ", "connections: ThreadsCount=Auto opens 2, all the server takes",
        "verdict: an upload would work as configured\n"}},
      {"deletes refused", Kind::kPyftpdlib, {}, no_delete, true,
       {"delete: fails: 550 Not here.", "verdict: an upload would work as configured"}},
      {"a self-signed certificate", Kind::kVsftpdTls, {"Secure=True"}, {}, false,
       {"login: fails: SSL certificate problem: self-signed certificate"}},
      {"TLS offered, not used", Kind::kVsftpdTls, {"Secure=True", "SecureVerify=False"}, {}, true,
       {"TLS: every connection, the certificate not verified (SecureVerify=False)"}},
      {"implicit TLS", Kind::kVsftpdImplicitTls, {"Server=ftps://127.0.0.1", "SecureVerify=False"}, {}, true,
       {"TLS: every connection", "passive data connection: works", "verdict: an upload would work as configured"}},
      {"a scheme not supported", Kind::kPyftpdlib, {"Server=http://127.0.0.1"}, {}, false,
       {"verdict: an upload would fail as configured: Server: scheme http:// is not supported (ftp://, ftps://, "
        "sftp://)"}},
      {"a KeyFile that cannot log in", Kind::kPyftpdlib, {"Server=sftp://127.0.0.1", "KeyFile=/nowhere/id_x"}, {},
       false, {"verdict: an upload would fail as configured: KeyFile /nowhere/id_x: no such file"}},
      {"deletions that could reach the site", Kind::kPyftpdlib, {"DeleteRemoved=True", "DeleteTo=/"}, {}, false,
       {"verdict: an upload would fail as configured: DeleteTo \"/\" holds Target"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FtpServer server(row.kind, row.faults);
    DROPVAN_REQUIRE_FTP_SERVER(server);
    SyncProject site(&server);
    site.Set("Target", server.writable_dir() + "www");
    site.Set("ThreadsCount", "3");
    for (const std::string& option : row.options) {
      site.Set(option.substr(0, option.find('=')), option.substr(option.find('=') + 1));
    }
    std::vector<std::string> said;
    const bool works = TrkServerCheck(site.project(), [&](const std::string& line) { said.push_back(line); }).Run();
    EXPECT_EQ(works, row.works) << Lines(said);
    for (const std::string& line : row.said) {
      EXPECT_TRUE(std::any_of(said.begin(), said.end(), [&](const std::string& s) {
        return line.ends_with('\n') ? s + "\n" == line : s.rfind(line, 0) == 0;
      }))
          << "not said: " << line << "\n" << Lines(said);
    }
    EXPECT_EQ(said.back().rfind("verdict: an upload would " + std::string(row.works ? "work" : "fail"), 0), 0u);
    // Nothing of the check stays on the server, but where it could not delete.
    const auto www = server.root() / (server.writable_dir().substr(1) + "www");
    const bool left = std::filesystem::exists(www) && !std::filesystem::is_empty(www);
    EXPECT_EQ(left, row.faults.answers == no_delete.answers) << Lines(said);
  }
}

// SFTP has no data connections to try: the rest is checked as for FTP.
TEST(ServerCheckTest, ChecksAnSftpServerToo) {
  testing_support::SshServer server;
  DROPVAN_REQUIRE_SSH_SERVER(server);
  SyncProject site;
  site.Set("Server", "sftp://127.0.0.1");
  site.Set("Port", std::to_string(server.port()));
  site.Set("User", server.user());
  site.Set("KeyFile", server.key_file());
  site.Set("Target", (server.root() / "www").string());
  setenv("HOME", server.home().c_str(), 1);  // its known_hosts names the server
  std::vector<std::string> said;
  const bool works = TrkServerCheck(site.project(), [&](const std::string& line) { said.push_back(line); }).Run();
  EXPECT_TRUE(works) << Lines(said);
  EXPECT_EQ(said.size(), 6u) << Lines(said);  // destination, login, probe, delete, connections, verdict
  EXPECT_TRUE(std::filesystem::is_empty(server.root() / "www")) << Lines(said);
}

}  // namespace
