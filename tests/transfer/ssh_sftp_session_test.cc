// The SFTP session against a real sshd whose SFTP server logs every request:
// what a store sends and asks, for files on either side of the sizes where
// the session changes its ways (one write request; the window of bytes on
// their way), and what a file opened ahead leaves whatever comes instead of
// its store.
#include "transfer/new_session.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "digest/md5.h"
#include "project/whole_file.h"
#include "support/ssh_server.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing_support::SshServer;
using testing_support::TempDir;

// Bytes that no offset mix-up leaves equal.
std::string Bytes(size_t count) {
  std::string bytes(count, '\0');
  uint32_t state = 2463534242u;
  for (char& byte : bytes) {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    byte = static_cast<char>(state);
  }
  return bytes;
}

std::string DigestOf(const std::string& bytes) {
  TrkMD5 md5;
  md5.Init();
  md5.Update(bytes.data(), bytes.size());
  md5.Final();
  return md5.DigestText();
}

size_t Requests(const std::string& log, const std::string& kind) {
  const std::regex line("request [0-9]+: " + kind + "\\b");
  return static_cast<size_t>(std::distance(std::sregex_iterator(log.begin(), log.end(), line), std::sregex_iterator()));
}

// A session to the test's sshd, logging in with its key.
std::unique_ptr<TrkTransferSession> SessionTo(const SshServer& server) {
  TrkSessionSettings settings;
  settings.Protocol = TrkProtocol::kSftp;
  settings.KeyFile = server.key_file();
  settings.KnownHosts = server.known_hosts();
  return TrkNewTransferSession(settings);
}

TEST(SshSftpSessionTest, EachFileIsOpenedOnceSentWholeAndSizedFromItsHandle) {
  SshServer server(0, "", /*log_requests=*/true);
  DROPVAN_REQUIRE_SSH_SERVER(server);
  auto session = SessionTo(server);
  ASSERT_TRUE(session->Login("127.0.0.1", server.port(), server.user(), "")) << session->LastFailure();
  const struct Row {
    const char* what;
    size_t bytes;
  } rows[] = {
      {"empty", 0},
      {"one byte", 1},
      {"one write request to the byte", 30000},
      {"a byte past one write request", 30001},
      {"a byte past the window", (size_t{4} << 20) + 1},
      {"several windows, then a short end", (size_t{9} << 20) + 12345},
      {"small again, after the buffer grew", 17},
  };
  TempDir local;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string bytes = Bytes(row.bytes);
    const std::string name = std::to_string(row.bytes) + ".bin";
    TrkMD5 digest;
    const auto stored = session->Store(local.Write(name, bytes), (server.root() / name).string(), &digest);
    digest.Final();
    EXPECT_TRUE(stored.transferred) << session->LastFailure();
    EXPECT_EQ(stored.sent, static_cast<int64_t>(row.bytes));
    EXPECT_EQ(stored.size, TrkTransferSession::SizeAnswer::kHeld);
    EXPECT_EQ(stored.held, std::to_string(row.bytes));
    EXPECT_EQ(digest.DigestText(), DigestOf(bytes)) << "the digest is of what was sent";
    EXPECT_TRUE(ReadFileBytes((server.root() / name).string()) == bytes) << "the server's copy differs";
  }
  session.reset();  // the last close is answered, the connection let go
  const std::string log = server.RequestLog();
  const size_t files = std::size(rows);
  EXPECT_EQ(Requests(log, "open"), files) << log.substr(0, 4000);
  EXPECT_EQ(Requests(log, "fstat"), files) << "the size asked of the open file";
  EXPECT_EQ(Requests(log, "stat"), 0u) << "no second look by name";
  EXPECT_EQ(Requests(log, "close"), files);
}

TEST(SshSftpSessionTest, AResumedStoreWritesTheRestAfterWhatTheServerHolds) {
  SshServer server;
  DROPVAN_REQUIRE_SSH_SERVER(server);
  auto session = SessionTo(server);
  ASSERT_TRUE(session->Login("127.0.0.1", server.port(), server.user(), "")) << session->LastFailure();
  const struct Row {
    const char* what;
    size_t bytes, held;
    bool there = true;  // the server holds the first `held` bytes
  } rows[] = {
      {"one write request's worth left", 30001, 1},
      {"more than a window left", (size_t{4} << 20) + 7, 5},
      {"nothing left", 100, 100},
      {"the file gone meanwhile: refused, not made anew", 100, 50, false},
  };
  TempDir local;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string bytes = Bytes(row.bytes);
    const std::string name = "resumed-" + std::to_string(row.bytes) + "-" + std::to_string(row.held) + ".bin";
    const fs::path remote = server.root() / name;
    if (row.there) ReplaceFile(remote.string(), std::string_view(bytes).substr(0, row.held));
    const auto stored = session->Resume(local.Write(name, bytes), remote.string(), static_cast<int64_t>(row.held));
    if (!row.there) {
      EXPECT_TRUE(stored.refused);
      EXPECT_FALSE(fs::exists(remote));
      continue;
    }
    EXPECT_TRUE(stored.transferred) << session->LastFailure();
    EXPECT_EQ(stored.sent, static_cast<int64_t>(row.bytes - row.held));
    EXPECT_EQ(stored.held, std::to_string(row.bytes)) << "the size told is the whole file's";
    EXPECT_TRUE(ReadFileBytes(remote.string()) == bytes) << "the server's copy differs";
  }
}

// The opens of `path` the server's log tells of.
size_t Opens(const std::string& log, const fs::path& path) {
  const std::string line = "\nopen \"" + path.string() + "\" ";
  size_t count = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
  return count;
}

TEST(SshSftpSessionTest, AFileOpenedAheadIsStoredOnceOrLeavesTheServerAsItWas) {
  SshServer server(0, "", /*log_requests=*/true);
  DROPVAN_REQUIRE_SSH_SERVER(server);
  enum class Then { kStoreIt, kStoreAnother, kList, kAskItsSize, kEndSession, kMakeItsFolderThenStoreIt };
  const struct Row {
    const char* what;
    Then then;
    const char* held_before;  // the server's copy of the next file before; null: none
    const char* folder = "";  // the next file's, below the root; made by the row
    const char* expected;     // the server's copy after; null: none
    size_t opens;             // of the next file
  } rows[] = {
      {"stored next: opened once, ahead", Then::kStoreIt, nullptr, "", "next", 1},
      {"another file stored instead: removed", Then::kStoreAnother, nullptr, "", nullptr, 1},
      {"a listing instead: removed before it", Then::kList, nullptr, "", nullptr, 1},
      {"its size asked instead: removed first", Then::kAskItsSize, nullptr, "", nullptr, 1},
      {"the session ends instead: removed", Then::kEndSession, nullptr, "", nullptr, 1},
      {"one there already: untouched ahead, then replaced", Then::kStoreIt, "older and longer", "", "next", 2},
      {"one there already, no store: untouched", Then::kStoreAnother, "older and longer", "", "older and longer", 1},
      {"its folder missing: opened by its store", Then::kMakeItsFolderThenStoreIt, nullptr, "new", "next", 2},
  };
  TempDir local;
  const std::string first = local.Write("first", "first"), next = local.Write("next", "next");
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto session = SessionTo(server);
    ASSERT_TRUE(session->Login("127.0.0.1", server.port(), server.user(), "")) << session->LastFailure();
    const fs::path dir = server.root() / std::to_string(++n);
    fs::create_directories(dir);
    const fs::path target = dir / row.folder / "next.txt";
    if (row.held_before != nullptr) ReplaceFile(target.string(), row.held_before);
    ASSERT_TRUE(session->StoresAhead());
    session->StoreNext(target.string());
    ASSERT_TRUE(session->Store(first, (dir / "first.txt").string(), nullptr).transferred) << session->LastFailure();
    switch (row.then) {
      case Then::kStoreIt: EXPECT_TRUE(session->Store(next, target.string(), nullptr).transferred); break;
      case Then::kStoreAnother: EXPECT_TRUE(session->Store(next, (dir / "other.txt").string(), nullptr).transferred); break;
      case Then::kList: EXPECT_EQ(session->ListFolder(dir.string()).sizes.count("next.txt"), 0u); break;
      case Then::kAskItsSize:
        EXPECT_EQ(session->FileSize(target.string()).size, TrkTransferSession::SizeAnswer::kMissing);
        break;
      case Then::kEndSession: break;
      case Then::kMakeItsFolderThenStoreIt:
        EXPECT_TRUE(session->MakeDir(target.parent_path().string()));
        EXPECT_TRUE(session->Store(next, target.string(), nullptr).transferred) << session->LastFailure();
        break;
    }
    session.reset();
    EXPECT_EQ(fs::exists(target) ? ReadFileBytes(target.string()) : "<none>", row.expected ? row.expected : "<none>");
    EXPECT_EQ(Opens(server.RequestLog(), target), row.opens) << server.RequestLog().substr(0, 4000);
  }
}

}  // namespace
