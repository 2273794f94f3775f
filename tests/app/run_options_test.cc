// Options and surroundings that change what a console run does without
// changing what it is: a dry run that decides but sends and records nothing,
// Exclude, which leaves files and whole folders out of the listing, a .netrc
// for the account, and a progress line when a person watches a terminal. Real
// runs of the program against pyftpdlib on 127.0.0.1.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "dropvan_process.h"
#include "support/ftp_server.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing_support::DropvanCopy;
using testing_support::FtpServer;
using testing_support::ProcessResult;
using testing_support::ReadCrLfLines;
using testing_support::ReadWholeFile;
using testing_support::TempDir;

class RunOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server_.available()) GTEST_SKIP() << server_.why_unavailable();
  }
  // A run with the server's account in the project unless `credentials` is false.
  ProcessResult Run(const std::vector<std::string>& extra, bool credentials = true) const {
    std::vector<std::string> options = {"Source=" + site_.dir() + "*.*", "Subdir=True", "Target=" + Remote(),
                                        "Server=127.0.0.1", "Port=" + std::to_string(server_.port()),
                                        "LogFile=" + log_, "PureConsole=True", "ThreadsCount=2"};
    if (credentials) options.insert(options.end(), {"User=" + server_.user(), "Password=" + server_.password()});
    options.insert(options.end(), extra.begin(), extra.end());
    return app_.Run({app_.WriteProject(project_, options)}, work_.path().string());
  }
  std::string Remote() const { return server_.writable_dir() + "www"; }
  fs::path Served(const std::string& relative) const {
    return server_.root() / (server_.writable_dir().substr(1) + "www") / relative;
  }
  // The log's lines in name order (workers finish in any order).
  std::vector<std::string> SortedLog() const {
    std::vector<std::string> lines = ReadCrLfLines(log_);
    std::sort(lines.begin(), lines.end());
    return lines;
  }
  std::string Line(const std::string& relative, const std::string& result) const {
    return "Success => " + site_.dir() + relative + " => " + result;
  }

  FtpServer server_;
  DropvanCopy app_;
  TempDir site_;
  TempDir work_;
  const std::string project_ = work_.dir() + "site.batch-dropvan";
  const std::string log_ = work_.dir() + "run.log";
};

TEST_F(RunOptionsTest, DryRunDecidesAsARunWouldButSendsAndRecordsNothing) {
  site_.Write("a.txt", "first");
  site_.Write("sub/b.txt", "b");
  ProcessResult dry = Run({"DryRun=True"});
  ASSERT_EQ(0, dry.exit_code) << dry.err;
  EXPECT_EQ(SortedLog(), (std::vector<std::string>{Line("a.txt", "Would upload to " + Remote() + "/a.txt"),
                                                   Line("sub/b.txt", "Would upload to " + Remote() + "/sub/b.txt")}));
  EXPECT_TRUE(server_.Commands().empty()) << "a dry run connected; first command: " << server_.Commands()[0];
  for (const char* suffix : {".ini", ".ini.old", ".log"}) {
    EXPECT_FALSE(fs::exists(project_ + suffix)) << "a dry run wrote " << project_ << suffix;
  }

  ASSERT_EQ(0, Run({}).exit_code);
  const std::string record = ReadWholeFile(project_ + ".ini");
  site_.Write("a.txt", "second");
  const size_t commands = server_.Commands().size();
  ProcessResult changed = Run({"DryRun=True"});
  ASSERT_EQ(0, changed.exit_code) << changed.err;
  EXPECT_EQ(SortedLog(), (std::vector<std::string>{Line("a.txt", "Would upload to " + Remote() + "/a.txt"),
                                                   Line("sub/b.txt", "File identical.")}));
  EXPECT_EQ(server_.Commands().size(), commands) << "a dry run sent commands";
  EXPECT_EQ(ReadWholeFile(Served("a.txt").string()), "first") << "a dry run changed the server's copy";
  EXPECT_EQ(ReadWholeFile(project_ + ".ini"), record) << "a dry run changed the record";
  EXPECT_FALSE(fs::exists(project_ + ".ini.old")) << "a dry run wrote the record's backup";
  ASSERT_EQ(0, Run({"DryRun=True", "IsSyncAll=True"}).exit_code);
  EXPECT_EQ(SortedLog().back(), Line("sub/b.txt", "Would upload to " + Remote() + "/sub/b.txt")) << "IsSyncAll";
}

TEST_F(RunOptionsTest, ExcludeLeavesOutMatchingFilesAndNeverEntersMatchingFolders) {
  for (const char* file : {"index.html", "app.js", "app.js.map", "node_modules/x/y.js", "lib/ok.js",
                           "lib/node_modules_notes.txt", "cache/page.html"}) {
    site_.Write(file, file);
  }
  struct Row {
    std::string exclude;
    std::vector<std::string> listed;
  } rows[] = {
      {"", {"app.js", "app.js.map", "cache/page.html", "index.html", "lib/node_modules_notes.txt", "lib/ok.js",
            "node_modules/x/y.js"}},
      {"/node_modules/|\\.map$", {"app.js", "cache/page.html", "index.html", "lib/node_modules_notes.txt", "lib/ok.js"}},
      // Only the folder's own path ends in "/cache/": its file is out because the folder was not entered.
      {"/cache/$", {"app.js", "app.js.map", "index.html", "lib/node_modules_notes.txt", "lib/ok.js",
                    "node_modules/x/y.js"}},
      {"\\.JS$", {"app.js.map", "cache/page.html", "index.html", "lib/node_modules_notes.txt"}},  // any case
  };
  for (const Row& row : rows) {
    fs::remove(project_ + ".ini");
    ProcessResult run = Run({"Exclude=" + row.exclude, "NoUpload=True"});
    ASSERT_EQ(0, run.exit_code) << row.exclude << ": " << run.err;
    std::vector<std::string> listed;
    for (const std::string& line : SortedLog()) {
      const size_t start = line.find(site_.dir()) + site_.dir().size();
      listed.push_back(line.substr(start, line.find(" => ", start) - start));
    }
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, row.listed) << "Exclude=" << row.exclude;
  }
}

TEST_F(RunOptionsTest, InvalidExcludeRefusesTheRunBeforeAnythingIsListed) {
  site_.Write("a.txt", "a");
  work_.Write("run.log", "Success => an earlier run\r\n");
  ProcessResult run = Run({"Exclude=(unclosed"});
  EXPECT_EQ(1, run.exit_code);
  EXPECT_NE(run.err.find("Exclude is not a valid regular expression"), std::string::npos) << run.err;
  EXPECT_TRUE(ReadCrLfLines(log_).empty()) << "the log is written empty";
  EXPECT_TRUE(server_.Commands().empty()) << "nothing was sent";
}

TEST_F(RunOptionsTest, NetrcGivesTheAccountAProjectLeavesOut) {
  site_.Write("a.txt", "a");
  const std::string netrc = work_.dir() + "netrc";
  app_.SetEnv("NETRC=" + netrc);
  struct Row {
    mode_t mode;
    const char* password;  // the .netrc's; empty: the server's
    bool in_project;       // the project gives the account itself
    bool uploaded;
  } rows[] = {
      {0600, "", false, true},
      {0644, "", false, false},       // others may read it: not used
      {0600, "stale", true, true},    // the project's account comes first
  };
  for (const Row& row : rows) {
    work_.Write("netrc", "machine 127.0.0.1 login " + server_.user() + " password " +
                             (*row.password != '\0' ? row.password : server_.password()) + "\n");
    chmod(netrc.c_str(), row.mode);
    fs::remove(project_ + ".ini");
    ProcessResult run = Run({"TryTimes=0"}, row.in_project);
    ASSERT_EQ(0, run.exit_code) << run.err;
    const std::vector<std::string> log = ReadCrLfLines(log_);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("Success", 0) == 0, row.uploaded) << std::oct << row.mode << ": " << log[0];
    EXPECT_EQ(log[0].find("was ignored: others may read it") != std::string::npos, !row.uploaded) << log[0];
  }
}

// Runs `exe project` with its standard error on a new pseudo-terminal `columns`
// wide, as a person starting it by hand would; returns what the terminal received.
std::string RunOnTerminal(const std::string& exe, const std::string& project, const std::string& cwd,
                          unsigned short columns) {
  int master = -1;
  winsize size{};
  size.ws_row = 24;
  size.ws_col = columns;
  const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
  if (pid == 0) {
    // Standard output sent elsewhere: the line is for standard error's terminal.
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || dup2(null, STDOUT_FILENO) < 0 || chdir(cwd.c_str()) != 0) _exit(126);
    execl(exe.c_str(), exe.c_str(), project.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string output;
  char buffer[4096];
  for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<size_t>(n));
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << ": " << output;
  return output;
}

TEST_F(RunOptionsTest, AProgressLineOnATerminalOnlyAndClearedAtTheEnd) {
  for (int i = 0; i < 30; ++i) site_.Write("f" + std::to_string(i) + ".txt", std::string(1000, 'x'));
  ProcessResult piped = Run({});
  ASSERT_EQ(0, piped.exit_code);
  EXPECT_EQ(piped.err, "") << "standard error is no terminal: nothing more is written";

  fs::remove(project_ + ".ini");
  // No wider than the shortest line ("0 of 0+ files"): every drawing is cut.
  constexpr size_t kColumns = 13;
  const std::string shown = RunOnTerminal(app_.exe(), project_, work_.dir(), kColumns);
  ASSERT_NE(shown.find(" of "), std::string::npos) << "no progress line: " << shown;
  EXPECT_EQ(shown.rfind("\r\x1b[K"), shown.size() - 4) << "the line is not cleared at the end: " << shown;
  for (size_t at = shown.find('\r'); at < shown.size() - 4; at = shown.find('\r', at + 1)) {
    const std::string drawn = shown.substr(at + 1, shown.find("\x1b[K", at) - at - 1);
    EXPECT_EQ(drawn.size(), kColumns - 1) << "cut to leave the last column free: " << drawn;
  }
  EXPECT_EQ(shown.find('\n'), std::string::npos) << "the line must be redrawn in place: " << shown;
  EXPECT_EQ(ReadCrLfLines(log_).size(), 30u) << "the run itself is unchanged";
}

}  // namespace
