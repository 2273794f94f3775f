#include "app/program.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "dropvan_process.h"
#include "project/project.h"
#include "select/file_utils.h"
#include "support/ftp_server.h"
#include "support/temp_dir.h"

namespace {

using testing_support::DropvanCopy;
using testing_support::ProcessResult;
using testing_support::ReadCrLfLines;
using testing_support::ReadWholeFile;
using testing_support::TempDir;

const char kWindowLine[] = "Dropvan: cannot open the window: no display";

// ---- The run-mode decision ----

struct ModeRow {
  const char* pure_console;
  const char* source;
  TrkRunMode expected;
};

class RunModeTest : public ::testing::TestWithParam<ModeRow> {};

TEST_P(RunModeTest, FollowsPureConsoleAndHttpInSource) {
  TrkProject project("");
  project.Options().Set("PureConsole", GetParam().pure_console);
  project.Options().Set("Source", GetParam().source);
  EXPECT_EQ(GetParam().expected, TrkChooseRunMode(project))
      << "PureConsole=" << GetParam().pure_console << " Source=" << GetParam().source;
}

INSTANTIATE_TEST_SUITE_P(
    Table, RunModeTest,
    ::testing::Values(ModeRow{"True", "/srv/site/*.*", TrkRunMode::kConsole},
                      ModeRow{"true", "/srv/site/*.*", TrkRunMode::kConsole},
                      ModeRow{"1", "/srv/site/*.*", TrkRunMode::kConsole},
                      ModeRow{"True", "/srv/httpdocs/*.*", TrkRunMode::kWindow},
                      ModeRow{"True", "http://example.test/page.html", TrkRunMode::kWindow},
                      ModeRow{"True", "/srv/HTTPDOCS/*.*", TrkRunMode::kConsole},
                      ModeRow{"True", "/srv/Http/*.*", TrkRunMode::kConsole},
                      ModeRow{"False", "/srv/site/*.*", TrkRunMode::kWindow},
                      ModeRow{"", "/srv/site/*.*", TrkRunMode::kWindow},
                      ModeRow{"0", "/srv/site/*.*", TrkRunMode::kWindow}));

// ---- The program as a process ----

class ProgramTest : public ::testing::Test {
 protected:
  // A console project for the (empty unless a test fills it) site.
  std::vector<std::string> ConsoleProject(const std::string& log) const {
    return {"Source=" + site_.dir() + "*.*", "Target=/www/", "PureConsole=True", "LogFile=" + log,
            "Server=127.0.0.1", "Port=" + std::to_string(ClosedPort()), "TryTimes=0"};
  }
  std::string ProjectFile(const std::vector<std::string>& lines) const {
    return app_.WriteProject(work_.dir() + "site.batch-dropvan", lines);
  }
  // A port on 127.0.0.1 that is bound but never listens: connections are refused.
  int ClosedPort() const {
    if (closed_port_ == 0) {
      closed_socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t length = sizeof address;
      bind(closed_socket_, reinterpret_cast<sockaddr*>(&address), length);
      getsockname(closed_socket_, reinterpret_cast<sockaddr*>(&address), &length);
      closed_port_ = ntohs(address.sin_port);
    }
    return closed_port_;
  }
  ~ProgramTest() override {
    if (closed_socket_ >= 0) close(closed_socket_);
  }
  static bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }

  DropvanCopy app_;
  TempDir site_;
  TempDir work_;
  const std::string log_ = work_.dir() + "run.log";
  mutable int closed_socket_ = -1;
  mutable int closed_port_ = 0;
};

TEST_F(ProgramTest, ConsoleRunOfAnEmptySiteWritesAnEmptyLogSaysSoAndExitsZero) {
  app_.RecordLinks();
  const std::string project = ProjectFile(ConsoleProject(log_));
  ProcessResult run = app_.Run({project});

  EXPECT_EQ(0, run.exit_code) << run.err;
  const std::string site = site_.dir().substr(0, site_.dir().size() - 1);
  EXPECT_EQ("Source " + site + " lists no files\n", run.err) << "an unmounted disk must not pass in silence";
  EXPECT_EQ("", run.out) << "a console run writes nothing to the console";
  ASSERT_TRUE(std::filesystem::exists(log_));
  EXPECT_EQ(0u, std::filesystem::file_size(log_));
  EXPECT_TRUE(app_.Links(1, std::chrono::milliseconds(500)).empty()) << "no failure, no report";
  EXPECT_EQ("1", app_.Counter("R"));
  EXPECT_EQ("1", app_.Counter("C"));
  EXPECT_EQ("0", app_.Counter("A"));
  EXPECT_EQ("0", app_.Counter("S"));
  EXPECT_EQ("0", app_.Counter("F"));
  EXPECT_EQ(std::vector<std::string>{project}, ReadCrLfLines(app_.RecentList()));
}

TEST_F(ProgramTest, FailedFilesAreLoggedReportedAndStillExitZero) {
  app_.RecordLinks();
  site_.Write("a.txt", "a");
  site_.Write("sub/b.txt", "b");
  std::vector<std::string> options = ConsoleProject(log_);
  options.push_back("Subdir=True");
  ProcessResult run = app_.Run({ProjectFile(options)});

  EXPECT_EQ(0, run.exit_code) << run.err;
  // Standard error says why, once for both files: a cron mail tells what to mend.
  EXPECT_EQ(run.err.rfind("2 files failed: Failed to connect to 127.0.0.1 port " + std::to_string(ClosedPort()), 0),
            0u) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  std::vector<std::string> lines = ReadCrLfLines(log_);
  ASSERT_EQ(2u, lines.size());
  for (const std::string& line : lines) {
    EXPECT_EQ(0u, line.find("Failure => " + site_.dir())) << line;
    EXPECT_TRUE(Contains(line, "[Error]")) << line;
  }
  std::vector<std::string> links = app_.Links(1);
  ASSERT_EQ(1u, links.size()) << "one failure report";
  EXPECT_EQ(0u, links[0].find("https://dropvan.example/net/?a=err&e=[Error]")) << links[0];
  EXPECT_EQ("2", app_.Counter("A"));
  EXPECT_EQ("0", app_.Counter("S"));
  EXPECT_EQ("2", app_.Counter("F"));
  EXPECT_EQ("1", app_.Counter("C"));
}

// Cron jobs tell a run with failed files by its exit code when they ask for it.
TEST_F(ProgramTest, FailureExitCodeIsTheExitCodeOfARunWithFailedFiles) {
  struct Row {
    const char* option;
    bool with_file;
    int exit_code;
  } rows[] = {
      {"", true, 0},                         // as before: failures still exit 0
      {"FailureExitCode=2", true, 2},        // the recommended setting
      {"FailureExitCode=0", true, 0},
      {"FailureExitCode=255", true, 255},    // the largest exit code there is
      {"FailureExitCode=256", true, 1},      // would reach the shell as 0
      {"FailureExitCode=300", true, 1},      // no exit code: still not success
      {"FailureExitCode=-1", true, 1},
      {"FailureExitCode=2", false, 0},       // nothing failed
  };
  for (const Row& row : rows) {
    if (row.with_file) {
      site_.Write("a.txt", "a");
    } else {
      std::filesystem::remove(site_.path() / "a.txt");
    }
    std::vector<std::string> options = ConsoleProject(log_);
    if (*row.option != '\0') options.push_back(row.option);
    ProcessResult run = app_.Run({ProjectFile(options)});
    EXPECT_EQ(row.exit_code, run.exit_code) << row.option << (row.with_file ? " with" : " without")
                                            << " a failing file: " << run.err;
  }
}

TEST_F(ProgramTest, HttpInSourceSelectsTheWindowWhichNeedsADisplay) {
  std::vector<std::string> options = ConsoleProject(log_);
  options[0] = "Source=" + site_.dir() + "httpdocs/*.*";
  ProcessResult run = app_.Run({ProjectFile(options)});

  EXPECT_EQ(1, run.exit_code);
  EXPECT_EQ(0u, run.err.find(kWindowLine)) << run.err;
  EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << "one line: " << run.err;
  EXPECT_FALSE(std::filesystem::exists(log_)) << "no console run took place";
}

TEST_F(ProgramTest, HttpInCapitalsStillRunsInTheConsole) {
  std::filesystem::create_directories(site_.path() / "HTTPDOCS");
  std::vector<std::string> options = ConsoleProject(log_);
  options[0] = "Source=" + site_.dir() + "HTTPDOCS/*.*";
  ProcessResult run = app_.Run({ProjectFile(options)});

  EXPECT_EQ(0, run.exit_code) << run.err;
  EXPECT_TRUE(std::filesystem::exists(log_));
}

TEST_F(ProgramTest, OptionsOnTheCommandLineSeparatedByCommaAndSemicolon) {
  // The default project would write another log, had it been loaded.
  app_.WriteProject(app_.DefaultProject(), ConsoleProject(work_.dir() + "default.log"));
  // A log named without a folder goes to the current folder.
  const std::string arg = "-p:PureConsole=1;Source=" + site_.dir() + "*.*,Target=/www/;LogFile=run.log";
  ProcessResult run = app_.Run({arg}, work_.path().string());

  EXPECT_EQ(0, run.exit_code) << run.err;
  EXPECT_TRUE(std::filesystem::exists(log_)) << "the options of the argument were used";
  EXPECT_FALSE(std::filesystem::exists(work_.dir() + "default.log"));
  EXPECT_EQ("", ReadWholeFile(app_.RecentList())) << "no project file was opened";
}

class IgnoredArgumentTest : public ProgramTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(IgnoredArgumentTest, LoadsTheDefaultProjectBesideTheProgram) {
  app_.WriteProject(app_.DefaultProject(), ConsoleProject(log_));
  ProcessResult run = app_.Run({GetParam()});

  EXPECT_EQ(0, run.exit_code) << "argument '" << GetParam() << "': " << run.err;
  EXPECT_TRUE(std::filesystem::exists(log_)) << "argument '" << GetParam() << "' did not run the default project";
}

INSTANTIATE_TEST_SUITE_P(OneCharacterUnknownSwitchEmptyOptions, IgnoredArgumentTest,
                         ::testing::Values("x", "-", "-Z", "-zebra", "-P", "-P:"));

TEST_F(ProgramTest, NoArgumentLoadsTheDefaultProject) {
  app_.WriteProject(app_.DefaultProject(), ConsoleProject(log_));
  ProcessResult run = app_.Run({});
  EXPECT_EQ(0, run.exit_code) << run.err;
  EXPECT_TRUE(std::filesystem::exists(log_));
  EXPECT_EQ(std::vector<std::string>{app_.DefaultProject()}, ReadCrLfLines(app_.RecentList()));
}

TEST_F(ProgramTest, FolderAsArgumentBecomesTheSourceOfAWindowRun) {
  app_.WriteProject(app_.DefaultProject(), ConsoleProject(log_));
  ProcessResult run = app_.Run({site_.path().string()});

  EXPECT_EQ(1, run.exit_code) << "the default project (a console one) must not be loaded";
  EXPECT_EQ(0u, run.err.find(kWindowLine)) << run.err;
  EXPECT_FALSE(std::filesystem::exists(log_));
}

TEST_F(ProgramTest, UnreadableProjectFileLeavesNoOptionsAndFallsToTheWindow) {
  ProcessResult run = app_.Run({work_.dir() + "missing.batch-dropvan"});
  EXPECT_EQ(1, run.exit_code);
  EXPECT_EQ(0u, run.err.find(kWindowLine)) << run.err;
}

TEST_F(ProgramTest, InstallAndUninstallNoticesOpenTheirLinkAndEnd) {
  app_.RecordLinks();
  app_.WriteProject(app_.DefaultProject(), ConsoleProject(log_));
  const std::string stamp = std::to_string(TrkFileUtils::FileDate(app_.dir().string(), true, true));

  ProcessResult install = app_.Run({"-Isource=cd&lang=en"});
  EXPECT_EQ(0, install.exit_code) << install.err;
  EXPECT_EQ("", install.err);
  std::vector<std::string> links = app_.Links(1);
  ASSERT_EQ(1u, links.size());
  EXPECT_EQ("https://dropvan.example/net/?a=ins&p=dropvan&v=2024.16.1026.3528&c=r1&i=" + stamp +
                "&source=cd&lang=en",
            links[0]);

  ProcessResult uninstall = app_.Run({"-u"});
  EXPECT_EQ(0, uninstall.exit_code) << uninstall.err;
  links = app_.Links(2);
  ASSERT_EQ(2u, links.size());
  EXPECT_EQ("https://dropvan.example/net/?a=uni&p=dropvan&v=2024.16.1026.3528&c=r2&i=" + stamp, links[1]);

  EXPECT_FALSE(std::filesystem::exists(log_)) << "a notice runs no project";
  EXPECT_EQ("", app_.Counter("C"));
}

// "--check PROJECT": the check's findings on standard output, its verdict as the exit code.
TEST_F(ProgramTest, CheckReadsTheProjectAfterItAndExitsWithTheVerdict) {
  testing_support::FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  const std::vector<std::string> account = {"Server=127.0.0.1", "Port=" + std::to_string(server.port()),
                                            "User=" + server.user(), "Password=" + server.password(),
                                            "Target=" + server.writable_dir() + "www"};
  std::vector<std::string> closed = account;
  closed[1] = "Port=" + std::to_string(ClosedPort());
  struct Row {
    std::vector<std::string> project;  // none: no project named
    int exit_code;
    std::string out_ends, err;
  } rows[] = {
      {account, 0, "verdict: an upload would work as configured\n", ""},
      {closed, 1, "verdict: an upload would fail as configured: no login\n", ""},
      {{}, 1, "", "Usage: dropvan --check PROJECT.batch-dropvan\n"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = {"--check"};
    if (!row.project.empty()) args.push_back(ProjectFile(row.project));
    ProcessResult run = app_.Run(args);
    EXPECT_EQ(row.exit_code, run.exit_code) << run.out << run.err;
    EXPECT_TRUE(run.out.ends_with(row.out_ends)) << run.out;
    EXPECT_EQ(row.err, run.err);
  }
}

// A console run whose destination another run has locked (ServerLock)
// exits 1 saying who holds it; --break-lock removes a killed run's lock, and
// the next run goes up and lets its own lock go.
TEST_F(ProgramTest, ALockedServerEndsTheRunWithOneUntilTheLockIsBroken) {
  testing_support::FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  site_.Write("index.html", "page");
  std::vector<std::string> options = ConsoleProject(log_);
  std::erase_if(options, [](const std::string& line) {
    return line.starts_with("Port=") || line.starts_with("Server=") || line.starts_with("Target=");
  });
  for (const std::string& line : {std::string("Server=127.0.0.1"), "Port=" + std::to_string(server.port()), "User=" + server.user(),
                                  "Password=" + server.password(), "Target=" + server.writable_dir() + "www/",
                                  std::string("ServerLock=True")}) {
    options.push_back(line);
  }
  const std::string project = ProjectFile(options);
  const std::filesystem::path www = server.root() / (server.writable_dir().substr(1) + "www");
  std::filesystem::create_directories(www / ".dropvan-lock");
  std::ofstream(www / ".dropvan-lock" / "deploy@ci-runner-7+99+20260101T120000Z+20260101T120100Z") << "";
  struct Step {
    std::vector<std::string> args;
    int exit_code;
    std::string err_has, out_starts;
  } steps[] = {
      {{project}, 1, "Dropvan: the server is locked by deploy@ci-runner-7 since ", ""},
      {{"--break-lock", project}, 0, "", "removed the lock of deploy@ci-runner-7 since "},
      {{project}, 0, "", ""},
      {{"--break-lock", project}, 0, "", "the server is not locked"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.args.front());
    ProcessResult run = app_.Run(step.args);
    EXPECT_EQ(step.exit_code, run.exit_code) << run.out << run.err;
    EXPECT_TRUE(Contains(run.err, step.err_has)) << run.err;
    EXPECT_EQ(run.out.rfind(step.out_starts, 0), 0u) << run.out;
  }
  EXPECT_TRUE(std::filesystem::exists(www / "index.html"));
}

TEST_F(ProgramTest, EmptyTargetUploadsNothingAndExitsOne) {
  site_.Write("a.txt", "a");
  std::vector<std::string> options = ConsoleProject(log_);
  options[1] = "Target=";
  ProcessResult run = app_.Run({ProjectFile(options)});

  EXPECT_EQ(1, run.exit_code);
  EXPECT_EQ("Dropvan: Target is empty\n", run.err);
  ASSERT_TRUE(std::filesystem::exists(log_));
  EXPECT_EQ(0u, std::filesystem::file_size(log_)) << "the log is written, and empty";
  EXPECT_EQ("", app_.Counter("C")) << "no run started";
}

TEST_F(ProgramTest, UnwritableLogExitsOneAndStillWritesTheRecentList) {
  site_.Write("a.txt", "a");
  const std::string project = ProjectFile(ConsoleProject(work_.dir() + "no/such/folder/run.log"));
  ProcessResult run = app_.Run({project});

  EXPECT_EQ(1, run.exit_code);
  EXPECT_EQ(0u, run.err.find("Dropvan: ")) << run.err;
  EXPECT_TRUE(Contains(run.err, "no/such/folder/run.log")) << "the message names the file: " << run.err;
  EXPECT_EQ(std::vector<std::string>{project}, ReadCrLfLines(app_.RecentList()))
      << "the usual shutdown still ran";
  EXPECT_EQ("1", app_.Counter("A")) << "the counters were written before the log failed";
}

TEST_F(ProgramTest, LogFileIsWrittenWholeEachRun) {
  site_.Write("a.txt", "a");
  const std::string project = ProjectFile(ConsoleProject(log_));
  ASSERT_EQ(0, app_.Run({project}).exit_code);
  ASSERT_EQ(0, app_.Run({project}).exit_code);
  EXPECT_EQ(1u, ReadCrLfLines(log_).size()) << "the log is replaced, never appended to";
  EXPECT_EQ("2", app_.Counter("C"));
  EXPECT_EQ("2", app_.Counter("R"));
}

}  // namespace
