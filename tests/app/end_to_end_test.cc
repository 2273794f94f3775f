// The dropvan program against real FTP servers on 127.0.0.1: console runs started
// with a project file or with "-P:" options upload a nested site, and a second
// run finds every file unchanged without connecting at all.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "dropvan_process.h"
#include "support/ftp_server.h"
#include "support/temp_dir.h"

namespace {

using testing_support::DropvanCopy;
using testing_support::FtpFaults;
using testing_support::FtpServer;
using testing_support::ProcessResult;
using testing_support::ReadCrLfLines;
using testing_support::ReadWholeFile;
using testing_support::TempDir;

enum class StartForm { kProjectFile, kCommandLineOptions };

// Relative path -> content of every file of the sample site.
std::map<std::string, std::string> SampleSite() {
  std::string binary;
  for (int i = 0; i < 200000; ++i) binary += static_cast<char>((i * 7919) % 256);
  return {
      {"index.html", "<html>home</html>\r\n"},
      {"empty.txt", ""},
      {"with blank.txt", "a name with a blank"},
      // Names a shell, a listing or a line-based file could take for something else.
      {"-dash.txt", "like an option"},
      {"~tilde.txt", "like a home folder or a backup"},
      {"#hash.txt", "like a comment"},
      {"docs/-a/blank at the end.txt ", "ends in a blank"},
      {"bin/setup.exe", binary},
      {"img/logo.png", std::string("\x89PNG\r\n\x1a\n\0\0", 10)},
      {"docs/a/b/deep.txt", "three levels down"},
      {"docs/a/note.txt", "two levels down"},
      {"docs/readme.txt", std::string(70000, 'r')},
  };
}

// Relative path -> content of every file below `root`.
std::map<std::string, std::string> FilesBelow(const std::filesystem::path& root) {
  std::map<std::string, std::string> files;
  if (!std::filesystem::exists(root)) return files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    files[std::filesystem::relative(entry.path(), root).string()] = ReadWholeFile(entry.path().string());
  }
  return files;
}

class EndToEnd : public ::testing::Test {
 protected:
  void MakeSite() {
    for (const auto& [path, content] : site_files_) site_.Write(path, content);
  }
  // The remote target folder, without its closing "/".
  static std::string Remote(const FtpServer& server) { return server.writable_dir() + "www"; }
  // The server's copy of the target folder.
  static std::filesystem::path Served(const FtpServer& server) {
    return server.root() / (server.writable_dir().substr(1) + "www");
  }
  // Every file of the site on the server, byte for byte; names what differs.
  void ExpectServerHoldsSite(const FtpServer& server) const {
    std::map<std::string, std::string> served = FilesBelow(Served(server));
    EXPECT_EQ(site_files_.size(), served.size()) << "files on the server";
    for (const auto& [path, content] : site_files_) {
      auto it = served.find(path);
      if (it == served.end()) {
        ADD_FAILURE() << path << " is missing on the server";
      } else {
        EXPECT_TRUE(it->second == content) << path << " differs on the server (" << it->second.size() << " of "
                                           << content.size() << " bytes)";
      }
    }
  }
  std::vector<std::string> Options(const FtpServer& server, int threads) const {
    return {"Source=" + site_.dir() + "*.*",
            "Subdir=True",
            "Target=" + Remote(server),
            "Server=127.0.0.1",
            "Port=" + std::to_string(server.port()),
            "User=" + server.user(),
            "Password=" + server.password(),
            "LogFile=" + log_,
            "PureConsole=True",
            "ThreadsCount=" + std::to_string(threads)};
  }
  // Runs the program in `work_` so a run without project file keeps its record there.
  ProcessResult Run(const std::vector<std::string>& options, StartForm form) const {
    if (form == StartForm::kProjectFile) {
      return app_.Run({app_.WriteProject(work_.dir() + "site.batch-dropvan", options)}, work_.path().string());
    }
    std::string arg = "-P:";
    for (const std::string& option : options) arg += option + ";";
    return app_.Run({arg}, work_.path().string());
  }
  // The log's lines as file name -> result text, each file once.
  std::map<std::string, std::string> LogResults(const std::string& status) const {
    std::map<std::string, std::string> results;
    for (const std::string& line : ReadCrLfLines(log_)) {
      const std::string head = status + " => ";
      EXPECT_EQ(0u, line.find(head)) << "expected a " << status << " line: " << line;
      const size_t separator = line.rfind(" => ");
      const std::string file = line.substr(head.size(), separator - head.size());
      EXPECT_EQ(0u, results.count(file)) << "two lines for " << file;
      results[file] = line.substr(separator + 4);
    }
    return results;
  }

  // The whole story for one server, one thread count and one way to start.
  void UploadThenFindUnchanged(FtpServer& server, int threads, StartForm form) {
    MakeSite();
    const std::vector<std::string> options = Options(server, threads);

    ProcessResult first = Run(options, form);
    ASSERT_EQ(0, first.exit_code) << first.err;
    ExpectServerHoldsSite(server);
    std::map<std::string, std::string> uploaded = LogResults("Success");
    EXPECT_EQ(site_files_.size(), uploaded.size()) << "one line per file";
    for (const auto& [path, content] : site_files_) {
      EXPECT_EQ(Remote(server) + "/" + path, uploaded[site_.dir() + path]) << "remote path of " << path;
    }

    const size_t commands_before = server.Commands().size();
    ProcessResult second = Run(options, form);
    ASSERT_EQ(0, second.exit_code) << second.err;
    std::map<std::string, std::string> unchanged = LogResults("Success");
    EXPECT_EQ(site_files_.size(), unchanged.size());
    for (const auto& [file, result] : unchanged) EXPECT_EQ("File identical.", result) << file;
    if (server_kind_ == FtpServer::Kind::kPyftpdlib) {
      EXPECT_EQ(commands_before, server.Commands().size()) << "an unchanged site needs no connection";
    }
  }

  FtpServer::Kind server_kind_ = FtpServer::Kind::kPyftpdlib;
  DropvanCopy app_;
  TempDir site_;
  TempDir work_;
  const std::string log_ = work_.dir() + "run.log";
  const std::map<std::string, std::string> site_files_ = SampleSite();
};

struct Case {
  FtpServer::Kind kind;
  int threads;
  StartForm form;
};

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  return std::string(info.param.kind == FtpServer::Kind::kPyftpdlib ? "pyftpdlib" : "vsftpd") + "_" +
         std::to_string(info.param.threads) + "threads_" +
         (info.param.form == StartForm::kProjectFile ? "project_file" : "command_line_options");
}

class EndToEndRun : public EndToEnd, public ::testing::WithParamInterface<Case> {};

TEST_P(EndToEndRun, UploadsTheNestedSiteThenFindsItUnchanged) {
  server_kind_ = GetParam().kind;
  FtpServer server(server_kind_);
  DROPVAN_REQUIRE_FTP_SERVER(server);
  UploadThenFindUnchanged(server, GetParam().threads, GetParam().form);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, EndToEndRun,
    ::testing::Values(Case{FtpServer::Kind::kPyftpdlib, 1, StartForm::kProjectFile},
                      Case{FtpServer::Kind::kPyftpdlib, 2, StartForm::kProjectFile},
                      Case{FtpServer::Kind::kPyftpdlib, 8, StartForm::kProjectFile},
                      Case{FtpServer::Kind::kPyftpdlib, 1, StartForm::kCommandLineOptions},
                      Case{FtpServer::Kind::kPyftpdlib, 2, StartForm::kCommandLineOptions},
                      Case{FtpServer::Kind::kPyftpdlib, 8, StartForm::kCommandLineOptions},
                      Case{FtpServer::Kind::kVsftpd, 2, StartForm::kProjectFile},
                      Case{FtpServer::Kind::kVsftpd, 8, StartForm::kCommandLineOptions}),
    CaseName);

TEST_F(EndToEnd, RefusedFilesExitZeroAndGoUpAtTheNextRun) {
  FtpFaults faults;
  faults.refuse_stor = 2;
  FtpServer server(FtpServer::Kind::kPyftpdlib, faults);
  DROPVAN_REQUIRE_FTP_SERVER(server);
  site_.Write("a.txt", "a");
  site_.Write("b.txt", "b");
  site_.Write("c.txt", "c");
  std::vector<std::string> options = Options(server, 1);
  options.push_back("TryTimes=0");

  ProcessResult first = Run(options, StartForm::kProjectFile);
  EXPECT_EQ(0, first.exit_code) << "failed files do not change the exit code: " << first.err;
  std::vector<std::string> lines = ReadCrLfLines(log_);
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(2, std::count_if(lines.begin(), lines.end(),
                             [](const std::string& l) { return l.rfind("Failure => ", 0) == 0; }));
  EXPECT_EQ(1u, FilesBelow(Served(server)).size());

  ProcessResult second = Run(options, StartForm::kProjectFile);
  EXPECT_EQ(0, second.exit_code) << second.err;
  std::map<std::string, std::string> results = LogResults("Success");
  EXPECT_EQ(1, std::count_if(results.begin(), results.end(),
                             [](const auto& r) { return r.second == "File identical."; }))
      << "the file that went up is unchanged, the refused ones go up now";
  EXPECT_EQ(3u, FilesBelow(Served(server)).size());
}

TEST_F(EndToEnd, SkipHiddenDecidesAboutHiddenFilesAndHiddenFoldersAboutHiddenFolders) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  site_.Write("shown.txt", "s");
  site_.Write(".h.txt", "h");
  site_.Write(".hid/inside.txt", "i");
  site_.Write(".well-known/security.txt", "Contact: mailto:web@example.org");
  struct Row {
    const char* name;
    const char* option;  // nullptr: no SkipHidden or HiddenFolders line
    std::set<std::string> expected;
  };
  for (const Row& row : {Row{"absent", nullptr, {"shown.txt", ".h.txt"}},
                         Row{"false", "SkipHidden=False", {"shown.txt", ".h.txt"}},
                         Row{"true", "SkipHidden=True", {"shown.txt"}},
                         Row{"folders", "HiddenFolders=True",
                             {"shown.txt", ".h.txt", ".hid/inside.txt", ".well-known/security.txt"}}}) {
    std::vector<std::string> options = Options(server, 1);
    for (std::string& option : options) {
      if (option.rfind("Target=", 0) == 0) option += std::string("/") + row.name;
    }
    if (row.option != nullptr) options.push_back(row.option);
    // A project of its own per row, so that no row finds another's record.
    const std::string project = app_.WriteProject(work_.dir() + row.name + ".batch-dropvan", options);
    ProcessResult run = app_.Run({project}, work_.path().string());
    ASSERT_EQ(0, run.exit_code) << row.name << ": " << run.err;

    std::set<std::string> listed, uploaded;
    for (const auto& [file, result] : LogResults("Success")) listed.insert(file.substr(site_.dir().size()));
    for (const auto& [path, content] : FilesBelow(Served(server) / row.name)) uploaded.insert(path);
    EXPECT_EQ(listed, row.expected) << "files in the log with SkipHidden " << row.name;
    EXPECT_EQ(uploaded, row.expected) << "files on the server with SkipHidden " << row.name;
  }
}

TEST_F(EndToEnd, ChangedFileIsTheOnlyOneUploadedAgain) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  MakeSite();
  const std::vector<std::string> options = Options(server, 2);
  ASSERT_EQ(0, Run(options, StartForm::kProjectFile).exit_code);

  site_.Write("docs/a/note.txt", "changed");
  ProcessResult run = Run(options, StartForm::kProjectFile);
  ASSERT_EQ(0, run.exit_code) << run.err;
  std::map<std::string, std::string> results = LogResults("Success");
  for (const auto& [file, result] : results) {
    if (file == site_.dir() + "docs/a/note.txt") {
      EXPECT_EQ(Remote(server) + "/docs/a/note.txt", result);
    } else {
      EXPECT_EQ("File identical.", result) << file;
    }
  }
  EXPECT_EQ("changed", ReadWholeFile((Served(server) / "docs/a/note.txt").string()));
}

}  // namespace

// Runs that cannot do what was asked say so, and no message, log line or
// report link ever shows the password, whether it is given as Password or
// inside Server.
TEST_F(EndToEnd, RefusedRunsSaySoAndNothingShowsThePassword) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  site_.Write("a.txt", "a");
  app_.RecordLinks();
  struct Row {
    const char* name;
    std::vector<std::string> changes;  // options replacing those of the same key
    int exit_code;
    std::string said;  // on standard error when the run fails, else in the log
  };
  const std::string port = std::to_string(server.port());
  const std::string missing = work_.dir() + "unmounted/";
  const Row rows[] = {
      {"missing source", {"Source=" + missing + "*.*"}, 1, "Cannot list the source folder \"" + missing + "\""},
      {"port out of range", {"Port=70000"}, 0, "port \"70000\" is not a port number (1-65535)"},
      {"port not a number", {"Port=2l"}, 0, "port \"2l\" is not a port number (1-65535)"},
      {"password in server", {"Server=" + server.user() + ":topsecret@127.0.0.1", "TryTimes=0"}, 0,
       "[Error]Connect to 127.0.0.1 failure"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> options = Options(server, 1);
    options.push_back("Password=topsecret");  // the first line of a key wins: put the changes first
    options.insert(options.begin(), row.changes.begin(), row.changes.end());
    std::filesystem::remove(log_);
    const std::string project = app_.WriteProject(work_.dir() + "refused.batch-dropvan", options);
    ProcessResult run = app_.Run({project}, work_.path().string());
    EXPECT_EQ(row.exit_code, run.exit_code) << row.name << ": " << run.err;
    const std::string log = std::filesystem::exists(log_) ? ReadWholeFile(log_) : "";
    EXPECT_NE((row.exit_code != 0 ? run.err : log).find(row.said), std::string::npos)
        << row.name << ": expected \"" << row.said << "\"\nstderr: " << run.err << "\nlog: " << log;
    std::string links;
    for (const std::string& link : app_.Links(row.exit_code == 0 ? 1 : 0)) links += link + "\n";
    for (const std::string& text : {run.err, run.out, log, links}) {
      EXPECT_EQ(text.find("topsecret"), std::string::npos) << row.name << " shows the password: " << text;
    }
  }
  EXPECT_FALSE(std::filesystem::exists(work_.dir() + "refused.batch-dropvan.ini")) << "nothing was recorded";
  EXPECT_TRUE(server.Trace().empty()) << "no row may reach the server";
}
