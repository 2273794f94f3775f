// The window run as a process: the window library is loaded only for it, and a
// run that cannot have a window says how to run without one.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "app/program.h"
#include "dropvan_process.h"
#include "project/project.h"
#include "support/ftp_server.h"
#include "support/temp_dir.h"

namespace {

using testing_support::DropvanCopy;
using testing_support::FtpServer;
using testing_support::ProcessResult;
using testing_support::TempDir;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class WindowRunTest : public ::testing::Test {
 protected:
  // An unattended window project for the site (or `source`), against `server`.
  std::string Project(const FtpServer& server, const std::string& mode, std::string source = "",
                      std::string log = "") {
    if (source.empty()) source = site_.dir() + "*";
    if (log.empty()) log = log_;
    return app_.WriteProject(work_.dir() + "site.batch-dropvan",
                             {"Source=" + source, "Target=/www/", "Server=" + server.host(),
                              "Port=" + std::to_string(server.port()), "User=" + server.user(),
                              "Password=" + server.password(), "LogFile=" + log, mode});
  }

  void SetUp() override {
    if (!DropvanCopy::WindowLibraryBuilt()) GTEST_SKIP() << "this build has no window";
  }

  DropvanCopy app_;
  TempDir site_, work_;
  const std::string log_ = work_.dir() + "run.log";
};

TEST(WindowRefusalTest, WithoutADisplayOrTheLibraryItSaysHowToRunWithoutAWindow) {
  TempDir site;
  struct Row {
    std::string env;  // what the session has
    bool library;
    std::string says;
  };
  for (const Row& row : {Row{"", true, "cannot open the window: no display (DISPLAY is not set)"},
                         Row{"DISPLAY=:dropvan-test", true,
                             "cannot open the window: the display \":dropvan-test\" does not answer"},
                         Row{"QT_QPA_PLATFORM=xcb", true, "cannot open the window: no display (DISPLAY is not set)"},
                         Row{"QT_QPA_PLATFORM=offscreen", false, "cannot load the window"}}) {
    DropvanCopy app;
    if (!row.env.empty()) app.SetEnv(row.env);
    if (row.library) app.AddWindowLibrary();
    ProcessResult run = app.Run({site.dir()});
    EXPECT_EQ(1, run.exit_code) << row.env;
    EXPECT_TRUE(Contains(run.err, "Dropvan: " + row.says)) << row.env << ": " << run.err;
    EXPECT_TRUE(Contains(run.err, "PureConsole=True")) << "must name the console run: " << run.err;
    EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << "one line: " << run.err;
    // The command line it gives runs in the console.
    const size_t from = run.err.find("\"-P:");
    ASSERT_NE(std::string::npos, from) << "no -P: command line: " << run.err;
    TrkProject advised(app.exe());
    TrkSetProjectIdentity(advised);
    advised.ParseCommandLine(run.err.substr(from + 1, run.err.find('"', from + 1) - from - 1));
    EXPECT_EQ(TrkRunMode::kConsole, TrkChooseRunMode(advised)) << run.err;
    EXPECT_EQ("/www/", advised.GetTargetDir());
  }
}

TEST_F(WindowRunTest, RunAndCloseUploadsWritesTheLogAndEndsWithTheToolkitLoadedOnlyHere) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  site_.Write("a.txt", "a");
  app_.AddWindowLibrary();
  app_.SetEnv("QT_QPA_PLATFORM=offscreen");
  app_.SetEnv("LD_DEBUG=files");  // the loader names every library it maps
  ProcessResult window = app_.Run({Project(server, "RunAndClose=True")});
  EXPECT_EQ(0, window.exit_code) << window.err;
  EXPECT_EQ("[Success] => " + site_.dir() + "a.txt => /www/a.txt\r\n", testing_support::ReadWholeFile(log_));
  EXPECT_TRUE(Contains(window.err, "libQt6Widgets")) << "the window run must load the toolkit";

  ProcessResult console = app_.Run({Project(server, "PureConsole=True")});
  EXPECT_EQ(0, console.exit_code) << console.err;
  EXPECT_EQ("Success => " + site_.dir() + "a.txt => File identical.\r\n", testing_support::ReadWholeFile(log_));
  EXPECT_FALSE(Contains(console.err, "libQt")) << "a console run mapped Qt";
  // FTP is the program's own; the TLS library is mapped only when a transfer needs it.
  EXPECT_FALSE(Contains(window.err + console.err, "libssl")) << "plain FTP mapped the TLS library";
}

TEST_F(WindowRunTest, PureConsoleWithHttpInTheSourceRunsInAnInvisibleWindow) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  site_.Write("httpdocs/index.html", "<p>");
  app_.AddWindowLibrary();
  app_.SetEnv("QT_QPA_PLATFORM=offscreen");
  ProcessResult run = app_.Run({Project(server, "PureConsole=True", site_.dir() + "httpdocs/*")});
  EXPECT_EQ(0, run.exit_code) << run.err;
  EXPECT_EQ("[Success] => " + site_.dir() + "httpdocs/index.html => /www/index.html\r\n",
            testing_support::ReadWholeFile(log_));
}

TEST_F(WindowRunTest, AnUnattendedRunWhoseLogCannotBeWrittenExitsOne) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  app_.AddWindowLibrary();
  app_.SetEnv("QT_QPA_PLATFORM=offscreen");
  ProcessResult run = app_.Run({Project(server, "RunAndClose=True", "", work_.dir() + "missing/run.log")});
  EXPECT_EQ(1, run.exit_code) << run.err;
  EXPECT_TRUE(Contains(run.err, "missing/run.log\" could not be written")) << run.err;
}

}  // namespace
