// The lock on the server that keeps two runs off one destination
// (ServerLock): its holder's name, and its life against real servers (two
// FTP servers and sshd) and through two runs at once.
#include "sync/server_lock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "dropvan_run.h"
#include "project/options.h"
#include "project/whole_file.h"
#include "session_account.h"
#include "support/ftp_server.h"
#include "support/ssh_server.h"
#include "support/temp_dir.h"
#include "sync/lock_holder.h"
#include "sync/uploader.h"
#include "transfer/new_session.h"

namespace {

namespace fs = std::filesystem;
using testing_support::FtpServer;
using testing_support::SshServer;
using testing_support::TempDir;

constexpr std::time_t kNoon = 1796990400;  // 2026-12-11 12:00:00 UTC

TEST(LockHolderTest, ANameSaysItsHolderAndOnlyItsOwnNamesParse) {
  const TrkLockHolder holder{"deploy@ci-runner-7", 4242, kNoon, kNoon + 120};
  EXPECT_EQ(holder.Name(), "deploy@ci-runner-7+4242+20261211T120000Z+20261211T120200Z");
  const std::optional<TrkLockHolder> read = TrkLockHolder::Parse(holder.Name());
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->who, holder.who);
  EXPECT_EQ(read->process, 4242);
  EXPECT_EQ(read->since, kNoon);
  EXPECT_EQ(read->alive, kNoon + 120);
  EXPECT_EQ(TrkLockHolder::Who("dé ploy+1", ""), "d___ploy_1@unknown") << "nothing a name could not hold";
  EXPECT_EQ(TrkLockHolder::Who("a@b", "host/x"), "a_b@host_x");
  const char* foreign[] = {
      "",
      "index.html",
      "deploy@host+4242+20261211T120000Z",                       // a field short
      "deploy@host+4242+20261211T120000Z+20261211T120200Z+1",    // one too many
      "+4242+20261211T120000Z+20261211T120200Z",                 // nobody
      "de ploy@host+4242+20261211T120000Z+20261211T120200Z",     // a space in the holder
      "deploy@host+42x2+20261211T120000Z+20261211T120200Z",      // no process number
      "deploy@host++20261211T120000Z+20261211T120200Z",
      "deploy@host+4242+20261211T120000+20261211T120200Z",       // no zone
      "deploy@host+4242+20261311T120000Z+20261211T120200Z",      // month 13
      "deploy@host+4242+20261211T120000Z+20261211T120200Zjunk",
      "deploy@host+1234567890123456789+20261211T120000Z+20261211T120200Z",  // past what a process number is
  };
  for (const char* name : foreign) EXPECT_FALSE(TrkLockHolder::Parse(name).has_value()) << name;
}

// One server of a kind, with an uploader for its account and the local folder
// behind the remote Target.
struct LockSite {
  explicit LockSite(int kind) {
    if (kind < 2) {
      ftp.emplace(kind == 0 ? FtpServer::Kind::kPyftpdlib : FtpServer::Kind::kVsftpd);
      available = ftp->available();
      target = ftp->writable_dir() + "www/";
      local = ftp->root() / target.substr(1);
    } else {
      ssh.emplace();
      available = ssh->available();
      target = (ssh->root() / "www").string() + "/";
      local = target;
    }
    if (available) MakeFolder(local);
  }
  // A folder the servers' accounts may write in (vsftpd's is not root).
  static void MakeFolder(const fs::path& folder) {
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::all);
  }
  std::unique_ptr<TrkUploader> Uploader() const {
    auto uploader = std::make_unique<TrkUploader>(TrkNewTransferSession);
    if (ftp) {
      dropvan_testing::Account(*uploader, *ftp);
    } else {
      uploader->Settings.Protocol = TrkProtocol::kSftp;
      uploader->Settings.KeyFile = ssh->key_file();
      uploader->Settings.KnownHosts = ssh->known_hosts();
      uploader->Server = "127.0.0.1";
      uploader->User = ssh->user();
      uploader->Port = ssh->port();
    }
    return uploader;
  }
  TrkServerLock Lock(int wait_seconds, int stale_minutes = 30) const {
    TrkServerLock::Options options{true, std::chrono::seconds(wait_seconds), std::chrono::minutes(stale_minutes)};
    return TrkServerLock(options, Uploader(), target);
  }
  fs::path Folder() const { return local / TrkServerLock::kFolderName; }
  // What the lock folder holds, by name; "<none>" without the folder.
  std::string Held() const {
    if (!fs::exists(Folder())) return "<none>";
    std::string names;
    for (const auto& entry : fs::directory_iterator(Folder())) names += entry.path().filename().string() + ";";
    return names;
  }
  // A lock another client holds: its folder, and its holder's file unless `holder` is null.
  void LockAs(const TrkLockHolder* holder) const {
    MakeFolder(Folder());
    if (holder != nullptr) std::ofstream(Folder() / holder->Name()) << "";
  }

  std::optional<FtpServer> ftp;
  std::optional<SshServer> ssh;
  bool available = false;
  std::string target;  // remote, "/" ended
  fs::path local;
};

std::string Took(TrkServerLock& lock, std::chrono::seconds* took = nullptr) {
  const auto start = std::chrono::steady_clock::now();
  std::string outcome = lock.Take(std::stop_token());
  if (took != nullptr) *took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  return outcome;
}

TEST(ServerLockTest, ALockIsTakenHeldWaitedForRefusedWhenStaleAndBroken) {
  for (int kind : {0, 1, 2}) {
    SCOPED_TRACE(kind == 0 ? "pyftpdlib" : kind == 1 ? "vsftpd" : "sshd");
    LockSite site(kind);
    if (!site.available) {
      ADD_FAILURE() << "test server unavailable (scripts/setup installs it)";
      continue;
    }
    const std::string me = TrkLockHolder::Me().who;
    TrkServerLock first = site.Lock(1);
    ASSERT_EQ(Took(first), "");
    const std::optional<TrkLockHolder> holder = TrkLockHolder::Parse(site.Held().substr(0, site.Held().size() - 1));
    ASSERT_TRUE(holder.has_value()) << site.Held();
    EXPECT_EQ(holder->who, me);
    EXPECT_NE(ReadFileBytes((site.Folder() / holder->Name()).string()).find("--break-lock"), std::string::npos)
        << "no note for whoever looks";
    EXPECT_EQ(Took(first), "") << "a second Take answers as the first";

    // Held: a second run waits LockWait, then is told who holds it.
    TrkServerLock second = site.Lock(1);
    std::chrono::seconds took{};
    EXPECT_EQ(Took(second, &took).rfind("the server is locked by " + me + " since ", 0), 0u);
    EXPECT_GE(took.count(), 1) << "no wait";
    // A run stopped while it waits is not refused: it just ends.
    TrkServerLock stopped = site.Lock(30);
    std::stop_source stop;
    std::future<std::string> waiting_one =
        std::async(std::launch::async, [&] { return stopped.Take(stop.get_token()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop.request_stop();
    EXPECT_EQ(waiting_one.get(), "stopped");
    EXPECT_EQ(stopped.Outcome(), "") << "a stop taken for a refusal";
    first.Release();
    EXPECT_EQ(site.Held(), "<none>") << "released";

    // Let go while another waits: the waiter takes it.
    TrkServerLock holding = site.Lock(1), waiting = site.Lock(20);
    ASSERT_EQ(Took(holding), "");
    std::future<std::string> waited = std::async(std::launch::async, [&] { return Took(waiting); });
    EXPECT_EQ(waited.wait_for(std::chrono::seconds(1)), std::future_status::timeout) << "taken while held";
    holding.Release();
    EXPECT_EQ(waited.get(), "");
    waiting.Release();

    // A killed run's lock: stale at once, whatever LockWait; untouched until broken.
    const TrkLockHolder killed{"deploy@ci-runner-7", 99, std::time(nullptr) - 7200, std::time(nullptr) - 3600};
    site.LockAs(&killed);
    TrkServerLock late = site.Lock(30);
    const std::string stale = Took(late, &took);
    EXPECT_EQ(stale.rfind("the server is locked by deploy@ci-runner-7 since ", 0), 0u) << stale;
    EXPECT_NE(stale.find("the lock is stale; dropvan --break-lock PROJECT removes it"), std::string::npos) << stale;
    EXPECT_LT(took.count(), 5) << "a stale lock was waited for";
    EXPECT_EQ(site.Held(), killed.Name() + ";") << "a lock another made was touched";
    late.Release();
    EXPECT_EQ(site.Held(), killed.Name() + ";") << "a refused run let go of another's lock";
    std::unique_ptr<TrkUploader> breaker = site.Uploader();
    EXPECT_EQ(TrkServerLock::Break(*breaker, site.target).rfind("removed the lock of deploy@ci-runner-7 since ", 0), 0u);
    EXPECT_EQ(site.Held(), "<none>");
    EXPECT_EQ(TrkServerLock::Break(*breaker, site.target).rfind("the server is not locked", 0), 0u);

    // A long run that still says it is alive is waited for, however old its lock.
    const TrkLockHolder long_run{"deploy@ci-runner-7", 98, std::time(nullptr) - 7200, std::time(nullptr)};
    site.LockAs(&long_run);
    TrkServerLock patient = site.Lock(1);
    EXPECT_EQ(Took(patient).find("stale"), std::string::npos);
    TrkServerLock::Break(*breaker, site.target);

    // A folder without a holder (one being made, or a run killed at once).
    site.LockAs(nullptr);
    TrkServerLock unnamed = site.Lock(1);
    EXPECT_NE(Took(unnamed).find("names no holder"), std::string::npos);
    EXPECT_EQ(TrkServerLock::Break(*breaker, site.target).rfind("removed the lock ", 0), 0u);
    EXPECT_EQ(site.Held(), "<none>");

    // A Target the account may not write in (vsftpd's account is not root).
    if (kind == 1) {
      fs::permissions(site.local, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                      fs::perms::others_read | fs::perms::others_exec);
      TrkServerLock refused = site.Lock(30);
      EXPECT_EQ(Took(refused, &took).rfind("cannot make the lock folder ", 0), 0u);
      EXPECT_LT(took.count(), 5) << "a refused folder was waited for";
    }
  }
}

// Two runs at once on one destination: the second waits for the first, and
// both end with every file there; a run that finds a stale lock fails every
// file with it and deletes nothing.
TEST(ServerLockTest, TwoRunsAtOnceTakeTurnsAndARefusedRunFailsEveryFile) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  const std::string target = server.writable_dir() + "www/";
  TempDir one, two;
  for (int i = 0; i < 20; ++i) {
    one.Write("one-" + std::to_string(i) + ".txt", "one");
    two.Write("two-" + std::to_string(i) + ".txt", "two");
  }
  dropvan_testing::SyncProject first(&server), second(&server);
  for (auto* site : {&first, &second}) {
    site->Set("ServerLock", "True");
    site->Set("LockWait", "60");
    site->Set("ThreadsCount", "2");
  }
  std::future<dropvan_testing::RunResult> run_one =
      std::async(std::launch::async, [&] { return first.RunFolder(one.dir(), target); });
  const dropvan_testing::RunResult run_two = second.RunFolder(two.dir(), target);
  EXPECT_EQ(run_one.get().succeeded, 20);
  EXPECT_EQ(run_two.succeeded, 20);
  const fs::path www = server.root() / target.substr(1);
  EXPECT_FALSE(fs::exists(www / TrkServerLock::kFolderName)) << "the lock stayed";

  const TrkLockHolder killed{"deploy@ci-runner-7", 99, std::time(nullptr) - 7200, std::time(nullptr) - 3600};
  fs::create_directories(www / TrkServerLock::kFolderName);
  std::ofstream(www / TrkServerLock::kFolderName / killed.Name()) << "";
  one.Write("one-new.txt", "new");
  fs::remove(one.dir() + "one-0.txt");
  first.Set("DeleteRemoved", "True");
  const dropvan_testing::RunResult refused = first.RunFolder(one.dir(), target);
  EXPECT_EQ(refused.succeeded, 0);
  EXPECT_EQ(refused.failed, 20);
  EXPECT_TRUE(fs::exists(www / "one-0.txt")) << "deleted without the lock";
  EXPECT_EQ(refused[one.dir() + "one-new.txt"].text.rfind("the server is locked by deploy@ci-runner-7", 0), 0u)
      << refused[one.dir() + "one-new.txt"].text;
  EXPECT_FALSE(fs::exists(www / "one-new.txt"));
}

}  // namespace
