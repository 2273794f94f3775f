// Option "Verify": a server copy deleted or truncated behind the record's back
// is uploaded again, by one listing per remote folder; without it the record
// is trusted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "dropvan_run.h"
#include "project/whole_file.h"
#include "support/ftp_server.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using dropvan_testing::RunResult;
using dropvan_testing::SyncProject;
using testing_support::FtpServer;
using testing_support::TempDir;
using Kind = FtpServer::Kind;

const std::map<std::string, std::string> kFiles = {
    {"keep.txt", "kept as it is"}, {"gone.txt", "deleted on the server"}, {"cut.txt", "truncated on the server"},
    {"sub dir/deep.txt", "kept in a folder"}, {"lost/x.txt", "its folder deleted on the server"}};
const char* const kDrifted[] = {"gone.txt", "cut.txt", "lost/x.txt"};
constexpr int kFolders = 3;

std::string Held(const fs::path& path) { return fs::is_regular_file(path) ? ReadFileBytes(path.string()) : "<missing>"; }

// Uploads kFiles (and `padding` empty files pad0000.txt... beside them) to
// `target` (held locally at `remote`), spoils the server's copies of kDrifted
// and checks the runs after that, the last Verify run being one that changes
// nothing (`before_last` is called before it).
void CheckDriftIsMended(SyncProject& site, const fs::path& remote, const std::string& target,
                        const std::function<void()>& before_last = [] {}, int padding = 0) {
  TempDir source;
  for (const auto& [name, content] : kFiles) source.Write(name, content);
  for (int i = 0; i < padding; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "pad%04d.txt", i);
    source.Write(name, "");
  }
  ASSERT_EQ(site.RunFolder(source.dir(), target).succeeded, 5 + padding);
  fs::remove(remote / "gone.txt");
  fs::resize_file(remote / "cut.txt", 3);
  fs::remove_all(remote / "lost");
  // `drifted_text`: what the drifted files get before their remote path; nothing: all identical.
  const auto expect_all = [&](const RunResult& run, std::optional<std::string> drifted_text) {
    for (const auto& [name, content] : kFiles) {
      const bool drifted = std::find(std::begin(kDrifted), std::end(kDrifted), name) != std::end(kDrifted);
      EXPECT_EQ(run[source.dir() + name].text, drifted && drifted_text ? *drifted_text + target + name : "File identical.")
          << name;
    }
  };
  expect_all(site.RunFolder(source.dir(), target), std::nullopt);  // trusted
  site.Set("Verify", "True");
  site.Set("DryRun", "True");
  expect_all(site.RunFolder(source.dir(), target), "Would upload to ");
  EXPECT_EQ(Held(remote / "gone.txt"), "<missing>") << "a dry run stored something";
  site.Set("DryRun", "False");
  expect_all(site.RunFolder(source.dir(), target), "");
  for (const auto& [name, content] : kFiles) EXPECT_EQ(Held(remote / name), content) << name;
  before_last();
  expect_all(site.RunFolder(source.dir(), target), std::nullopt);
}

int Count(const std::vector<std::string>& commands, size_t from, const std::string& verb) {
  int count = 0;
  for (size_t i = from; i < commands.size(); ++i) count += commands[i].rfind(verb + " ", 0) == 0;
  return count;
}

TEST(VerifyTest, DeletedOrTruncatedServerCopiesAreUploadedAgainOnlyWithVerify) {
  struct Row {
    const char* name;
    Kind kind;
    std::vector<std::string> answers;
    const char* passive;
    std::string listing;  // the command asked once per folder; empty: none
    int sized;            // files asked about with SIZE in the last run
    int cut_at = 0;       // the server lists no more than this many entries of a folder,
                          // and the top folder holds this many more files
  } rows[] = {
      {"MLSD, active", Kind::kPyftpdlib, {}, "False", "MLSD", 0},
      {"MLSD, auto", Kind::kPyftpdlib, {}, "Auto", "MLSD", 0},
      {"LIST, passive", Kind::kVsftpd, {}, "True", "LIST", 0},
      {"LIST over TLS", Kind::kVsftpdTls, {}, "True", "LIST", 0},
      {"listings refused", Kind::kPyftpdlib, {"MLSD=500 No.", "LIST=500 No."}, "False", "", 5},
      {"listings of existing folders refused with 550", Kind::kPyftpdlib, {"MLSD=550 No.", "LIST=550 No."}, "False",
       "", 5},
      // Cut after cut.txt, gone.txt, keep.txt, lost/ and pad0000-pad0995.txt:
      // the four files left out are asked about on their own.
      {"listings cut at 1,000 entries", Kind::kPyftpdlib, {}, "False", "MLSD", 4, 1000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testing_support::FtpFaults faults;
    faults.answers = row.answers;
    faults.cut_listings = row.cut_at;
    FtpServer server(row.kind, faults);
    DROPVAN_REQUIRE_FTP_SERVER(server);
    SyncProject site(&server);
    site.Set("ThreadsCount", "2");
    site.Set("Passive", row.passive);
    site.Set("Secure", row.kind == Kind::kVsftpdTls ? "True" : "False");
    site.Set("SecureVerify", "False");
    const std::string target = server.writable_dir() + "site/";
    size_t from = 0;
    CheckDriftIsMended(
        site, server.root() / target.substr(1), target, [&] { from = server.Commands().size(); }, row.cut_at);
    const std::vector<std::string> commands = server.Commands();
    EXPECT_EQ(Count(commands, from, "STOR"), 0);
    if (!row.listing.empty()) {
      EXPECT_EQ(Count(commands, from, row.listing), kFolders) << "one listing per folder";
    }
    std::string last_run;
    for (size_t i = from; i < commands.size(); ++i) last_run += "  " + commands[i] + "\n";
    EXPECT_EQ(Count(commands, from, "SIZE"), row.sized) << last_run;
  }
}

TEST(VerifyTest, OverSftpTheFolderListingFindsDrift) {
  testing_support::SshServer server;
  DROPVAN_REQUIRE_SSH_SERVER(server);
  SyncProject site;
  site.UseSftp(server);
  site.Set("ThreadsCount", "2");
  const fs::path www = server.root() / "www";
  CheckDriftIsMended(site, www, www.string() + "/");
}

}  // namespace
