// SFTP against a real OpenSSH sshd: the upload rules of FTP hold (size check,
// temporary name and rename, folders, the record), a host key must be known,
// and the usual ways of logging in work.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <thread>
#include <stop_token>

#include "dropvan_run.h"
#include "project/error.h"
#include "project/text_file.h"
#include "project/whole_file.h"
#include "support/server_process.h"
#include "support/silent_server.h"
#include "support/ssh_server.h"
#include "support/temp_dir.h"
#include "transfer/new_session.h"
#include "sync/uploader.h"

namespace {

namespace fs = std::filesystem;
using dropvan_testing::RunResult;
using dropvan_testing::SyncProject;
using testing_support::SshServer;
using testing_support::TempDir;

std::string ServerFile(const fs::path& path) { return fs::is_regular_file(path) ? ReadFileBytes(path.string()) : "<missing>"; }

TEST(SftpTest, ARunUploadsChecksRenamesAndRecordsAsOverFtp) {
  SshServer server;
  DROPVAN_REQUIRE_SSH_SERVER(server);
  setenv("HOME", server.home().c_str(), 1);  // the known_hosts and key a user has
  const fs::path www = server.root() / "www";
  fs::create_directories(www);
  std::ofstream(www / "setup.exe") << "live version";
  TempDir source;
  const std::string binary(70000, '\xfe');
  source.Write("a b.txt", "alpha");
  source.Write("sub/deeper/b.bin", binary);
  source.Write("setup.exe", "new version");
  SyncProject site;
  site.Set("Server", "sftp://127.0.0.1");
  site.Set("User", server.user());
  site.Set("Port", std::to_string(server.port()));
  site.Set("ThreadsCount", "2");

  RunResult first = site.RunFolder(source.dir(), www.string() + "/");
  EXPECT_EQ(first.succeeded, 3) << first[source.dir() + "setup.exe"].text;
  EXPECT_EQ(ServerFile(www / "a b.txt"), "alpha");
  EXPECT_TRUE(ServerFile(www / "sub/deeper/b.bin") == binary) << "binary content altered";
  EXPECT_EQ(ServerFile(www / "setup.exe"), "new version") << "renamed over the live program";
  EXPECT_FALSE(fs::exists(www / "setup.exe_") || fs::exists(www / "setup.exe~dropvan")) << "a temporary name stayed";
  EXPECT_EQ(site.RecordLines().size(), 3u);
  EXPECT_EQ(SplitLines(ReadFileBytes(site.RecordFile())).front(),
            "Destination: sftp://root@127.0.0.1:" + std::to_string(server.port()) + www.string() + "/");

  RunResult second = site.RunFolder(source.dir(), www.string() + "/");
  EXPECT_EQ(second[source.dir() + "sub/deeper/b.bin"].text, "File identical.");
}

// An uploader of the account of `server` over SFTP, with `known_hosts`.
void SftpAccount(TrkUploader& uploader, const SshServer& server, const std::string& known_hosts) {
  uploader.Settings.Protocol = TrkProtocol::kSftp;
  uploader.Settings.KeyFile = server.key_file();
  uploader.Settings.KnownHosts = known_hosts;
  uploader.Server = "127.0.0.1";
  uploader.User = server.user();
  uploader.Port = server.port();
}

TEST(SftpTest, OnlyAKnownHostKeyIsTrustedAndTheRefusalSaysHowToAcceptIt) {
  SshServer server;
  DROPVAN_REQUIRE_SSH_SERVER(server);
  SshServer other;  // a host key that is not the server's
  const std::string name = "[127.0.0.1]:" + std::to_string(server.port());
  const std::string known = ReadFileBytes(server.known_hosts());
  const std::string other_key = ReadFileBytes(other.known_hosts());
  const std::string key = "(ssh-ed25519 " + server.HostKeyFingerprint() + ")";
  TempDir work;
  const std::string file = work.dir() + "known_hosts";
  struct Row {
    const char* what;
    std::string known_hosts;
    bool hashed;
    std::string reason;  // empty: the upload goes through
  } rows[] = {
      {"known", known, false, ""},
      {"known under a hashed name", known, true, ""},
      {"unknown", "", false,
       "the host key of " + name + " " + key + " is not in " + file +
           "; if it is the server's, accept it with: ssh-keyscan -p " + std::to_string(server.port()) +
           " 127.0.0.1 >> " + file},
      {"changed", name + other_key.substr(other_key.find(' ')), false,
       "the host key of " + name + " " + key + " is not the one " + file +
           " holds for it: the server may be an impostor; if its key was changed on purpose, remove the old one "
           "with: ssh-keygen -R '" + name + "' -f " + file + " and add the new one"},
  };
  for (const Row& row : rows) {
    std::ofstream(file, std::ios::trunc) << row.known_hosts;
    if (row.hashed) {
      ASSERT_EQ(0, system(("ssh-keygen -q -H -f " + file + " >/dev/null 2>&1").c_str()));
    }
    TrkUploader uploader(TrkNewTransferSession);
    SftpAccount(uploader, server, file);
    std::string reason;
    try {
      uploader.PutFile(work.Write("x.txt", row.what), (server.root() / "x.txt").string(), 0);
    } catch (const TrkError& error) {
      reason = error.Reason();
      EXPECT_EQ(std::string(error.what()), "[Error]Connect to 127.0.0.1 failure") << row.what;
    }
    EXPECT_EQ(reason, row.reason) << row.what;
  }
}

// An ssh-agent of the test's own listening at `socket`, in the foreground
// under the servers' guard, so that it ends with the test however that ends.
class TestAgent {
 public:
  explicit TestAgent(const std::string& socket) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    process_.Start({"/usr/bin/ssh-agent", "-D", "-a", socket}, out[1], socket + ".err");
    close(out[1]);
    started_ = !testing_support::ReadLine(out[0], std::chrono::seconds(10)).empty();  // printed once it listens
    close(out[0]);
  }
  bool started() const { return started_; }

 private:
  testing_support::ServerProcess process_;
  bool started_ = false;
};

TEST(SftpTest, LogsInWithAKeyFileTheUsersKeyOrAnAgent) {
  SshServer server;
  DROPVAN_REQUIRE_SSH_SERVER(server);
  TempDir work;
  const std::string agent_socket = work.dir() + "agent";
  TestAgent agent(agent_socket);
  ASSERT_TRUE(agent.started());
  ASSERT_EQ(0, system(("SSH_AUTH_SOCK=" + agent_socket + " ssh-add -q " + server.key_file() + " 2>/dev/null").c_str()));
  const std::string empty_home = work.dir() + "nobody";
  struct Row {
    const char* what;
    std::string home, key_file, agent;
    bool logs_in;
  } rows[] = {
      {"key file given", empty_home, server.key_file(), "", true},
      {"the user's own key", server.home(), "", "", true},
      {"a running agent", empty_home, "", agent_socket, true},
      {"no key at all", empty_home, "", "", false},
  };
  for (const Row& row : rows) {
    setenv("HOME", row.home.c_str(), 1);
    if (row.agent.empty()) unsetenv("SSH_AUTH_SOCK"); else setenv("SSH_AUTH_SOCK", row.agent.c_str(), 1);
    TrkUploader uploader(TrkNewTransferSession);
    SftpAccount(uploader, server, server.known_hosts());
    uploader.Settings.KeyFile = row.key_file;
    bool stored = true;
    try {
      uploader.PutFile(work.Write("x.txt", row.what), (server.root() / "x.txt").string(), 0);
    } catch (const TrkError& error) {
      stored = false;
      EXPECT_FALSE(row.logs_in) << row.what << ": " << error.what() << " (" << error.Reason() << ")";
    }
    EXPECT_EQ(stored, row.logs_in) << row.what;
  }
}

bool KeyGen(const std::string& arguments) {
  return system(("ssh-keygen -q " + arguments + " >/dev/null 2>&1").c_str()) == 0;
}

// A KeyFile that cannot log in is told before any connection (the refused
// rows point at a server that would keep a connection waiting), naming the
// file and what is wrong with it. A key locked by a passphrase logs in when
// the running ssh-agent holds it.
TEST(SftpTest, AKeyFileThatCannotLogInIsToldBeforeAnyConnection) {
  SshServer server;
  DROPVAN_REQUIRE_SSH_SERVER(server);
  testing_support::SilentServer silent;
  TempDir work;
  const std::string dir = work.dir();
  const std::string agent_socket = dir + "agent";
  TestAgent agent(agent_socket);
  ASSERT_TRUE(agent.started());
  setenv("SSH_AUTH_SOCK", agent_socket.c_str(), 1);
  // The server's own key and one in PEM, both held by the agent, then locked
  // on disk; keys of nobody's, locked, in each format.
  ASSERT_TRUE(KeyGen("-t ecdsa -m PEM -N '' -f " + dir + "pem"));
  server.Authorize(dir + "pem.pub");
  ASSERT_EQ(0, system(("ssh-add -q " + server.key_file() + " " + dir + "pem 2>/dev/null").c_str()));
  fs::copy_file(server.key_file(), dir + "locked");  // without its .pub: OpenSSH's format holds the public half
  fs::copy_file(dir + "pem", dir + "locked.pem");
  fs::copy_file(dir + "pem.pub", dir + "locked.pem.pub");
  fs::copy_file(dir + "pem", dir + "bare.pem");
  for (const char* name : {"locked", "locked.pem", "bare.pem"}) {
    ASSERT_TRUE(KeyGen("-p -P '' -N phrase -m " + std::string(name == std::string("locked") ? "RFC4716" : "PEM") +
                       " -f " + dir + name));
  }
  ASSERT_TRUE(KeyGen("-t ed25519 -N phrase -f " + dir + "stranger"));
  fs::remove(dir + "stranger.pub");  // the locked file alone tells whose it is
  ASSERT_TRUE(KeyGen("-t ecdsa -m PEM -N phrase -f " + dir + "stranger.pem"));
  ASSERT_TRUE(KeyGen("-t ecdsa -m PKCS8 -N phrase -f " + dir + "stranger.p8"));
  fs::create_directory(dir + "keys");
  const std::string empty = work.Write("empty", "");
  const std::string locked = "is encrypted: add it to ssh-agent or give a key without a passphrase";
  struct Row {
    const char* what;
    std::string key_file;
    bool agent;
    std::string problem;  // empty: the file goes up
  } rows[] = {
      {"missing", dir + "none/id_x", true, "no such file"},
      {"below a file", empty + "/id_x", true, "no such file"},
      {"a folder", dir + "keys", true, "is a folder, not a key file"},
      {"a public key", dir + "pem.pub", true, "is not a private key"},
      {"empty", empty, true, "is not a private key"},
      {"OpenSSH's format, locked, no agent", dir + "locked", false, locked},
      {"OpenSSH's format, locked, not the agent's", dir + "stranger", true, locked},
      {"PEM, locked, not the agent's", dir + "stranger.pem", true, locked},
      {"PKCS #8, locked", dir + "stranger.p8", false, locked},
      {"OpenSSH's format, locked, held by the agent", dir + "locked", true, ""},
      {"PEM, locked, held by the agent", dir + "locked.pem", true, ""},
      {"PEM, locked, no .pub to tell, an agent with keys", dir + "bare.pem", true, ""},
      {"OpenSSH's format", server.key_file(), false, ""},
      {"PEM", dir + "pem", false, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.agent) setenv("SSH_AUTH_SOCK", agent_socket.c_str(), 1); else unsetenv("SSH_AUTH_SOCK");
    SyncProject site;
    site.UseSftp(server);
    site.Set("KeyFile", row.key_file);
    site.Set("TryTimes", "0");
    if (!row.problem.empty()) site.Set("Port", std::to_string(silent.port()));
    const std::string file = work.Write("page.html", row.what);
    const RunResult run = site.RunFiles({file}, (server.root() / "www").string() + "/");
    const std::string remote = (server.root() / "www/page.html").string();
    EXPECT_EQ(run[file].text, row.problem.empty() ? remote : "[Error]Connect to 127.0.0.1 failure");
    EXPECT_EQ(run[file].reason, row.problem.empty() ? "" : "KeyFile " + row.key_file + ": " + row.problem);
    EXPECT_FALSE(silent.Called()) << "connected";
  }
}

// Into a server that will not make folders, as one does below a Target the
// account may not write: every file whose folder could not be made fails with
// the refused mkdir, not with the store that then found no folder ("No such
// file"). sshd runs as root here, whom no file mode stops (and chattr or a
// read-only mount need rights a test may not have), so its SFTP server
// refuses the mkdir requests themselves (-P mkdir), as it refuses a user
// without write permission.
TEST(SftpTest, EveryFileWhoseFolderCouldNotBeMadeCarriesTheRefusal) {
  SshServer server(0, "-P mkdir");
  DROPVAN_REQUIRE_SSH_SERVER(server);
  const fs::path www = server.root() / "www";
  fs::create_directories(www);
  TempDir source;
  for (const char* name : {"a.txt", "sub/b.txt", "sub/c.txt", "sub/deeper/d.txt"}) source.Write(name, name);
  SyncProject site;
  site.UseSftp(server);
  site.Set("TryTimes", "0");
  const RunResult run = site.RunFolder(source.dir(), www.string() + "/");
  EXPECT_EQ(run[source.dir() + "a.txt"].text, (www / "a.txt").string()) << "its folder is there";
  const std::string refused = "the server refused to make the folder \"" + (www / "sub").string() + "\": ";
  for (const char* name : {"sub/b.txt", "sub/c.txt", "sub/deeper/d.txt"}) {
    const dropvan_testing::ItemResult& file = run[source.dir() + name];
    EXPECT_EQ(file.text, "[Error]Upload file failure (" + file.reason + ")") << name;
    EXPECT_EQ(file.reason.rfind(refused, 0), 0u) << name << ": " << file.reason;
    EXPECT_NE(file.reason.find("Permission denied"), std::string::npos) << name << ": " << file.reason;
  }
}

// A real SFTP session whose renames of one name are refused: OpenSSH refuses
// the rename that puts a new file in the live one's place only for reasons a
// test server running as root never meets.
class RefusingRenamesOf : public TrkTransferSession {
 public:
  RefusingRenamesOf(std::unique_ptr<TrkTransferSession> real, std::string from)
      : real_(std::move(real)), from_(std::move(from)) {}
  std::optional<bool> Rename(const std::string& from, const std::string& to) override {
    return from == from_ ? false : real_->Rename(from, to);
  }
  bool Login(const std::string& server, int port, const std::string& user, const std::string& password) override {
    return real_->Login(server, port, user, password);
  }
  bool TurnedAway() const override { return real_->TurnedAway(); }
  bool Busy() const override { return real_->Busy(); }
  const std::string& EntryPath() const override { return real_->EntryPath(); }
  const std::string& LastFailure() const override { return real_->LastFailure(); }
  bool ChangeDir(const std::string& directory) override { return real_->ChangeDir(directory); }
  bool MakeDir(const std::string& directory) override { return real_->MakeDir(directory); }
  Stored Store(const std::string& local_path, const std::string& remote, TrkMD5* digest) override {
    return real_->Store(local_path, remote, digest);
  }
  Stored Resume(const std::string& local_path, const std::string& remote, int64_t offset) override {
    return real_->Resume(local_path, remote, offset);
  }
  bool Delete(const std::string& path) override { return real_->Delete(path); }
  bool RemoveDir(const std::string& directory) override { return real_->RemoveDir(directory); }
  Listing ListFolder(const std::string& directory) override { return real_->ListFolder(directory); }
  Held FileSize(const std::string& path) override { return real_->FileSize(path); }

 private:
  const std::unique_ptr<TrkTransferSession> real_;
  const std::string from_;
};

// Watches a live file from the server's side, as often as it can look,
// until End: whether it was ever missing while its old copy was not aside,
// and every size it was seen with (a file being written shows others).
class LiveFileWatch {
 public:
  LiveFileWatch(fs::path live, fs::path aside)
      : live_(std::move(live)), aside_(std::move(aside)), thread_([this](std::stop_token stop) { Watch(stop); }) {}

  void End() {
    thread_.request_stop();
    thread_.join();
  }
  // Read after End.
  bool missing_unaside = false;
  std::set<uintmax_t> sizes;

 private:
  void Watch(const std::stop_token& stop) {
    while (!stop.stop_requested()) {
      std::error_code missing;
      const uintmax_t size = fs::file_size(live_, missing);
      if (!missing) {
        sizes.insert(size);
      } else if (!fs::exists(aside_) && !fs::exists(live_)) {
        missing_unaside = true;  // looked at in that order, a rename between the looks cannot make it so
      }
    }
  }

  const fs::path live_, aside_;
  std::jthread thread_;
};

// A live program replaced over SFTP, watched from the server: OpenSSH will
// not rename over an existing file, so the live one is moved aside and the
// new one renamed into its place. Its name is missing only between those
// two renames, while the old file is aside, readers only ever find a whole
// file, and a replacement whose last rename is refused puts the old file back.
TEST(SftpTest, ALiveFileIsMissingOnlyWhileAsideAndAFailedReplacementLeavesItInPlace) {
  SshServer server;
  DROPVAN_REQUIRE_SSH_SERVER(server);
  TempDir work;
  // Of one size, so that a reader finding another one found a file being written.
  const std::string old_bytes(300000, 'o');
  const std::string new_bytes(300000, 'n');
  const std::string local = work.Write("setup.exe", new_bytes);
  const fs::path live = server.root() / "setup.exe";
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "last rename refused" : "replaced");
    std::ofstream(live, std::ios::trunc | std::ios::binary) << old_bytes;
    TrkUploader uploader(TrkNewTransferSession);
    SftpAccount(uploader, server, server.known_hosts());
    if (refused) {
      uploader.NewSession = [&](const TrkSessionSettings& settings) -> std::unique_ptr<TrkTransferSession> {
        return std::make_unique<RefusingRenamesOf>(TrkNewTransferSession(settings), live.string() + "_");
      };
    }
    LiveFileWatch watch(live, live.string() + "~dropvan");
    bool stored = true;
    try {
      uploader.PutFile(local, live.string(), 0);
    } catch (const TrkError& error) {
      stored = false;
      EXPECT_TRUE(refused) << error.what();
    }
    watch.End();
    EXPECT_EQ(stored, !refused);
    EXPECT_FALSE(watch.missing_unaside) << "the live name was missing while its old file was not aside";
    EXPECT_TRUE(watch.sizes == std::set<uintmax_t>{old_bytes.size()}) << "a reader found a file being written";
    EXPECT_TRUE(ServerFile(live) == (refused ? old_bytes : new_bytes));
    EXPECT_FALSE(fs::exists(live.string() + "~dropvan")) << "the old file stayed aside";
  }
}

// A program's name at the file system's length limit leaves no room for the
// temporary "_": the server refuses that name (an SFTP status, not a broken
// connection), and the store goes through the folder's short names instead.
TEST(SftpTest, AProgramAtTheNameLengthLimitGoesUpUnderTheFoldersShortNames) {
  SshServer server;
  DROPVAN_REQUIRE_SSH_SERVER(server);
  TempDir work;
  const std::string name = std::string(251, 'p') + ".exe";  // 255 bytes: NAME_MAX
  const std::string local = work.Write(name, "program bytes");
  TrkUploader uploader(TrkNewTransferSession);
  SftpAccount(uploader, server, server.known_hosts());
  uploader.PutFile(local, (server.root() / name).string(), 0);
  EXPECT_EQ(ServerFile(server.root() / name), "program bytes");
  for (const auto& entry : fs::directory_iterator(server.root())) {
    EXPECT_EQ(entry.path().filename().string(), name) << "a temporary name stayed";
  }
}

TEST(SftpTest, EightWorkersShareAServerThatDropsConnectionsBeyondItsStartups) {
  SshServer server(/*max_startups=*/1);
  DROPVAN_REQUIRE_SSH_SERVER(server);
  setenv("HOME", server.home().c_str(), 1);
  TempDir source;
  for (int i = 0; i < 40; ++i) source.Write("f" + std::to_string(i) + ".txt", std::to_string(i));
  SyncProject site;
  site.Set("Server", "sftp://127.0.0.1");
  site.Set("User", server.user());
  site.Set("Port", std::to_string(server.port()));
  site.Set("ThreadsCount", "8");
  site.Set("TryTimes", "0");
  RunResult run = site.RunFolder(source.dir(), (server.root() / "www").string() + "/");
  EXPECT_EQ(run.succeeded, 40);
  EXPECT_EQ(run.failed, 0) << run[source.dir() + "f0.txt"].text;
}

// A stop ends an SFTP worker within a second whatever it waits for: the
// greeting of a server that never answers, the pause before the next connect
// attempt after a refused login, or a transfer that would take long (a sparse
// file of 64 GiB into /dev/null). The file is then given up as stopped.
TEST(SftpTest, AStopEndsTheWorkerWithinASecondWhateverItWaitsFor) {
  SshServer server;
  DROPVAN_REQUIRE_SSH_SERVER(server);
  testing_support::SilentServer silent;
  TempDir work;
  const std::string big = work.Write("big", "");
  fs::resize_file(big, 64ULL << 30);
  const std::string stranger = work.dir() + "stranger";  // a key sshd does not know
  ASSERT_EQ(0, system(("ssh-keygen -q -t ed25519 -N '' -f " + stranger).c_str()));
  setenv("HOME", work.dir().c_str(), 1);  // no key of the user's own
  unsetenv("SSH_AUTH_SOCK");
  struct Row {
    const char* waiting_for;
    int port;
    std::string key_file;
  } rows[] = {
      {"a greeting", silent.port(), server.key_file()},
      {"the next connect attempt", server.port(), stranger},
      {"a transfer", server.port(), server.key_file()},
  };
  for (const Row& row : rows) {
    TrkUploader uploader(TrkNewTransferSession);
    SftpAccount(uploader, server, server.known_hosts());
    uploader.Port = row.port;
    uploader.Settings.KeyFile = row.key_file;
    std::stop_source stop;
    uploader.Settings.Stop = stop.get_token();
    auto put = std::async(std::launch::async, [&] { uploader.PutFile(big, "/dev/null", 1); });
    EXPECT_EQ(std::future_status::timeout, put.wait_for(std::chrono::seconds(2)))
        << row.waiting_for << ": ended by itself";
    stop.request_stop();
    EXPECT_EQ(std::future_status::ready, put.wait_for(std::chrono::seconds(1))) << row.waiting_for;
    EXPECT_THROW(put.get(), TrkStopped) << row.waiting_for;
  }
}

// A worker opens its next file on the server while the one before goes up,
// but only a file it uploads whatever it holds: one in the record could prove
// unchanged (it is not stored then) and must not be made, even for a moment.
TEST(SftpTest, AWorkerOpensAheadOnlyTheNextFileItWillUpload) {
  SshServer server(0, "", /*log_requests=*/true);
  DROPVAN_REQUIRE_SSH_SERVER(server);
  setenv("HOME", server.home().c_str(), 1);
  const fs::path www = server.root() / "www";
  TempDir source;
  SyncProject site;
  site.Set("Server", "sftp://127.0.0.1");
  site.Set("User", server.user());
  site.Set("Port", std::to_string(server.port()));
  source.Write("4-recorded.txt", "recorded");
  ASSERT_EQ(site.RunFolder(source.dir(), www.string() + "/").succeeded, 1);
  fs::remove(www / "4-recorded.txt");  // lost on the server: a file opened ahead would stand in its place
  const struct Row {
    const char* name;
    const char* opened;  // how the server was asked to open it; null: not at all
  } rows[] = {
      {"1-new.txt", "WRITE,CREATE,TRUNCATE"},  // the connection's first: nothing is known ahead of it
      {"2-new.txt", "WRITE,CREATE,TRUNCATE"},
      {"3-new.txt", "WRITE,CREATE,EXCL"},  // opened ahead, during 2's store
      {"4-recorded.txt", nullptr},
      {"5-new.txt", "WRITE,CREATE,TRUNCATE"},
      {"6/new.txt", "WRITE,CREATE,EXCL"},  // next to 5, in a folder made for it during 5's store
  };
  for (const Row& row : rows) {
    if (row.opened != nullptr) source.Write(row.name, row.name);
  }
  const size_t first_run = server.RequestLog().size();
  RunResult run = site.RunFolder(source.dir(), www.string() + "/");
  EXPECT_EQ(run.succeeded, 6);
  const std::string log = server.RequestLog().substr(first_run);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string open = "\nopen \"" + (www / row.name).string() + "\" flags ";
    const size_t at = log.find(open);
    if (row.opened == nullptr) {
      EXPECT_EQ(at, std::string::npos) << log;
      EXPECT_FALSE(fs::exists(www / row.name));
      continue;
    }
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(log.substr(at + open.size(), std::strlen(row.opened) + 1), std::string(row.opened) + " ");
    EXPECT_EQ(log.find(open, at + 1), std::string::npos) << "opened twice";
    EXPECT_EQ(ServerFile(www / row.name), row.name);
  }
}

}  // namespace
