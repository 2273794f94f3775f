// The session's connection options: passive data connections and FTP over
// TLS, against real servers.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "dropvan_run.h"
#include "session_account.h"
#include "project/error.h"
#include "project/text_file.h"
#include "project/whole_file.h"
#include "support/ftp_server.h"
#include "support/recording_relay.h"
#include "support/temp_dir.h"
#include "transfer/new_session.h"
#include "transfer/server_profile.h"
#include "sync/uploader.h"

namespace {

using namespace std::chrono_literals;
using dropvan_testing::RunResult;
using dropvan_testing::SyncProject;
using testing_support::FtpServer;
using Kind = FtpServer::Kind;
using testing_support::FtpFaults;
using testing_support::RecordingRelay;

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kPyftpdlib: return "pyftpdlib";
    case Kind::kVsftpd: return "vsftpd";
    case Kind::kVsftpdTls: return "vsftpd with TLS";
    case Kind::kVsftpdImplicitTls: return "vsftpd with implicit TLS";
    case Kind::kPyftpdlibTls: return "pyftpdlib with TLS";
  }
  return "?";
}

std::string Binary(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919 + i / 251) & 0xFF);
  return bytes;
}

std::string ServerFile(const FtpServer& server, const std::string& remote) {
  auto path = server.root() / std::filesystem::path(remote).relative_path();
  return std::filesystem::is_regular_file(path) ? ReadFileBytes(path.string()) : "<missing " + remote + ">";
}

int Count(const std::vector<std::string>& commands, const std::string& verb) {
  return static_cast<int>(std::count_if(commands.begin(), commands.end(), [&](const std::string& c) {
    return c == verb || c.rfind(verb + " ", 0) == 0;
  }));
}

// The transfers that went over a passive data connection, and the most
// passive ports asked for one transfer: a port asked ahead (with a SIZE or at
// login) serves the next transfer, whatever folder commands came between.
struct PassiveUse {
  int transfers = 0, most_asked = 0;
};
PassiveUse Passive(const std::vector<std::string>& commands) {
  PassiveUse use;
  int asked = 0;
  for (const std::string& command : commands) {
    asked += command.starts_with("EPSV") || command.starts_with("PASV");
    if (!(command.starts_with("STOR") || command.starts_with("APPE") || command.starts_with("MLSD") ||
          command.starts_with("LIST"))) {
      continue;
    }
    use.transfers += asked > 0;
    use.most_asked = std::max(use.most_asked, asked);
    asked = 0;
  }
  return use;
}

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "  " + line + "\n";
  return text;
}

using dropvan_testing::Account;

// Uploads a binary file into a new folder, a program (stored under a
// temporary name, then renamed) and a second file over the same connection,
// and checks that each arrived whole. Returns the folder used.
std::string UploadSample(TrkUploader& uploader, const FtpServer& server,
                         const testing_support::TempDir& local) {
  const std::string www = server.writable_dir() + "www/";
  const std::string bytes = Binary(200000);
  uploader.PutFile(local.Write("a.bin", bytes), www + "sub/a.bin", 0);
  uploader.PutFile(local.Write("setup.exe", "program"), www + "setup.exe", 0);
  uploader.PutFile(local.Write("b.txt", "b"), www + "sub/b.txt", 0);
  EXPECT_TRUE(ServerFile(server, www + "sub/a.bin") == bytes) << "binary file altered";
  EXPECT_EQ(ServerFile(server, www + "setup.exe"), "program");
  EXPECT_EQ(ServerFile(server, www + "sub/b.txt"), "b");
  EXPECT_FALSE(std::filesystem::exists(server.root() / (server.writable_dir().substr(1) + "www/setup.exe_")));
  return www;
}

// --- Passive mode -------------------------------------------------------------

// The option chooses the data connections' mode, and only that mode is used;
// directories, the size check and the rename of programs work in both. Auto
// goes passive, for good and in the profile, once an active one fails.
TEST(FtpConnectionOptionsTest, PassiveChoosesTheDataConnectionMode) {
  using Mode = TrkDataConnection;
  using Learnt = TrkServerProfile::DataMode;
  struct Row {
    const char* what;
    Kind kind;
    Mode mode;
    std::vector<std::string> answers;  // the server's faults
    Learnt remembered, learnt;
    int passive, active;  // passive data connections and active attempts (EPRT/PORT) at least
    std::chrono::milliseconds hold{};  // the control connection's lag behind the data
  };
  const Row rows[] = {
      {"passive", Kind::kPyftpdlib, Mode::kPassive, {}, Learnt::kUnknown, Learnt::kUnknown, 3, 0},
      {"passive", Kind::kVsftpd, Mode::kPassive, {}, Learnt::kUnknown, Learnt::kUnknown, 3, 0},
      // A port asked ahead that the server will not serve: a new one is asked.
      {"passive, 425 to the first STOR", Kind::kPyftpdlib, Mode::kPassive, {"STOR#1=425 Can't open data connection."},
       Learnt::kUnknown, Learnt::kUnknown, 4, 0},
      // pyftpdlib drops a data connection whose bytes come before the command.
      {"passive, commands slower than data", Kind::kPyftpdlib, Mode::kPassive, {}, Learnt::kUnknown,
       Learnt::kUnknown, 3, 0, 100ms},
      {"active", Kind::kPyftpdlib, Mode::kActive, {}, Learnt::kUnknown, Learnt::kUnknown, 0, 3},
      {"active", Kind::kVsftpd, Mode::kActive, {}, Learnt::kUnknown, Learnt::kUnknown, 0, 3},
      {"auto, active works", Kind::kPyftpdlib, Mode::kAuto, {}, Learnt::kUnknown, Learnt::kActive, 0, 3},
      {"auto, PORT refused", Kind::kPyftpdlib, Mode::kAuto, {"EPRT=500 No.", "PORT=500 No."}, Learnt::kUnknown,
       Learnt::kPassive, 3, 1},
      {"auto, 425 to the first STOR", Kind::kPyftpdlib, Mode::kAuto, {"STOR#1=425 Can't open data connection."},
       Learnt::kUnknown, Learnt::kPassive, 3, 1},
      {"auto, nothing connects back", Kind::kPyftpdlib, Mode::kAuto, {"EPRT=200 Fine."}, Learnt::kUnknown,
       Learnt::kPassive, 3, 1},
      {"auto, passive remembered", Kind::kPyftpdlib, Mode::kAuto, {}, Learnt::kPassive, Learnt::kPassive, 3, 0},
      {"passive remembered, active asked", Kind::kVsftpd, Mode::kActive, {}, Learnt::kPassive, Learnt::kPassive, 0, 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(KindName(row.kind)) + ", " + row.what);
    FtpFaults faults;
    faults.answers = row.answers;
    FtpServer server(row.kind, faults);
    DROPVAN_REQUIRE_FTP_SERVER(server);
    RecordingRelay relay(server.port(), row.hold);
    testing_support::TempDir local;
    const std::string profile_file = local.dir() + "site.servers";
    TrkServerProfile::Load(profile_file, "ftp://elsewhere")->Learn(Learnt::kActive);  // kept as it is
    TrkServerProfile::Load(profile_file, "ftp://site")->Learn(row.remembered);
    {
      TrkUploader uploader(TrkNewTransferSession);
      Account(uploader, server, relay.port());
      uploader.Settings.Data = row.mode;
      uploader.Settings.Profile = TrkServerProfile::Load(profile_file, "ftp://site");
      uploader.Settings.ReplyTimeout = 1s;  // a connection back that never comes is waited for that long
      UploadSample(uploader, server, local);
    }
    const std::vector<std::string> commands = server.Commands();
    const PassiveUse passive = Passive(commands);
    EXPECT_LE(passive.most_asked, 1) << "the port asked ahead was not taken:\n" << Join(commands);
    const int active = Count(commands, "EPRT") + Count(commands, "PORT");
    EXPECT_EQ(passive.transfers, row.passive) << "one data connection per file:\n" << Join(commands);
    EXPECT_GE(active, row.active) << Join(commands);
    EXPECT_LE(active, row.passive == 0 ? 3 : row.active * 2) << "active after it failed:\n" << Join(commands);
    EXPECT_EQ(Count(commands, "SIZE"), 3) << "each store is checked:\n" << Join(commands);
    EXPECT_EQ(TrkServerProfile::Load(profile_file, "ftp://site")->Data(), row.learnt);
    EXPECT_EQ(TrkServerProfile::Load(profile_file, "ftp://elsewhere")->Data(), Learnt::kActive);
  }
}

// Whether the server reads commands while a transfer runs is asked once, by a
// NOOP during the first store, and kept in the profile. One that queues them
// takes each store's size check with its data; one that answers at once is
// never sent anything before a transfer's end, and one the profile wrongly
// took for queuing is found out before a file is recorded on its word.
TEST(FtpConnectionOptionsTest, AServerThatQueuesCommandsTakesTheSizeCheckWithTheData) {
  using Commands = TrkServerProfile::Commands;
  struct Row {
    const char* what;
    Kind kind;
    TrkDataConnection mode;
    Commands remembered;
    FtpFaults faults;
    Commands learnt;
    int noops, sizes, sizes_before_the_end;
    std::chrono::milliseconds command_hold{};  // the control connection's lag behind the data
  };
  FtpFaults noop_unknown, stalled;
  noop_unknown.answers = {"NOOP=502 Command not implemented."};
  stalled.stall = 1;  // the first store's data unread while the size check comes
  stalled.stall_seconds = 0.5;
  const TrkDataConnection passive = TrkDataConnection::kPassive;
  const Row rows[] = {
      {"not known yet", Kind::kVsftpd, passive, Commands::kUnknown, {}, Commands::kQueued, 1, 3, 2},
      {"known", Kind::kVsftpd, passive, Commands::kQueued, {}, Commands::kQueued, 0, 3, 3},
      {"not known yet, active", Kind::kVsftpd, TrkDataConnection::kActive, Commands::kUnknown, {},
       Commands::kQueued, 1, 3, 2},
      {"not known yet", Kind::kPyftpdlib, passive, Commands::kUnknown, {}, Commands::kConcurrent, 1, 3, 0},
      {"NOOP unknown to it", Kind::kPyftpdlib, passive, Commands::kUnknown, noop_unknown, Commands::kConcurrent,
       1, 3, 0},
      // The data's end reaches the server before the NOOP: it is answered
      // during the transfer only if the transfer waits for it.
      {"not known yet, commands slower than data", Kind::kPyftpdlib, passive, Commands::kUnknown, {},
       Commands::kConcurrent, 1, 3, 0, 100ms},
      {"wrongly known as queuing", Kind::kPyftpdlib, passive, Commands::kQueued, stalled, Commands::kConcurrent, 0,
       4, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(KindName(row.kind)) + ", " + row.what);
    FtpServer server(row.kind, row.faults);
    DROPVAN_REQUIRE_FTP_SERVER(server);
    RecordingRelay relay(server.port(), row.command_hold, 50ms);  // a client that waits for a reply is seen to
    testing_support::TempDir local;
    const std::string profile_file = local.dir() + "site.servers";
    const auto remembered = TrkServerProfile::Load(profile_file, "ftp://site");
    remembered->Learn(TrkServerProfile::DataMode::kPassive);
    remembered->Learn(row.remembered);
    const std::string www = server.writable_dir() + "www/";
    {
      TrkUploader uploader(TrkNewTransferSession);
      Account(uploader, server, relay.port());
      uploader.Settings.Data = row.mode;
      uploader.Settings.Profile = TrkServerProfile::Load(profile_file, "ftp://site");
      for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
        try {
          uploader.PutFile(local.Write(name, std::string("content of ") + name), www + name, 0);
        } catch (const TrkError& error) {
          ADD_FAILURE() << name << ": " << error.Reason();
        }
      }
    }
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
      EXPECT_EQ(ServerFile(server, www + name), std::string("content of ") + name);
    }
    const std::vector<std::string> commands = server.Commands();
    EXPECT_EQ(Count(commands, "NOOP"), row.noops) << Join(commands);
    EXPECT_EQ(Count(commands, "SIZE"), row.sizes) << Join(commands);
    // A SIZE the client sent after a STOR, before the server's last word on it.
    int before_the_end = 0;
    bool storing = false;
    for (const std::string& line : relay.Exchange()) {
      if (line.starts_with("> STOR")) storing = true;
      if (line.starts_with("> SIZE")) before_the_end += storing;
      if (line.starts_with("< 226") || line.starts_with("< 4") || line.starts_with("< 5")) storing = false;
    }
    EXPECT_EQ(before_the_end, row.sizes_before_the_end) << Join(relay.Exchange());
    const auto learnt = TrkServerProfile::Load(profile_file, "ftp://site");
    EXPECT_EQ(learnt->DuringTransfers(), row.learnt);
    EXPECT_EQ(learnt->Data(), TrkServerProfile::DataMode::kPassive) << "the other fact of the line kept";
  }
}

// --- FTP over TLS ---------------------------------------------------------------

TEST(FtpConnectionOptionsTest, SecureUploadsOverTlsOrFailsTheConnect) {
  struct Row {
    const char* what;
    Kind kind;
    bool secure, verify, passive;
    bool uploads;
    const char* reason;  // the start of the failure's reason
    std::vector<std::string> answers = {};  // the server's faults
    bool logged_in = false;  // the failure came after the login, over TLS
  };
  const Row rows[] = {
      {"self-signed certificate accepted, passive", Kind::kVsftpdTls, true, false, true, true, ""},
      {"self-signed certificate accepted, active", Kind::kVsftpdTls, true, false, false, true, ""},
      {"self-signed certificate verified and rejected", Kind::kVsftpdTls, true, true, true, false,
       "SSL certificate problem: self-signed certificate"},
      {"plain login to a server that demands TLS", Kind::kVsftpdTls, false, true, true, false, "530 "},
      {"TLS asked of a server without it", Kind::kPyftpdlib, true, false, true, false, "5"},
      {"TLS put off by the server", Kind::kPyftpdlib, true, false, true, false, "431 ", {"AUTH=431 Not now."}},
      {"another server's TLS, passive", Kind::kPyftpdlibTls, true, false, true, true, ""},
      // Nothing goes in clear, the data connections included.
      {"private data connections put off", Kind::kPyftpdlibTls, true, false, true, false, "431 ",
       {"PROT=431 Not now."}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FtpFaults faults;
    faults.answers = row.answers;
    FtpServer server(row.kind, faults);
    DROPVAN_REQUIRE_FTP_SERVER(server);
    testing_support::TempDir local;
    TrkUploader uploader(TrkNewTransferSession);
    Account(uploader, server);
    uploader.Settings.Secure = row.secure;
    uploader.Settings.SecureVerify = row.verify;
    uploader.Settings.Data = row.passive ? TrkDataConnection::kPassive : TrkDataConnection::kActive;
    if (row.uploads) {
      UploadSample(uploader, server, local);
      uploader.Disconnect();
      const std::vector<std::string> commands = server.Commands();
      EXPECT_EQ(Count(commands, "AUTH TLS"), 1) << Join(commands);
      EXPECT_EQ(Count(commands, "PROT P"), 1) << "data connections must be private:\n" << Join(commands);
      EXPECT_EQ(Count(commands, "SIZE"), 3) << "each store is checked:\n" << Join(commands);
      EXPECT_EQ(row.passive ? Passive(commands).transfers : Count(commands, "EPRT"), 3) << Join(commands);
      continue;
    }
    try {
      uploader.PutFile(local.Write("x.txt", "x"), server.writable_dir() + "x.txt", 1);
      ADD_FAILURE() << "stored although the connection should have failed";
    } catch (const TrkError& error) {
      EXPECT_EQ(std::string(error.what()), "[Error]Connect to 127.0.0.1 failure");
      EXPECT_EQ(error.Reason().rfind(row.reason, 0), 0u) << error.Reason();
    }
    EXPECT_EQ(uploader.FailCount, 1);
    const std::vector<std::string> commands = server.Commands();
    // Two attempts on the usual schedule (tries 1), each starting afresh.
    EXPECT_EQ(Count(commands, row.secure ? "AUTH TLS" : "USER"), 2) << Join(commands);
    EXPECT_EQ(Count(commands, "STOR"), 0) << Join(commands);
    if (row.secure) {
      EXPECT_EQ(Count(commands, "USER"), row.logged_in ? 2 : 0) << "account sent in clear:\n" << Join(commands);
    }
  }
}

// A capture of the control connection: in clear the password shows (so the
// capture does see it), over TLS it does not, while the upload succeeds.
TEST(FtpConnectionOptionsTest, SecureKeepsThePasswordOffTheWire) {
  for (Kind kind : {Kind::kPyftpdlib, Kind::kVsftpdTls}) {
    const bool secure = kind == Kind::kVsftpdTls;
    SCOPED_TRACE(KindName(kind));
    FtpServer server(kind);
    DROPVAN_REQUIRE_FTP_SERVER(server);
    RecordingRelay relay(server.port());
    testing_support::TempDir local;
    {
      TrkUploader uploader(TrkNewTransferSession);
      Account(uploader, server, relay.port());
      uploader.Settings.Data = TrkDataConnection::kPassive;  // data connections go straight to the server
      uploader.Settings.Secure = secure;
      uploader.Settings.SecureVerify = false;
      uploader.PutFile(local.Write("x.txt", "over the relay"), server.writable_dir() + "x.txt", 0);
    }
    EXPECT_EQ(ServerFile(server, server.writable_dir() + "x.txt"), "over the relay");
    const std::string sent = relay.ClientBytes();
    EXPECT_EQ(sent.find(server.password()) != std::string::npos, !secure)
        << "password in clear: " << !secure << ", captured " << sent.size() << " bytes";
    EXPECT_EQ(sent.rfind("AUTH TLS\r\n", 0) == 0, secure) << "captured: " << sent.substr(0, 40);
  }
}

// The project's options reach the session of every worker.
TEST(FtpConnectionOptionsTest, ProjectOptionsSetTheSession) {
  struct Row {
    const char* secure_verify;  // empty: not set (default True)
    bool uploads;
  };
  for (Row row : {Row{"False", true}, Row{"", false}}) {
    SCOPED_TRACE(std::string("SecureVerify=") + row.secure_verify);
    FtpServer server(Kind::kVsftpdTls);
    DROPVAN_REQUIRE_FTP_SERVER(server);
    SyncProject site(&server);
    site.Set("Passive", "True");
    site.Set("Secure", "True");
    site.Set("SecureVerify", row.secure_verify);
    site.Set("TryTimes", "0");
    testing_support::TempDir local;
    const std::string file = local.Write("page.html", "<p>");
    RunResult run = site.RunFiles({file}, server.writable_dir());
    const std::string remote = server.writable_dir() + "page.html";
    EXPECT_EQ(run[file].text, row.uploads ? remote : "[Error]Connect to 127.0.0.1 failure");
    EXPECT_EQ(ServerFile(server, remote), row.uploads ? "<p>" : "<missing " + remote + ">");
    const std::vector<std::string> commands = server.Commands();
    EXPECT_EQ(Passive(commands).transfers, row.uploads ? 1 : 0) << Join(commands);
  }
}

// Server's scheme chooses the protocol as curl and lftp read it, in any letter
// case: none or ftp:// is FTP, ftps:// FTP over TLS from the first byte (the
// certificate checked as SecureVerify says); any other is refused before a
// connection, naming the scheme as written.
TEST(FtpConnectionOptionsTest, ServerSchemeChoosesTheProtocolAndAnyOtherIsRefused) {
  struct Row {
    const char* server;  // "HOST" stands for the server's address
    Kind kind;
    const char* secure_verify;  // empty: not set (default True)
    std::string reason;  // empty: the file goes up; else a part of the connect failure's reason
  };
  const std::string others = " is not supported (ftp://, ftps://, sftp://)";
  const Row rows[] = {
      {"HOST", Kind::kPyftpdlib, "", ""},
      {"ftp://HOST", Kind::kPyftpdlib, "", ""},
      {"FTP://HOST", Kind::kVsftpd, "", ""},
      {"ftps://HOST", Kind::kVsftpdImplicitTls, "False", ""},
      {"Ftps://HOST", Kind::kVsftpdImplicitTls, "", "SSL certificate problem: self-signed certificate"},
      {"ftps://HOST", Kind::kPyftpdlib, "False", "SSL"},  // a server without TLS: no handshake
      {"http://HOST", Kind::kPyftpdlib, "", "Server: scheme http://" + others},
      {"HTTPS://HOST", Kind::kPyftpdlib, "", "Server: scheme HTTPS://" + others},
      {"x-y.z+1://HOST", Kind::kPyftpdlib, "", "Server: scheme x-y.z+1://" + others},
      {"ftp://HOST/", Kind::kPyftpdlib, "", ""},  // as a browser writes it
      {"ftp://HOST/www/", Kind::kPyftpdlib, "", "Server: a folder (/www/) belongs in Target, not in Server"},
  };
  for (const Row& row : rows) {
    std::string spelled = row.server;
    spelled.replace(spelled.find("HOST"), 4, "127.0.0.1");
    SCOPED_TRACE(spelled + " to " + KindName(row.kind));
    FtpServer server(row.kind);
    DROPVAN_REQUIRE_FTP_SERVER(server);
    SyncProject site(&server);
    site.Set("Server", spelled);
    site.Set("SecureVerify", row.secure_verify);
    site.Set("Passive", "True");
    site.Set("TryTimes", "0");
    testing_support::TempDir local;
    const std::string file = local.Write("page.html", "<p>");
    const RunResult run = site.RunFiles({file}, server.writable_dir());
    const std::string remote = server.writable_dir() + "page.html";
    EXPECT_EQ(run[file].text, row.reason.empty() ? remote : "[Error]Connect to 127.0.0.1 failure");
    EXPECT_NE(run[file].reason.find(row.reason), std::string::npos) << run[file].reason;
    EXPECT_EQ(ServerFile(server, remote), row.reason.empty() ? "<p>" : "<missing " + remote + ">");
    if (row.reason.starts_with("Server:")) {
      EXPECT_EQ(server.Commands(), std::vector<std::string>{}) << "refused before connecting";
    }
  }
}

}  // namespace
