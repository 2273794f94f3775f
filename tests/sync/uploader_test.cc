#include "transfer/new_session.h"
#include "sync/uploader.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "project/error.h"
#include "session_account.h"
#include "support/ftp_server.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using testing_support::FtpFaults;
using testing_support::FtpServer;
using Clock = std::chrono::steady_clock;

std::string AllBytes() {
  std::string bytes;
  for (int round = 0; round < 64; ++round) {
    for (int c = 0; c < 256; ++c) bytes += static_cast<char>(c);
    bytes += "\r\n\n\r";
  }
  return bytes;
}

std::string ReadServerFile(const FtpServer& server, const std::string& remote) {
  auto local = (server.root() / std::filesystem::path(remote).relative_path()).lexically_normal();
  std::ifstream in(local, std::ios::binary);
  if (!in) return "<missing " + remote + ">";
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "  " + line + "\n";
  return text;
}

// Trace lines "<code> <command>" whose command begins with one of `verbs`.
std::vector<std::string> Sequence(const FtpServer& server, std::vector<std::string> verbs) {
  std::vector<std::string> lines;
  for (const auto& line : server.Trace()) {
    for (const std::string& verb : verbs) {
      if (line.command.rfind(verb + " ", 0) == 0 || line.command == verb) {
        lines.push_back(line.code + " " + line.command);
      }
    }
  }
  return lines;
}

int CountVerb(const FtpServer& server, const std::string& verb) {
  return static_cast<int>(Sequence(server, {verb}).size());
}

class UploaderTest : public ::testing::Test {
 protected:
  static void Account(TrkUploader& uploader, const FtpServer& server) { dropvan_testing::Account(uploader, server); }

  std::string Local(const std::string& name, const std::string& content) {
    return local_.Write(name, content);
  }

  testing_support::TempDir local_;
};

TEST(UploaderParentDir, CutsAtTheLastSeparator) {
  EXPECT_EQ(TrkUploader::ParentDir("/www/img/a.png"), "/www/img");
  EXPECT_EQ(TrkUploader::ParentDir("/www"), "");
  EXPECT_EQ(TrkUploader::ParentDir("a.png"), "");
#ifdef _WIN32
  EXPECT_EQ(TrkUploader::ParentDir("www\\img\\a.png"), "www\\img");
#else
  EXPECT_EQ(TrkUploader::ParentDir("www\\img\\a.png"), "") << "a backslash is part of a POSIX name";
#endif
  EXPECT_EQ(TrkUploader::ParentDir("/www/img/"), "/www/img");
}

// --- Storing files ---------------------------------------------------------

TEST_F(UploaderTest, StoresFilesByteForByteOverOneConnection) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  std::string bytes = AllBytes();
  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 5);
  {
    TrkUploader uploader(TrkNewTransferSession);
    Account(uploader, server);
    uploader.PutFile(Local("a.bin", bytes), "/www/a.bin", 3);
    uploader.PutFile(Local("big.bin", big), "/www/big.bin", 3);
    uploader.PutFile(Local("empty.txt", ""), "/empty.txt", 3);
  }
  EXPECT_TRUE(ReadServerFile(server, "/www/a.bin") == bytes) << "binary content altered";
  EXPECT_TRUE(ReadServerFile(server, "/www/big.bin") == big) << "large file altered";
  EXPECT_TRUE(std::filesystem::is_regular_file(server.root() / "empty.txt"));
  EXPECT_EQ(std::filesystem::file_size(server.root() / "empty.txt"), 0u);
  EXPECT_EQ(CountVerb(server, "USER"), 1) << "connection not kept:\n" << Join(server.Commands());
  EXPECT_EQ(Sequence(server, {"OPTS"}).size(), 1u) << "a server that offers UTF8 is told to use it, once";
  EXPECT_EQ(CountVerb(server, "PASV") + CountVerb(server, "EPSV"), 0) << "passive mode used";
  EXPECT_EQ(Sequence(server, {"TYPE"}).front(), "200 TYPE I");
  EXPECT_EQ(server.Commands().back(), "QUIT") << "destroying the session must log off";
}

TEST_F(UploaderTest, CreatesMissingDirectoriesDeepestFirstThenTopDown) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  std::filesystem::create_directory(server.root() / "www");
  TrkUploader uploader(TrkNewTransferSession);
  Account(uploader, server);
  uploader.PutFile(Local("f.txt", "deep"), "/www/sub/deeper/f.txt", 0);

  std::vector<std::string> expected = {
      "550 CWD /www/sub/deeper", "550 CWD /www/sub", "250 CWD /www",
      "257 MKD /www/sub",        "257 MKD /www/sub/deeper", "125 STOR /www/sub/deeper/f.txt"};
  EXPECT_EQ(Sequence(server, {"CWD", "MKD", "STOR", "RMD", "XCWD", "XMKD"}), expected)
      << "full trace:\n" << Join(server.Commands());
  EXPECT_EQ(ReadServerFile(server, "/www/sub/deeper/f.txt"), "deep");
  EXPECT_EQ(CountVerb(server, "USER"), 1) << "a refused CWD must not cost the connection";

  // The connection made the directory: the next file goes straight to its store.
  uploader.PutFile(Local("g.txt", "next"), "/www/sub/deeper/g.txt", 0);
  EXPECT_EQ(Sequence(server, {"CWD", "MKD"}).size(), 5u) << Join(server.Commands());
}

TEST_F(UploaderTest, AFailedStoreForgetsTheDirectoriesTheConnectionKnew) {
  FtpFaults faults;
  faults.refuse_stor = 1;
  FtpServer server(FtpServer::Kind::kPyftpdlib, faults);
  DROPVAN_REQUIRE_FTP_SERVER(server);
  TrkUploader uploader(TrkNewTransferSession);
  Account(uploader, server);
  uploader.PutFile(Local("f.txt", "x"), "/www/f.txt", 1);

  const std::vector<std::string> expected = {"550 CWD /www", "257 MKD /www", "550 STOR /www/f.txt",
                                             "250 CWD /www", "125 STOR /www/f.txt"};
  EXPECT_EQ(Sequence(server, {"CWD", "MKD", "STOR"}), expected) << Join(server.Commands());
}

// The ports of the active data connections the server was told (EPRT |1|127.0.0.1|PORT|).
std::vector<int> DataPorts(const FtpServer& server) {
  std::vector<int> ports;
  for (const std::string& command : server.Commands()) {
    if (command.rfind("EPRT", 0) == 0) ports.push_back(std::stoi(command.substr(command.rfind('|', command.size() - 2) + 1)));
  }
  return ports;
}

// A listener on 127.0.0.1:`port`, so that nobody else can listen there (a
// port of an earlier transfer in TIME-WAIT too); -1 when it is taken.
int HoldPort(int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(s, 1) == 0) return s;
  close(s);
  return -1;
}

TEST_F(UploaderTest, DataConnectionsListenOnPortsOfOurChoosingThatMoveOn) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  TrkUploader uploader(TrkNewTransferSession);
  Account(uploader, server);
  for (const char* name : {"a", "b"}) uploader.PutFile(Local(name, name), std::string("/") + name, 0);
  std::vector<int> ports = DataPorts(server);
  ASSERT_EQ(ports.size(), 2u) << Join(server.Commands());
  EXPECT_GE(ports[0], 61000) << "outside the kernel's own range: " << Join(server.Commands());
  // Each transfer listens in a window of 64 ports that starts 67 above the
  // last one's start; another program may hold the first ports of either.
  EXPECT_NEAR(ports[1] - ports[0], 67, 63) << "the window must move past the last one";

  // Every port the next window can hold is taken: the kernel chooses one.
  std::vector<int> held;
  for (int port = ports[1] + 4; port <= ports[1] + 130; ++port) held.push_back(HoldPort(port));
  uploader.PutFile(Local("c", "c"), "/c", 0);
  for (int s : held) close(s);
  ports = DataPorts(server);
  ASSERT_EQ(ports.size(), 3u) << Join(server.Commands());
  EXPECT_LT(ports[2], 61000) << "not the kernel's choice";
  EXPECT_EQ(ReadServerFile(server, "/c"), "c");
}

TEST_F(UploaderTest, FileAtTheRootChecksNoDirectory) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  TrkUploader uploader(TrkNewTransferSession);
  Account(uploader, server);
  uploader.PutFile(Local("top.txt", "top"), "/top.txt", 0);
  EXPECT_EQ(ReadServerFile(server, "/top.txt"), "top");
  EXPECT_TRUE(Sequence(server, {"CWD", "MKD"}).empty()) << Join(server.Commands());
}

// A relative target is under the login folder for every file, whatever folder
// the previous file's directory check left current.
TEST_F(UploaderTest, RelativeTargetIsUnderTheLoginFolderForEveryFile) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  std::filesystem::create_directories(server.root() / "www");
  TrkUploader uploader(TrkNewTransferSession);
  Account(uploader, server);
  uploader.PutFile(Local("a.txt", "first"), "rel/a.txt", 0);
  uploader.PutFile(Local("b.txt", "abs"), "/www/b.txt", 0);    // leaves "/www" current
  uploader.PutFile(Local("c.txt", "second"), "rel/c.txt", 0);  // still under "/"
  uploader.PutFile(Local("d.txt", "plain"), "d.txt", 0);

  EXPECT_EQ(ReadServerFile(server, "/rel/a.txt"), "first");
  EXPECT_EQ(ReadServerFile(server, "/www/b.txt"), "abs");
  EXPECT_EQ(ReadServerFile(server, "/rel/c.txt"), "second");
  EXPECT_EQ(ReadServerFile(server, "/d.txt"), "plain");
  EXPECT_FALSE(std::filesystem::exists(server.root() / "www" / "rel")) << "scattered below the last folder";
  // The second file of "/rel" needs no check: the connection made the folder.
  std::vector<std::string> expected = {"550 CWD /rel", "257 MKD /rel",        "125 STOR /rel/a.txt", "250 CWD /www",
                                       "125 STOR /www/b.txt", "125 STOR /rel/c.txt", "125 STOR /d.txt"};
  EXPECT_EQ(Sequence(server, {"CWD", "MKD", "STOR"}), expected) << Join(server.Commands());
}

TEST_F(UploaderTest, ExeIsStoredUnderTemporaryNameThenRenamed) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  std::filesystem::create_directories(server.root() / "www");
  std::ofstream(server.root() / "www" / "setup.EXE") << "old program";
  TrkUploader uploader(TrkNewTransferSession);
  Account(uploader, server);
  uploader.PutFile(Local("setup.EXE", "new program"), "/www/setup.EXE", 0);
  uploader.PutFile(Local("tool.exe", "tool"), "/www/tool.exe", 0);
  uploader.PutFile(Local("notes.exe.txt", "text"), "/www/notes.exe.txt", 0);

  EXPECT_EQ(ReadServerFile(server, "/www/setup.EXE"), "new program");
  EXPECT_EQ(ReadServerFile(server, "/www/tool.exe"), "tool");
  EXPECT_EQ(ReadServerFile(server, "/www/notes.exe.txt"), "text");
  EXPECT_FALSE(std::filesystem::exists(server.root() / "www" / "setup.EXE_"));
  // Renamed over the live file: it is never missing.
  std::vector<std::string> expected = {
      "125 STOR /www/setup.EXE_", "350 RNFR /www/setup.EXE_", "250 RNTO /www/setup.EXE",
      "125 STOR /www/tool.exe_",  "350 RNFR /www/tool.exe_",  "250 RNTO /www/tool.exe",
      "125 STOR /www/notes.exe.txt"};
  EXPECT_EQ(Sequence(server, {"STOR", "DELE", "RNFR", "RNTO"}), expected)
      << Join(server.Commands());
}

// A file RenameMask names is stored as a program is: under a temporary name,
// then renamed over the live file. A visitor reading the live file while a
// slow store runs (the first one stalls) gets one whole version or the other.
TEST_F(UploaderTest, FilesRenameMaskNamesAreStoredAsProgramsAre) {
  struct Row {
    const char *mask, *name;
    std::vector<std::string> expected;  // after the stalled STOR
    bool whole_throughout;
  };
  const Row rows[] = {
      {"*.html; index.php", "index.php", {"STOR /index.php_", "RNFR /index.php_", "RNTO /index.php"}, true},
      {"*.html; index.php", "style.css", {"STOR /style.css"}, false},
      {"", "tool.exe", {"STOR /tool.exe_", "RNFR /tool.exe_", "RNTO /tool.exe"}, true},
  };
  const std::string old_version(3000, 'o'), new_version(5000, 'n');
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.mask) + " / " + row.name);
    FtpFaults faults;
    faults.stall = 1;
    FtpServer server(FtpServer::Kind::kPyftpdlib, faults);
    DROPVAN_REQUIRE_FTP_SERVER(server);
    const std::filesystem::path live = server.root() / row.name;
    std::ofstream(live) << old_version;
    TrkUploader uploader(TrkNewTransferSession);
    Account(uploader, server);
    uploader.Settings.ReplyTimeout = 1s;
    uploader.RenameMask = TrkMaskList(row.mask);
    std::atomic<bool> finished{false}, whole{true};
    std::thread visitor([&] {
      for (std::error_code error; !finished; std::this_thread::sleep_for(1ms)) {
        const auto size = std::filesystem::file_size(live, error);
        if (error || (size != old_version.size() && size != new_version.size())) whole = false;
      }
    });
    uploader.PutFile(Local(row.name, new_version), std::string("/") + row.name, 1);
    finished = true;
    visitor.join();
    EXPECT_EQ(ReadServerFile(server, std::string("/") + row.name), new_version);
    EXPECT_EQ(whole.load(), row.whole_throughout);
    std::vector<std::string> commands = Sequence(server, {"STOR", "DELE", "RNFR", "RNTO"});
    for (std::string& line : commands) line.erase(0, line.find(' ') + 1);  // the reply code
    commands.erase(commands.begin());
    EXPECT_EQ(commands, row.expected) << Join(server.Commands());
  }
}

TEST_F(UploaderTest, NamesWithUrlSpecialAndNonAsciiCharactersArriveUnchanged) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  const std::vector<std::string> names = {
      "/www/a b.txt",       "/www/hash#tag.txt",     "/www/100%.txt",  "/www/%41%2F.txt",
      "/www/what?.txt",     "/www/semi;type=a.txt",  "/www/+&=@!$',()[]~.txt",
      "/www/\xC3\xBCnic\xC3\xB6" "de \xE2\x82\xAC.txt", "/www/sp ace dir/x y.txt",
      "/www/sub/../dots.txt"};
  TrkUploader uploader(TrkNewTransferSession);
  Account(uploader, server);
  for (size_t i = 0; i < names.size(); ++i) {
    uploader.PutFile(Local("f" + std::to_string(i), names[i]), names[i], 0);
  }
  for (const std::string& name : names) {
    EXPECT_EQ(ReadServerFile(server, name), name) << "stored under the wrong name: " << name;
  }
  auto stores = Sequence(server, {"STOR"});
  ASSERT_EQ(stores.size(), names.size()) << Join(server.Commands());
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(stores[i], "125 STOR " + names[i]);
}

TEST_F(UploaderTest, LineBreakInRemoteNameIsRefusedBeforeAnythingIsSent) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  TrkUploader uploader(TrkNewTransferSession);
  Account(uploader, server);
  std::string local = Local("x.txt", "x");
  for (std::string name : {"/www/a\r\nDELE /victim.txt", "/www/a\nb.txt", "/www\r/a.txt"}) {
    try {
      uploader.PutFile(local, name, 3);
      ADD_FAILURE() << "accepted a name with a line break";
    } catch (const TrkError& error) {
      EXPECT_EQ(std::string(error.what()).rfind("[Error]", 0), 0u) << error.what();
    }
  }
  EXPECT_TRUE(server.Trace().empty()) << "sent to the server:\n" << Join(server.Commands());
  EXPECT_EQ(uploader.FailCount, 0);
}

// Wrapping a port into range would reach some other service of the server.
TEST_F(UploaderTest, PortOutsideTheRangeFailsAtOnceNamingIt) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  for (int port : {server.port() + 65536, -1, 70000}) {
    TrkUploader uploader(TrkNewTransferSession);
    Account(uploader, server);
    uploader.Server = "user:pw@" + server.host();
    uploader.Port = port;
    try {
      uploader.PutFile(Local("p.txt", "port"), "/p.txt", 3);
      ADD_FAILURE() << "port " << port << " was accepted";
    } catch (const TrkError& e) {
      EXPECT_EQ(std::string(e.what()), "[Error]Connect to 127.0.0.1 failure: port \"" + std::to_string(port) +
                                           "\" is not a port number (1-65535)");
    }
  }
  EXPECT_TRUE(server.Trace().empty()) << Join(server.Commands());
}

TEST_F(UploaderTest, SessionsOfSeveralThreadsUploadInParallel) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  constexpr int kThreads = 4, kFiles = 8;
  std::vector<std::string> errors(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        TrkUploader uploader(TrkNewTransferSession);
        Account(uploader, server);
        for (int f = 0; f < kFiles; ++f) {
          std::string name = "t" + std::to_string(t) + "/f" + std::to_string(f);
          uploader.PutFile(Local(name, name), "/www/" + name, 0);
        }
      } catch (const TrkError& error) {
        errors[t] = error.what();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(errors[t], "") << "thread " << t;
  for (int t = 0; t < kThreads; ++t) {
    for (int f = 0; f < kFiles; ++f) {
      std::string name = "t" + std::to_string(t) + "/f" + std::to_string(f);
      EXPECT_EQ(ReadServerFile(server, "/www/" + name), name);
    }
  }
  EXPECT_EQ(CountVerb(server, "USER"), kThreads) << "one connection per session";
}

// --- Connect failures and the retry budget -----------------------------------

TEST_F(UploaderTest, RefusedLoginWithNoRetriesFailsAfterOneAttemptWithoutWaiting) {
  FtpFaults faults;
  faults.refuse_login = -1;
  FtpServer server(FtpServer::Kind::kPyftpdlib, faults);
  DROPVAN_REQUIRE_FTP_SERVER(server);
  TrkUploader uploader(TrkNewTransferSession);
  Account(uploader, server);
  uploader.RetryWait = 20s;  // any wait would show in the elapsed time
  auto start = Clock::now();
  for (int tries : {0, -2}) {
    try {
      uploader.PutFile(Local("x.txt", "x"), "/x.txt", tries);
      ADD_FAILURE() << "login refused, yet the file was stored";
    } catch (const TrkError& error) {
      EXPECT_EQ(std::string(error.what()), "[Error]Connect to 127.0.0.1 failure");
    }
  }
  EXPECT_LT(Clock::now() - start, 10s) << "waited although no retry was allowed";
  EXPECT_EQ(CountVerb(server, "PASS"), 2) << Join(server.Commands());
  EXPECT_EQ(CountVerb(server, "STOR"), 0);
  EXPECT_EQ(uploader.FailCount, 2);
}

TEST_F(UploaderTest, ConnectRetriesOnTheScheduleThenGivesUpAtOnceAfterThreeCycles) {
  FtpFaults faults;
  faults.refuse_login = -1;
  FtpServer server(FtpServer::Kind::kPyftpdlib, faults);
  DROPVAN_REQUIRE_FTP_SERVER(server);
  TrkUploader uploader(TrkNewTransferSession);
  Account(uploader, server);
  uploader.RetryWait = 100ms;
  std::string local = Local("x.txt", "x");
  for (int cycle = 1; cycle <= 3; ++cycle) {
    auto start = Clock::now();
    EXPECT_THROW(uploader.PutFile(local, "/x.txt", 3), TrkError);
    EXPECT_GE(Clock::now() - start, 300ms) << "three waits expected in cycle " << cycle;
    EXPECT_EQ(CountVerb(server, "PASS"), 4 * cycle) << "4 attempts per cycle";
    EXPECT_EQ(uploader.FailCount, cycle);
  }
  // Given up three times: the fourth file fails at once, without an attempt.
  uploader.RetryWait = 20s;
  auto start = Clock::now();
  try {
    uploader.PutFile(local, "/x.txt", 3);
    ADD_FAILURE() << "stored after three given-up cycles";
  } catch (const TrkError& error) {
    EXPECT_EQ(std::string(error.what()), "[Error]Connect to 127.0.0.1 failure");
  }
  EXPECT_LT(Clock::now() - start, 5s) << "waited although nothing was attempted";
  EXPECT_EQ(CountVerb(server, "PASS"), 12);

  // Disconnect starts the count afresh, so the session tries again.
  uploader.Disconnect();
  EXPECT_EQ(uploader.FailCount, 0);
  EXPECT_THROW(uploader.Connect(server.host(), "tester", "secret", server.port(), 0), TrkError);
  EXPECT_EQ(CountVerb(server, "PASS"), 13);
}

TEST_F(UploaderTest, LoginRefusedTwiceThenAcceptedWithinBudget) {
  FtpFaults faults;
  faults.refuse_login = 2;
  FtpServer server(FtpServer::Kind::kPyftpdlib, faults);
  DROPVAN_REQUIRE_FTP_SERVER(server);
  TrkUploader uploader(TrkNewTransferSession);
  Account(uploader, server);
  uploader.PutFile(Local("x.txt", "x"), "/x.txt", 3);
  EXPECT_EQ(ReadServerFile(server, "/x.txt"), "x");
  EXPECT_EQ(CountVerb(server, "PASS"), 3);
  EXPECT_EQ(uploader.FailCount, 0);
}

// --- Store failures ------------------------------------------------------------

TEST_F(UploaderTest, RefusedStoreIsRetriedOnAFreshConnection) {
  FtpFaults faults;
  faults.refuse_stor = 1;
  FtpServer server(FtpServer::Kind::kPyftpdlib, faults);
  DROPVAN_REQUIRE_FTP_SERVER(server);
  TrkUploader uploader(TrkNewTransferSession);
  Account(uploader, server);
  uploader.PutFile(Local("x.txt", "payload"), "/x.txt", 1);
  EXPECT_EQ(ReadServerFile(server, "/x.txt"), "payload");
  EXPECT_EQ(Sequence(server, {"STOR"}),
            (std::vector<std::string>{"550 STOR /x.txt", "125 STOR /x.txt"}));
  auto trace = server.Trace();
  EXPECT_EQ(trace.back().session, 2) << "the retry must reconnect:\n" << Join(server.Commands());
}

TEST_F(UploaderTest, RefusedStoreWithNoRetryFails) {
  FtpFaults faults;
  faults.refuse_stor = 1;
  FtpServer server(FtpServer::Kind::kPyftpdlib, faults);
  DROPVAN_REQUIRE_FTP_SERVER(server);
  TrkUploader uploader(TrkNewTransferSession);
  Account(uploader, server);
  try {
    uploader.PutFile(Local("x.txt", "payload"), "/x.txt", 0);
    ADD_FAILURE() << "refused store reported as success";
  } catch (const TrkError& error) {
    EXPECT_EQ(std::string(error.what()), "[Error]Upload file failure");
  }
  EXPECT_EQ(CountVerb(server, "STOR"), 1);
  EXPECT_EQ(uploader.FailCount, 0);
}

// The result names the program's step; the reason names what the server or
// the connection said, so the user knows what to mend.
TEST_F(UploaderTest, FailuresCarryWhatTheServerOrTheConnectionSaid) {
  struct Row {
    const char* name;
    void (*fault)(FtpFaults&);
    int port_offset;  // non-zero: a port nobody listens on
    std::string result, reason;
    std::string remote = "/x.txt";
    bool folder_there = false;  // the remote's folder is on the server before the store
    size_t bytes = 1;           // of the local file; far more than the sockets hold: a refusal
                                // must end the store without waiting for the data
  } rows[] = {
      {"login refused", [](FtpFaults& f) { f.refuse_login = -1; }, 0, "[Error]Connect to 127.0.0.1 failure",
       "530 Login refused by test."},
      {"nobody listens", [](FtpFaults&) {}, 1, "[Error]Connect to 127.0.0.1 failure", "Failed to connect to 127.0.0.1"},
      {"name refused", [](FtpFaults& f) { f.answers = {"STOR=553 Prohibited file name."}; }, 0,
       "[Error]Upload file failure", "553 Prohibited file name."},
      {"file lost", [](FtpFaults& f) { f.answers = {"SIZE=550 No such file."}; }, 0,
       "[Error]Upload file failure (the server cannot find the stored file \"/x.txt\")",
       "the server cannot find the stored file \"/x.txt\""},
      {"folder refused", [](FtpFaults& f) { f.answers = {"MKD=550 Permission denied."}; }, 0,
       "[Error]Upload file failure (the server refused to make the folder \"/new\": 550 Permission denied.)",
       "the server refused to make the folder \"/new\": 550 Permission denied.", "/new/x.txt"},
      {"folder made meanwhile by another worker, whose MKD came first",
       [](FtpFaults& f) { f.answers = {"CWD#1=550 No such folder.", "MKD=550 File exists.", "STOR=553 Nope."}; }, 0,
       "[Error]Upload file failure", "553 Nope.", "/new/x.txt", true},
      {"no data connection to the port the server named",
       [](FtpFaults& f) { f.answers = {"EPSV=229 Entering extended passive mode (|||1|)."}; }, 0,
       "[Error]Upload file failure", "Failed to connect to the data port 1: "},
      {"no data connection, and the server says why",
       [](FtpFaults& f) { f.answers = {"EPSV=229 Entering extended passive mode (|||1|).", "STOR=425 No way in."}; },
       0, "[Error]Upload file failure", "425 No way in."},
      {"a large file refused before its data goes", [](FtpFaults& f) { f.answers = {"STOR=553 Prohibited file name."}; }, 0,
       "[Error]Upload file failure", "553 Prohibited file name.", "/x.txt", false, 48 << 20},
  };
  for (const Row& row : rows) {
    FtpFaults faults;
    row.fault(faults);
    FtpServer server(FtpServer::Kind::kPyftpdlib, faults);
    DROPVAN_REQUIRE_FTP_SERVER(server);
    TrkUploader uploader(TrkNewTransferSession);
    Account(uploader, server);
    if (row.port_offset != 0) uploader.Port = testing_support::UnusedPort();
    if (row.folder_there) std::filesystem::create_directories(server.root() / "new");
    try {
      uploader.Settings.Data = TrkDataConnection::kPassive;
      uploader.PutFile(Local("x.txt", std::string(row.bytes, 'x')), row.remote, 0);
      ADD_FAILURE() << row.name << ": stored";
    } catch (const TrkError& error) {
      EXPECT_EQ(std::string(error.what()), row.result) << row.name;
      EXPECT_EQ(error.Reason().substr(0, row.reason.size()), row.reason) << row.name << ": " << error.Reason();
    }
  }
}

TEST_F(UploaderTest, RefusedDirectoryCreationFailsTheStoreOnEveryTry) {
  FtpFaults faults;
  faults.refuse_mkd = true;
  FtpServer server(FtpServer::Kind::kPyftpdlib, faults);
  DROPVAN_REQUIRE_FTP_SERVER(server);
  TrkUploader uploader(TrkNewTransferSession);
  Account(uploader, server);
  EXPECT_THROW(uploader.PutFile(Local("x.txt", "x"), "/new/x.txt", 1), TrkError);
  EXPECT_EQ(Sequence(server, {"MKD", "STOR"}),
            (std::vector<std::string>{"550 MKD /new", "550 STOR /new/x.txt", "550 MKD /new",
                                      "550 STOR /new/x.txt"}));
}

// A store whose server stops reading: a missing reply times out, and a file
// larger than the socket buffers is broken off by the client itself when its
// data stops moving; the retry, when there is one, succeeds.
TEST_F(UploaderTest, StalledTransfersAreBrokenOffAndRetried) {
  struct Row {
    const char* what;
    size_t size;
    int stall_seconds, reply_timeout_s, tries;
    bool stored;
    int within_s;  // well before the stall would end by itself
  };
  const Row rows[] = {
      {"a reply that never comes, retried", 15, 10, 1, 1, true, 8},
      {"data that stops moving midway, retried", 48 << 20, 30, 30, 1, true, 25},
      {"a reply that never comes, no retry", 1, 10, 1, 0, false, 8},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FtpFaults faults;
    faults.stall = 1;
    faults.stall_seconds = row.stall_seconds;
    FtpServer server(FtpServer::Kind::kPyftpdlib, faults);
    DROPVAN_REQUIRE_FTP_SERVER(server);
    const std::string bytes(row.size, 'z');
    TrkUploader uploader(TrkNewTransferSession);
    Account(uploader, server);
    uploader.Settings.ReplyTimeout = std::chrono::seconds(row.reply_timeout_s);
    uploader.Settings.StallTimeout = 1s;
    const auto start = Clock::now();
    bool stored = true;
    try {
      uploader.PutFile(Local("x.bin", bytes), "/x.bin", row.tries);
    } catch (const TrkError&) {
      stored = false;
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(row.within_s)) << "the stall was waited out";
    EXPECT_EQ(stored, row.stored);
    if (!row.stored) continue;
    EXPECT_TRUE(ReadServerFile(server, "/x.bin") == bytes) << "the retried store is not whole";
    EXPECT_EQ(CountVerb(server, "STOR"), 2);
  }
}

TEST_F(UploaderTest, ControlConnectionDroppedBetweenFilesIsRenewed) {
  FtpFaults faults;
  faults.drop_after = 9;  // USER PASS PWD FEAT OPTS CWD EPRT TYPE STOR: the first file's commands
  FtpServer server(FtpServer::Kind::kPyftpdlib, faults);
  DROPVAN_REQUIRE_FTP_SERVER(server);
  std::filesystem::create_directories(server.root() / "www");
  TrkUploader uploader(TrkNewTransferSession);
  Account(uploader, server);
  uploader.PutFile(Local("a.txt", "one"), "/www/a.txt", 3);
  uploader.PutFile(Local("b.txt", "two"), "/www/b.txt", 3);
  EXPECT_EQ(ReadServerFile(server, "/www/a.txt"), "one");
  EXPECT_EQ(ReadServerFile(server, "/www/b.txt"), "two");
  auto trace = server.Trace();
  ASSERT_GE(trace.size(), 10u);
  EXPECT_EQ(trace[9].code, "DROP") << "the fault did not hit between the files:\n"
                                   << Join(server.Commands());
  EXPECT_EQ(uploader.FailCount, 0);
}

// --- vsftpd --------------------------------------------------------------------

TEST_F(UploaderTest, UploadsToVsftpd) {
  FtpServer server(FtpServer::Kind::kVsftpd);
  DROPVAN_REQUIRE_FTP_SERVER(server);
  const std::string www = server.writable_dir() + "www";
  std::string bytes = AllBytes();
  TrkUploader uploader(TrkNewTransferSession);
  Account(uploader, server);
  uploader.PutFile(Local("a.bin", bytes), www + "/sub/a.bin", 0);
  uploader.PutFile(Local("b.txt", "b"), www + "/sub/with space #1%.txt", 0);
  uploader.PutFile(Local("setup.exe", "program"), www + "/setup.exe", 0);
  uploader.PutFile(Local("rel.txt", "relative"), "pub/www/rel.txt", 0);  // under the login folder
  EXPECT_TRUE(ReadServerFile(server, www + "/sub/a.bin") == bytes) << "binary content altered";
  EXPECT_EQ(ReadServerFile(server, www + "/sub/with space #1%.txt"), "b");
  EXPECT_EQ(ReadServerFile(server, www + "/setup.exe"), "program");
  EXPECT_FALSE(std::filesystem::exists(server.root() / "pub/www/setup.exe_"));
  EXPECT_EQ(ReadServerFile(server, www + "/rel.txt"), "relative");
  const std::vector<std::string> commands = server.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "OPTS UTF8 ON"), 0) << "vsftpd here offers no UTF8";
}

}  // namespace
