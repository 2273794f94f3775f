#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dropvan_run.h"
#include "project/platform.h"
#include "project/options.h"
#include "project/text_file.h"
#include "project/whole_file.h"
#include "support/ftp_server.h"
#include "support/temp_dir.h"

namespace {

using dropvan_testing::CountCommands;
using dropvan_testing::Md5;
using dropvan_testing::RecordLine;
using dropvan_testing::RunResult;
using dropvan_testing::SessionCount;
using dropvan_testing::SyncProject;
using testing_support::FtpFaults;
using testing_support::FtpServer;
using testing_support::TempDir;

namespace fs = std::filesystem;

// Bytes of every value, line breaks and NULs included, varying with position.
std::string Binary(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919 + i / 251) & 0xFF);
  return bytes;
}

std::string ServerFile(const FtpServer& server, const std::string& relative) {
  fs::path path = server.root() / relative;
  if (!fs::is_regular_file(path)) return "<missing " + relative + ">";
  return ReadFileBytes(path.string());
}

std::vector<std::string> Sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

using Files = std::vector<std::pair<std::string, std::string>>;

// A source folder filled with `files` (relative name -> content).
struct Source {
  explicit Source(const std::vector<std::pair<std::string, std::string>>& files) : files(files) {
    for (const auto& [name, content] : files) folder.Write(name, content);
  }
  std::string Path(const std::string& name) const { return folder.dir() + name; }
  std::vector<std::string> ExpectedRecord() const {
    std::vector<std::string> lines;
    for (const auto& [name, content] : files) lines.push_back(RecordLine(Path(name), content));
    return Sorted(lines);
  }
  std::vector<std::string> AllPaths() const {
    std::vector<std::string> paths;
    for (const auto& file : files) paths.push_back(Path(file.first));
    return Sorted(paths);
  }
  TempDir folder;
  std::vector<std::pair<std::string, std::string>> files;
};

// ---- Remote paths -------------------------------------------------------

TEST(DropvanRemotePathTest, KeepsTheSubfolderBelowTheSourceOrTakesTheNameAlone) {
  EXPECT_EQ(TrkDropvan::RemotePath("/site/img/a.png", "/site/", "/www/", true), "/www/img/a.png");
  EXPECT_EQ(TrkDropvan::RemotePath("/site/img/a.png", "/site/", "/www/", false), "/www/a.png");
  EXPECT_EQ(TrkDropvan::RemotePath("/site/a.png", "/site/", "/", true), "/a.png");
}

TEST(DropvanDestinationTest, NamesServerPortAndTargetWithAnIpv6AddressBracketed) {
  // A scheme added to Server keeps the record: "ftp://h" is "h", whichever
  // form of FTP reaches it; only the usual port differs.
  struct Row {
    const char* server;
    bool bracketed;
    std::string destination;
    const char* port = "2121";
    const char* user = "u";
  } rows[] = {{"h", true, "ftp://u@h:2121/up/"},
              {"::1", true, "ftp://u@[::1]:2121/up/"},
              {"[::1]", true, "ftp://u@[::1]:2121/up/"},
              {"::1", false, "ftp://u@::1:2121/up/"},  // as earlier versions wrote it
              {"ftp://h", true, "ftp://u@h:2121/up/"},
              {"FTP://[::1]", true, "ftp://u@[::1]:2121/up/"},
              {"ftps://h", true, "ftp://u@h:2121/up/"},
              {"h", true, "ftp://u@h:21/up/", ""},
              {"ftp://h", true, "ftp://u@h:21/up/", ""},
              {"ftps://h", true, "ftp://u@h:990/up/", ""},
              {"sFTP://h", true, "sftp://u@h:22/up/", ""},
              {"fe80::1%eth0", true, "ftp://u@[fe80::1%25eth0]:2121/up/"},
              {"h", true, "ftp://u@h:21%2F1%3D/up/", "21/1="},
              {"h", true, "ftp://a%40b%3Ac%2Fd%20e%3D%25%09\xC3\xA9@h:2121/up/", "2121", "a@b:c/d e=%\t\xC3\xA9"}};
  for (const Row& row : rows) {
    TrkOptions options;
    options.SetLines(
        {"User=" + std::string(row.user), "Port=" + std::string(row.port), "Server=" + std::string(row.server)});
    EXPECT_EQ(TrkDropvan::Destination(options, "/up/", row.bracketed), row.destination) << row.server;
  }
}

TEST(DropvanRemotePathTest, WithoutASourceFolderEveryFileGoesToTheTarget) {
  EXPECT_EQ(TrkDropvan::RemotePath("/picked/deep/a.png", "", "/www/", true), "/www/a.png");
}

TEST(DropvanRemotePathTest, RelativePartIsCutByLengthAndBackslashesAreWindowsSeparators) {
  // No check that the path begins with the folder: only its length counts.
  EXPECT_EQ(TrkDropvan::RemotePath("/abcdef/x/b.txt", "/site/", "/www/", true), "/www/f/x/b.txt");
#ifdef _WIN32
  EXPECT_EQ(TrkDropvan::RemotePath("C:\\site\\win\\style.txt", "C:\\site\\", "www/", true), "www/win/style.txt");
#else
  EXPECT_EQ(TrkDropvan::RemotePath("/site/back\\slash.txt", "/site/", "www/", true), "www/back\\slash.txt");
#endif
  // Nothing else is touched: doubled separators and dots stay.
  EXPECT_EQ(TrkDropvan::RemotePath("/site//./c.txt", "/site/", "/www/", true), "/www//./c.txt");
}

// ---- Runs without a server ------------------------------------------------

TEST(DropvanRunTest, NoUploadRecordsEveryFileAndSavesTheLastOnesAsTheWorkersEnd) {
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 0; i < 300; ++i) files.emplace_back("f" + std::to_string(i) + ".txt", std::to_string(i));
  Source source(files);
  SyncProject site;  // no server at all: nothing may try to connect
  site.Set("NoUpload", "True");
  site.Set("ThreadsCount", "3");
  RunResult run = site.RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run.succeeded, 300);
  EXPECT_EQ(run[source.Path("f7.txt")].text, "/www/f7.txt");
  // Saves are spaced out during the run; the rest must be on disk once it ended.
  EXPECT_EQ(Sorted(site.RecordLines()), source.ExpectedRecord());
  EXPECT_EQ(Sorted(site.UploadListLines()), source.AllPaths());
}

// ---- Runs against pyftpdlib -------------------------------------------------

class DropvanServerTest : public ::testing::Test {
 protected:
  void StartServer(const FtpFaults& faults = {}) {
    server = std::make_unique<FtpServer>(FtpServer::Kind::kPyftpdlib, faults);
    site = std::make_unique<SyncProject>(server.get());
  }
  std::unique_ptr<FtpServer> server;
  std::unique_ptr<SyncProject> site;
};

#define START_SERVER(...)                \
  StartServer(__VA_ARGS__);              \
  DROPVAN_REQUIRE_FTP_SERVER(*server)

TEST_F(DropvanServerTest, FirstRunUploadsEverythingBitForBitAndCreatesTheRecord) {
  START_SERVER();
  Source source({{"index.html", "<html>\r\n</html>\n"},
                 {"img/logo.bin", Binary(300000)},
                 {"img/deep/er/empty.txt", ""},
                 {"name with spaces #1;%.txt", "odd name"}});
  RunResult run = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run.succeeded, 4);
  EXPECT_EQ(run.failed, 0);
  for (const auto& [name, content] : source.files) {
    EXPECT_EQ(run[source.Path(name)].state, TrkNode::kSuccess) << name << ": " << run[source.Path(name)].text;
    EXPECT_EQ(run[source.Path(name)].text, "/www/" + name);
    EXPECT_TRUE(ServerFile(*server, "www/" + name) == content) << name << " differs on the server";
  }
  EXPECT_EQ(Sorted(site->RecordLines()), source.ExpectedRecord());
  EXPECT_EQ(Sorted(site->UploadListLines()), source.AllPaths());
  EXPECT_FALSE(fs::exists(site->BackupFile())) << "no record existed to back up";
  // Written as the program's text files are: every line ends in CR LF. The
  // first names the server and folder that the record describes.
  std::vector<std::string> lines = site->RecordLines();
  lines.insert(lines.begin(), "Destination: ftp://tester@127.0.0.1:" + std::to_string(server->port()) + "/www/");
  EXPECT_EQ(ReadFileBytes(site->RecordFile()), JoinLines(lines));
}

TEST_F(DropvanServerTest, SecondRunFindsEveryFileIdenticalWithoutConnecting) {
  START_SERVER();
  Source source({{"a.txt", "alpha"}, {"sub/b.txt", "beta"}});
  site->RunFolder(source.folder.dir(), "/www/");
  const int sessions = SessionCount(*server);
  const std::string record = ReadFileBytes(site->RecordFile());
  const std::string list = ReadFileBytes(site->UploadListFile());
  const auto written = fs::last_write_time(site->RecordFile());

  RunResult run = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run.succeeded, 2);
  EXPECT_EQ(run[source.Path("a.txt")].text, "File identical.");
  EXPECT_EQ(run[source.Path("sub/b.txt")].text, "File identical.");
  EXPECT_EQ(SessionCount(*server), sessions) << "an identical run opened a connection";
  EXPECT_EQ(fs::last_write_time(site->RecordFile()), written) << "the record was rewritten";
  EXPECT_EQ(ReadFileBytes(site->UploadListFile()), list) << "the first run's upload list must stay";
  EXPECT_EQ(ReadFileBytes(site->BackupFile()), record);
}

TEST_F(DropvanServerTest, ChangedContentAndSameBytesAtAnotherPathAreUploaded) {
  START_SERVER();
  Source source({{"a.txt", "one"}, {"b.txt", "two"}});
  site->RunFolder(source.folder.dir(), "/www/");
  const std::vector<std::string> before = site->RecordLines();
  const auto a_line = std::find(before.begin(), before.end(), RecordLine(source.Path("a.txt"), "one"));
  ASSERT_NE(a_line, before.end());

  source.folder.Write("a.txt", "one, edited");
  source.folder.Write("copy/b.txt", "two");
  fs::last_write_time(source.Path("b.txt"), fs::last_write_time(source.Path("b.txt")) + std::chrono::hours(1));
  RunResult run = site->RunFolder(source.folder.dir(), "/www/");

  EXPECT_EQ(run[source.Path("a.txt")].text, "/www/a.txt");
  EXPECT_EQ(ServerFile(*server, "www/a.txt"), "one, edited");
  EXPECT_EQ(run[source.Path("b.txt")].text, "File identical.") << "only the time stamp changed";
  EXPECT_EQ(run[source.Path("copy/b.txt")].text, "/www/copy/b.txt");
  std::vector<std::string> after = site->RecordLines();
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[a_line - before.begin()], RecordLine(source.Path("a.txt"), "one, edited"))
      << "the changed file's line must be rewritten in place";
  EXPECT_EQ(after[2], RecordLine(source.Path("copy/b.txt"), "two"));
  EXPECT_EQ(Sorted(site->UploadListLines()), Sorted({source.Path("a.txt"), source.Path("copy/b.txt")}));
}

TEST_F(DropvanServerTest, IsSyncAllUploadsUnchangedFilesAgain) {
  START_SERVER();
  Source source({{"a.txt", "alpha"}, {"b.txt", "beta"}});
  site->RunFolder(source.folder.dir(), "/www/");
  const std::vector<std::string> record = site->RecordLines();
  ASSERT_EQ(CountCommands(*server, "STOR"), 2);

  site->Set("IsSyncAll", "True");
  RunResult run = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run[source.Path("a.txt")].text, "/www/a.txt");
  EXPECT_EQ(run[source.Path("b.txt")].text, "/www/b.txt");
  EXPECT_EQ(CountCommands(*server, "STOR"), 4);
  EXPECT_EQ(site->RecordLines(), record) << "lines are rewritten in place, not added";
}

TEST_F(DropvanServerTest, NoUploadRecordsFilesWithoutEverConnecting) {
  START_SERVER();
  Source source({{"a.txt", "alpha"}, {"sub/b.txt", "beta"}});
  site->Set("NoUpload", "True");
  RunResult run = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run[source.Path("sub/b.txt")].text, "/www/sub/b.txt");
  EXPECT_EQ(SessionCount(*server), 0);
  EXPECT_FALSE(fs::exists(server->root() / "www"));
  EXPECT_EQ(Sorted(site->RecordLines()), source.ExpectedRecord());

  site->Set("NoUpload", "False");
  run = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run[source.Path("a.txt")].text, "File identical.");
  EXPECT_EQ(SessionCount(*server), 0);
}

TEST_F(DropvanServerTest, KeepTargetSubdirsFalsePutsEveryFileInTheTarget) {
  START_SERVER();
  Source source({{"top.txt", "t"}, {"sub/inner.txt", "i"}, {"sub/deeper/last.txt", "l"}});
  site->Set("KeepTargetSubdirs", "False");
  RunResult run = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run[source.Path("sub/deeper/last.txt")].text, "/www/last.txt");
  EXPECT_EQ(ServerFile(*server, "www/inner.txt"), "i");
  EXPECT_EQ(ServerFile(*server, "www/last.txt"), "l");
  EXPECT_FALSE(fs::exists(server->root() / "www" / "sub"));
}

TEST_F(DropvanServerTest, SingleFilesGoStraightIntoTheTarget) {
  START_SERVER();
  Source source({{"sub/a.txt", "alpha"}, {"b.txt", "beta"}});
  RunResult run = site->RunFiles({source.Path("sub/a.txt"), source.Path("b.txt"), source.Path("sub")}, "/drop/");
  EXPECT_EQ(run[source.Path("sub/a.txt")].text, "/drop/a.txt");
  EXPECT_EQ(run[source.Path("sub")].text, "Cannot open file \"" + source.Path("sub") + "\". Is a directory")
      << "a file that cannot be read fails as its read would, before any transfer";
  EXPECT_EQ(ServerFile(*server, "drop/a.txt"), "alpha");
  EXPECT_EQ(ServerFile(*server, "drop/b.txt"), "beta");
}

TEST_F(DropvanServerTest, ExeIsStoredUnderATemporaryNameThenRenamed) {
  START_SERVER();
  Source source({{"setup.EXE", Binary(5000)}, {"notes.exe.txt", "n"}});
  fs::create_directories(server->root() / "www");
  std::ofstream(server->root() / "www" / "setup.EXE") << "old version";
  RunResult run = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run[source.Path("setup.EXE")].text, "/www/setup.EXE");
  EXPECT_EQ(ServerFile(*server, "www/setup.EXE"), Binary(5000));
  EXPECT_FALSE(fs::exists(server->root() / "www" / "setup.EXE_"));
  std::vector<std::string> commands = server->Commands();
  auto at = [&](const std::string& text) {
    return std::find_if(commands.begin(), commands.end(), [&](const std::string& c) {
      return c.size() >= text.size() && c.compare(c.size() - text.size(), text.size(), text) == 0 &&
             c.rfind(text.substr(0, 4), 0) == 0;
    });
  };
  auto stor = at("STOR /www/setup.EXE_");
  auto rnfr = at("RNFR /www/setup.EXE_");
  auto rnto = at("RNTO /www/setup.EXE");
  ASSERT_NE(stor, commands.end());
  ASSERT_NE(rnfr, commands.end());
  ASSERT_NE(rnto, commands.end());
  EXPECT_LT(stor, rnfr);
  EXPECT_LT(rnfr, rnto);
  EXPECT_EQ(CountCommands(*server, "RNFR"), 1) << "only .exe files are renamed";

  // RenameMask, read as each worker is built, adds files by their names.
  site->Set("RenameMask", "notes.*");
  site->Set("IsSyncAll", "True");
  site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(CountCommands(*server, "RNFR /www/notes.exe.txt_"), 1);
}

TEST_F(DropvanServerTest, MissingRemoteDirectoriesAreCreatedTopDown) {
  START_SERVER();
  fs::create_directories(server->root() / "www");
  Source source(Files{{"a.txt", "alpha"}});
  site->RunFolder(source.folder.dir(), "/www/sub/deeper/");
  EXPECT_EQ(ServerFile(*server, "www/sub/deeper/a.txt"), "alpha");
  std::vector<std::string> walk;
  for (const auto& line : server->Trace()) {
    if (line.command.rfind("CWD /www", 0) == 0 || line.command.rfind("MKD", 0) == 0) {
      walk.push_back(line.command + " " + line.code);
    }
  }
  std::vector<std::string> expected = {"CWD /www/sub/deeper 550", "CWD /www/sub 550", "CWD /www 250",
                                       "MKD /www/sub 257", "MKD /www/sub/deeper 257"};
  EXPECT_EQ(walk, expected);
}

TEST_F(DropvanServerTest, RelativeTargetIsResolvedByTheServer) {
  START_SERVER();
  Source source(Files{{"a.txt", "alpha"}});
  RunResult run = site->RunFolder(source.folder.dir(), "up/");
  EXPECT_EQ(run[source.Path("a.txt")].text, "up/a.txt");
  EXPECT_EQ(ServerFile(*server, "up/a.txt"), "alpha");
}

TEST_F(DropvanServerTest, RefusedLoginFailsEachFileAfterOneAttemptWithTryTimesZero) {
  FtpFaults faults;
  faults.refuse_login = -1;
  START_SERVER(faults);
  Source source({{"a.txt", "alpha"}, {"b.txt", "beta"}});
  site->Set("TryTimes", "0");
  RunResult run = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run.failed, 2);
  EXPECT_EQ(run[source.Path("a.txt")].text, "[Error]Connect to 127.0.0.1 failure");
  EXPECT_EQ(CountCommands(*server, "PASS"), 2);
  EXPECT_FALSE(fs::exists(site->RecordFile())) << "failed files must not be recorded";
}

TEST_F(DropvanServerTest, RefusedLoginWithTheDefaultScheduleGivesUpAfterThreeCycles) {
  FtpFaults faults;
  faults.refuse_login = -1;
  START_SERVER(faults);
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 0; i < 6; ++i) files.emplace_back("f" + std::to_string(i) + ".txt", "x");
  Source source(files);
  RunResult run = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run.failed, 6);
  for (const std::string& path : source.AllPaths()) {
    EXPECT_EQ(run[path].text, "[Error]Connect to 127.0.0.1 failure") << path;
  }
  // Four attempts (TryTimes 3 + 1) in each of three cycles; after that the
  // session fails at once and tries nothing.
  EXPECT_EQ(CountCommands(*server, "PASS"), 12);
}

TEST_F(DropvanServerTest, UnreachableServerGivesTheConnectMessage) {
  int closed_port;
  {
    FtpServer gone;
    DROPVAN_REQUIRE_FTP_SERVER(gone);
    closed_port = gone.port();
  }
  SyncProject project;
  project.Set("Server", "127.0.0.1");
  project.Set("Port", std::to_string(closed_port));
  project.Set("TryTimes", "1");
  Source source(Files{{"a.txt", "alpha"}});
  RunResult run = project.RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run[source.Path("a.txt")].state, TrkNode::kFailure);
  EXPECT_EQ(run[source.Path("a.txt")].text, "[Error]Connect to 127.0.0.1 failure");
}

TEST_F(DropvanServerTest, NewFilesSmallAndLargeAreRecordedWithTheDigestOfTheirContent) {
  START_SERVER();
  // The large one is digested beside its transfer, the small one from the bytes sent.
  Source source(Files{{"small.txt", "small"}, {"large.bin", Binary(9 << 20)}});
  RunResult run = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run[source.Path("large.bin")].text, "/www/large.bin");
  EXPECT_TRUE(ServerFile(*server, "www/large.bin") == Binary(9 << 20));
  EXPECT_EQ(Sorted(site->RecordLines()), source.ExpectedRecord());

  RunResult again = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(again[source.Path("large.bin")].text, "File identical.");
  EXPECT_EQ(again[source.Path("small.txt")].text, "File identical.");
}

TEST_F(DropvanServerTest, RefusedStoreIsRetriedOnANewConnection) {
  FtpFaults faults;
  faults.refuse_stor = 1;
  START_SERVER(faults);
  Source source(Files{{"a.bin", Binary(70000)}});
  RunResult run = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run[source.Path("a.bin")].text, "/www/a.bin");
  EXPECT_TRUE(ServerFile(*server, "www/a.bin") == Binary(70000));
  EXPECT_EQ(CountCommands(*server, "STOR"), 2);
  EXPECT_EQ(SessionCount(*server), 2) << "the retry must reconnect";
}

TEST_F(DropvanServerTest, StalledTransferTimesOutAndIsRetried) {
  FtpFaults faults;
  faults.stall = 1;
  faults.stall_seconds = 6;
  START_SERVER(faults);
  // Larger than what the socket buffers swallow, so the sender really stalls.
  Source source(Files{{"big.bin", Binary(24 << 20)}});
  RunResult run = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run[source.Path("big.bin")].text, "/www/big.bin");
  EXPECT_TRUE(ServerFile(*server, "www/big.bin") == Binary(24 << 20)) << "the retried copy differs";
  EXPECT_EQ(CountCommands(*server, "STOR"), 2);
}

TEST_F(DropvanServerTest, ALargeFileWhoseTransferIsCutGoesOnFromWhatTheServerHolds) {
  FtpFaults faults;
  faults.cut_stor_at = 10 << 20;
  START_SERVER(faults);
  const std::string bytes = Binary(20 << 20);
  Source source(Files{{"big.bin", bytes}});
  // Written an hour ago, as a file not being written to is: resumed only then.
  fs::last_write_time(source.Path("big.bin"), fs::file_time_type::clock::now() - std::chrono::hours(1));
  RunResult run = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run[source.Path("big.bin")].text, "/www/big.bin");
  EXPECT_TRUE(ServerFile(*server, "www/big.bin") == bytes) << "the resumed copy differs";
  EXPECT_EQ(run.bytes_sent, bytes.size() - (10 << 20)) << "the second attempt sends the rest alone";
  EXPECT_EQ(CountCommands(*server, "STOR"), 1);
  EXPECT_EQ(CountCommands(*server, "APPE"), 1);
  EXPECT_EQ(site->RecordLines(), source.ExpectedRecord()) << "recorded once, with the whole file's digest";
}

TEST_F(DropvanServerTest, FailedFileIsNotRecordedAndIsTriedAgainNextRun) {
  FtpFaults faults;
  faults.refuse_stor = 1;
  START_SERVER(faults);
  Source source({{"a.txt", "alpha"}, {"b.txt", "beta"}});
  site->Set("TryTimes", "0");
  RunResult first = site->RunFolder(source.folder.dir(), "/www/");
  ASSERT_EQ(first.failed, 1);
  std::string failed = first[source.Path("a.txt")].state == TrkNode::kFailure ? "a.txt" : "b.txt";
  std::string stored = failed == "a.txt" ? "b.txt" : "a.txt";
  EXPECT_EQ(first[source.Path(failed)].text, "[Error]Upload file failure");
  EXPECT_EQ(site->RecordLines().size(), 1u);

  RunResult second = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(second[source.Path(failed)].text, "/www/" + failed);
  EXPECT_EQ(second[source.Path(stored)].text, "File identical.");
  EXPECT_EQ(Sorted(site->RecordLines()), source.ExpectedRecord());
}

TEST_F(DropvanServerTest, ForeignBlankAndOtherCaseLinesStayInPlace) {
  START_SERVER();
  Source source({{"a.txt", "A"}, {"b.txt", "B"}, {"c.txt", "C"}});
  const std::string key_a = Md5(trk_platform::PathKeyText(source.Path("a.txt")));
  const std::string key_b = Md5(trk_platform::PathKeyText(source.Path("b.txt")));
  const std::string key_c = Md5(trk_platform::PathKeyText(source.Path("c.txt")));
  // Hand-edited, with every kind of line end and no final one.
  const std::string original = "; written by hand\n\r\n" + Lower(key_a) + "=" + std::string(32, '0') +
                               "\rnot a record line\r\n" + key_b + "=" + Lower(Md5("B")) + "\n" +
                               Lower(key_c) + "=" + Md5("C") + "\n" + key_c + "=" + std::string(32, 'F');
  std::ofstream(site->RecordFile(), std::ios::binary) << original;

  RunResult run = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run[source.Path("a.txt")].text, "/www/a.txt");
  EXPECT_EQ(run[source.Path("b.txt")].text, "/www/b.txt") << "a digest differing in case is not identical";
  EXPECT_EQ(run[source.Path("c.txt")].text, "File identical.") << "keys match in any case, first line wins";
  std::vector<std::string> expected = {"Destination: ftp://tester@127.0.0.1:" + std::to_string(server->port()) + "/www/",
                                       "; written by hand",
                                       "",
                                       key_a + "=" + Md5("A"),
                                       "not a record line",
                                       key_b + "=" + Md5("B"),
                                       Lower(key_c) + "=" + Md5("C"),
                                       key_c + "=" + std::string(32, 'F')};
  EXPECT_EQ(ReadFileBytes(site->RecordFile()), JoinLines(expected));
  EXPECT_EQ(ReadFileBytes(site->BackupFile()), original) << "the backup is a byte copy";
}

TEST(DropvanAutoThreadsTest, UploadsEverythingOverWhatTheServerTakesAndEnds) {
  const struct Row {
    const char* what;
    int files;
    int max_sessions;
    int turned_away;  // logins; after the first, Auto opens no more
  } rows[] = {
      {"a server that turns the second step's sixth connection away", 150, 5, 1},
      {"too few files to measure a step: the workers waiting for one end", 6, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FtpFaults faults;
    faults.max_sessions = row.max_sessions;
    FtpServer server(FtpServer::Kind::kPyftpdlib, faults);
    DROPVAN_REQUIRE_FTP_SERVER(server);
    SyncProject site(&server);
    Files files;
    for (int i = 0; i < row.files; ++i) files.emplace_back("f" + std::to_string(i) + ".txt", std::to_string(i));
    Source source(files);
    site.Set("ThreadsCount", "auto");
    RunResult run = site.RunFolder(source.folder.dir(), "/www/");
    EXPECT_EQ(run.succeeded, row.files);
    EXPECT_EQ(Sorted(site.RecordLines()), source.ExpectedRecord());
    EXPECT_GE(SessionCount(server), 4) << "Auto starts with four connections";
    EXPECT_EQ(CountCommands(server, "(connect)"), row.turned_away);
  }
}

TEST_F(DropvanServerTest, SeveralWorkersUploadInParallelAndKeepTheRecordConsistent) {
  START_SERVER();
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 0; i < 60; ++i) {
    files.emplace_back("d" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".bin",
                       Binary(1000 + i * 997) + std::to_string(i));
  }
  Source source(files);
  site->Set("ThreadsCount", "4");
  RunResult run = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run.succeeded, 60);
  EXPECT_EQ(run.failed, 0);
  for (const auto& [name, content] : files) {
    EXPECT_TRUE(ServerFile(*server, "www/" + name) == content) << name << " differs on the server";
  }
  EXPECT_LE(SessionCount(*server), 4) << "one connection per worker, kept from file to file";
  EXPECT_EQ(Sorted(site->RecordLines()), source.ExpectedRecord());
  EXPECT_EQ(Sorted(site->UploadListLines()), source.AllPaths());

  RunResult again = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(again.succeeded, 60);
  EXPECT_EQ(CountCommands(*server, "STOR"), 60);
}

// MaxRate caps what the run sends; a value it cannot read sends nothing
// rather than send without the cap the user asked for.
TEST_F(DropvanServerTest, AMaxRateThatIsNoRateSendsNothingAndSaysWhy) {
  START_SERVER();
  Source source({{"a.txt", "alpha"}, {"b.txt", "beta"}});
  site->Set("MaxRate", "fast");
  RunResult run = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run.failed, 2);
  EXPECT_EQ(run[source.Path("a.txt")].text,
            "MaxRate \"fast\" is not a rate (bytes per second, or with K or M: 500K, 2M; 0: no cap); nothing was sent");
  EXPECT_EQ(SessionCount(*server), 0);

  site->Set("MaxRate", "1M");
  EXPECT_EQ(site->RunFolder(source.folder.dir(), "/www/").succeeded, 2) << "a rate it reads is no refusal";
}

TEST_F(DropvanServerTest, UnreadableRecordRefusesTheRunAndIsLeftAlone) {
  START_SERVER();
  Source source({{"a.txt", "alpha"}, {"b.txt", "beta"}});
  // A folder where the record file should be: it exists and cannot be read
  // (file permissions would not stop a test run as root).
  fs::create_directories(site->RecordFile());
  std::ofstream(fs::path(site->RecordFile()) / "inside.txt") << "untouched";

  RunResult run = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run.failed, 2);
  EXPECT_EQ(run.succeeded, 0);
  EXPECT_EQ(run[source.Path("a.txt")].text.rfind("[Error]Cannot read the upload record", 0), 0u)
      << run[source.Path("a.txt")].text;
  EXPECT_EQ(SessionCount(*server), 0) << "nothing may be uploaded in a refused run";
  EXPECT_EQ(ReadFileBytes((fs::path(site->RecordFile()) / "inside.txt").string()), "untouched");
  EXPECT_FALSE(fs::exists(site->UploadListFile()));
  for (const auto& entry : fs::directory_iterator(fs::path(site->RecordFile()).parent_path())) {
    EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << "stray " << entry.path();
  }
}

TEST_F(DropvanServerTest, LineBreakInAFileNameFailsThatFileAndSendsNothingOfIt) {
  START_SERVER();
  fs::create_directories(server->root() / "www");
  std::ofstream(server->root() / "www" / "keep.txt") << "keep";
  Source source({{"evil\r\nDELE keep.txt", "payload"}, {"ok.txt", "fine"}});
  site->Set("ThreadsCount", "1");
  RunResult run = site->RunFolder(source.folder.dir(), "/www/");
  EXPECT_EQ(run[source.Path("evil\r\nDELE keep.txt")].state, TrkNode::kFailure);
  EXPECT_EQ(run[source.Path("evil\r\nDELE keep.txt")].text.rfind("[Error]", 0), 0u);
  EXPECT_EQ(run[source.Path("ok.txt")].text, "/www/ok.txt");
  for (const std::string& command : server->Commands()) {
    EXPECT_EQ(command.find("evil"), std::string::npos) << command;
    EXPECT_NE(command.rfind("DELE", 0), 0u) << command;
  }
  EXPECT_EQ(ServerFile(*server, "www/keep.txt"), "keep");
  EXPECT_EQ(site->RecordLines(), std::vector<std::string>{RecordLine(source.Path("ok.txt"), "fine")});
}

// ---- A widely deployed server ---------------------------------------------

TEST(DropvanVsftpdTest, EveryFileArrivesBitForBit) {
  FtpServer server(FtpServer::Kind::kVsftpd);
  DROPVAN_REQUIRE_FTP_SERVER(server);
  Source source({{"index.html", "<p>\r\n"}, {"img/a b.bin", Binary(200000)}, {"img/x/empty", ""}});
  SyncProject site(&server);
  site.Set("ThreadsCount", "2");
  const std::string target = server.writable_dir() + "www/";
  RunResult run = site.RunFolder(source.folder.dir(), target);
  EXPECT_EQ(run.succeeded, 3) << run[source.Path("index.html")].text;
  for (const auto& [name, content] : source.files) {
    EXPECT_EQ(run[source.Path(name)].text, target + name);
    EXPECT_TRUE(ServerFile(server, target.substr(1) + name) == content) << name << " differs on vsftpd";
  }
  EXPECT_EQ(Sorted(site.RecordLines()), source.ExpectedRecord());
}

}  // namespace
