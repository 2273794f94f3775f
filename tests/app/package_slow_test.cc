// The Debian packages made by CPack from this build: what each holds and needs,
// and the program installed from them (unpacked into a scratch root with
// dpkg -x): it answers --version, keeps its side files in the user's
// configuration folder when its own folder cannot be written, and loads the
// window library from ../lib/dropvan/. A few seconds; labelled slow, so that
// the sanitizer builds, which no one packages, leave it out.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "app/program.h"
#include "dropvan_process.h"
#include "support/as_ordinary_user.h"
#include "support/ftp_server.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing_support::DropvanCopy;
using testing_support::FtpServer;
using testing_support::ReadWholeFile;
using testing_support::TempDir;

struct ShellResult {
  int code = -1;
  std::string out;  // standard output and standard error
};

ShellResult Shell(const std::string& command) {
  ShellResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.out.append(buffer, n);
  const int status = pclose(pipe);
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

std::set<std::string> NamesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

// A folder below a test's folder that user 65534 may use as its own.
fs::path OpenFolder(const fs::path& path) {
  fs::create_directories(path);
  fs::permissions(path, fs::perms::all);
  return path;
}

class PackageTest : public ::testing::Test {
 protected:
  // CPack runs once for all the tests: it packs what the build installs (a
  // fraction of a second), into a folder of its own.
  static void SetUpTestSuite() {
    missing_ = new std::string;
    for (const char* tool : {"cpack", "dpkg-deb", "dpkg", "dpkg-shlibdeps"}) {
      if (Shell(std::string("command -v ") + tool).code != 0) *missing_ += std::string(" ") + tool;
    }
    if (!missing_->empty()) return;
    packages_ = new TempDir;
    cpack_ = new ShellResult(Shell("cpack -G DEB --config " DROPVAN_BINARY_DIR "/CPackConfig.cmake -B " +
                                   Quoted(packages_->path())));
  }
  static void TearDownTestSuite() {
    delete packages_;
    delete cpack_;
    delete missing_;
  }
  void SetUp() override {
    if (!missing_->empty()) GTEST_SKIP() << "needs" << *missing_ << " to make and unpack the Debian packages";
    ASSERT_EQ(0, cpack_->code) << "cpack failed:\n" << cpack_->out;
  }

  // The package file of `name`, as Debian names it.
  static fs::path Deb(const std::string& name) {
    const std::string arch = Shell("dpkg --print-architecture").out;
    return packages_->path() / (name + "_" + kTrkVersion + "_" + arch.substr(0, arch.find('\n')) + ".deb");
  }
  // Unpacks the packages into `root` as dpkg would install them.
  static void Unpack(const std::vector<std::string>& names, const fs::path& root) {
    for (const std::string& name : names) {
      ShellResult unpacked = Shell("dpkg -x " + Quoted(Deb(name)) + " " + Quoted(root));
      ASSERT_EQ(0, unpacked.code) << name << ": " << unpacked.out;
    }
  }
  // A project uploading a.txt of `site_` to /www/ on `server`, in `work_`.
  std::string Project(const FtpServer& server, const std::string& mode) {
    site_.Write("a.txt", "a");
    const fs::path project = work_ / "site.batch-dropvan";
    std::ofstream out(project, std::ios::binary);
    for (const std::string& line : {"Source=" + (site_.path() / "*").string(), std::string("Target=/www/"),
                                    "Server=" + server.host(), "Port=" + std::to_string(server.port()),
                                    "User=" + server.user(), "Password=" + server.password(),
                                    "LogFile=" + (work_ / "run.log").string(), mode}) {
      out << line << "\r\n";
    }
    return project.string();
  }
  // Runs the installed program in `work_` with an environment of PATH and
  // `env` alone; gives "exit CODE\n" and its output.
  std::string RunInstalled(const std::string& args, const std::string& env) const {
    ShellResult run = Shell("cd " + Quoted(work_) + " && env -i PATH=/usr/bin:/bin " + env + " " +
                            Quoted(root_ / "usr/bin/dropvan") + " " + args);
    return "exit " + std::to_string(run.code) + "\n" + run.out;
  }

  static std::string* missing_;
  static TempDir* packages_;
  static ShellResult* cpack_;
  TempDir scratch_;
  const fs::path root_ = scratch_.path() / "root";
  TempDir site_;
  const fs::path work_ = OpenFolder(scratch_.path() / "work");
  const fs::path home_ = OpenFolder(scratch_.path() / "home");
};

std::string* PackageTest::missing_ = nullptr;
TempDir* PackageTest::packages_ = nullptr;
ShellResult* PackageTest::cpack_ = nullptr;

TEST_F(PackageTest, EachPackageHoldsItsFilesAndNeedsOnlyItsLibraries) {
  struct Row {
    std::string package;
    std::string query;  // dpkg-deb -c (the files) or -f PACKAGE Depends
    std::string has;
    bool present;
  };
  std::vector<Row> rows = {
      {"dropvan", "-c", "./usr/bin/dropvan\n", true},
      {"dropvan", "-c", "./usr/share/man/man1/dropvan.1.gz\n", true},
      {"dropvan", "-c", "./usr/share/doc/dropvan/README.md\n", true},
      {"dropvan", "-c", "./usr/share/doc/dropvan/dropvan.pdf\n", true},
      {"dropvan", "-c", "./usr/share/doc/dropvan/copyright\n", true},
      {"dropvan", "-c", "./usr/share/doc/dropvan/changelog.gz\n", true},
      {"dropvan", "-c", "./usr/share/applications/", false},
      {"dropvan", "-c", "dropvan-window.so", false},
      {"dropvan", "-f", "libssl3", true},
      {"dropvan", "-f", "libssh2-1", true},
      {"dropvan", "-f", "libcurl", false},
      {"dropvan", "-f", "libpcre2-8-0", true},
      {"dropvan", "-f", "qt", false},
  };
  if (DropvanCopy::WindowLibraryBuilt()) {
    rows.push_back({"dropvan-window", "-c", "./usr/lib/dropvan/dropvan-window.so\n", true});
    rows.push_back({"dropvan-window", "-c", "./usr/bin/", false});
    rows.push_back({"dropvan-window", "-f", std::string("dropvan (= ") + kTrkVersion + ")", true});
    rows.push_back({"dropvan-window", "-f", "libqt6widgets6", true});
    for (const char* file : {"applications/example.dropvan.Dropvan.desktop", "mime/packages/dropvan.xml",
                             "icons/hicolor/16x16/apps/example.dropvan.Dropvan.png",
                             "icons/hicolor/256x256/apps/example.dropvan.Dropvan.png",
                             "metainfo/example.dropvan.Dropvan.metainfo.xml", "doc/dropvan-window/copyright",
                             "doc/dropvan-window/changelog.gz"}) {
      rows.push_back({"dropvan-window", "-c", std::string("./usr/share/") + file + "\n", true});
    }
  }
  for (const Row& row : rows) {
    ASSERT_TRUE(fs::exists(Deb(row.package))) << Deb(row.package) << " was not made:\n" << cpack_->out;
    const std::string field = row.query == "-f" ? " Depends" : "";
    ShellResult listed = Shell("dpkg-deb " + row.query + " " + Quoted(Deb(row.package)) + field);
    ASSERT_EQ(0, listed.code) << listed.out;
    EXPECT_EQ(row.present, listed.out.find(row.has) != std::string::npos)
        << row.package << (row.query == "-f" ? " Depends" : " files") << (row.present ? " lack " : " hold ")
        << row.has << ":\n" << listed.out;
  }
}

TEST_F(PackageTest, InstalledProgramKeepsItsSideFilesInTheConfigurationFolderWhenItsFolderIsReadOnly) {
  testing_support::LetOrdinaryUserIn(scratch_.path());
  testing_support::LetOrdinaryUserIn(site_.path());
  Unpack({"dropvan"}, root_);
  EXPECT_EQ(std::string("exit 0\nDropvan ") + kTrkVersion + "\n", RunInstalled("--version", ""));
  EXPECT_EQ(0u, Shell("gzip -dc " + Quoted(root_ / "usr/share/man/man1/dropvan.1.gz")).out.find(".TH DROPVAN 1"))
      << "the manual page must be a gzip-compressed roff page";
  EXPECT_EQ(0u, ReadWholeFile((root_ / "usr/share/doc/dropvan/dropvan.pdf").string()).find("%PDF-"))
      << "the help file must be the manual as a PDF";
  fs::permissions(root_ / "usr/bin", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  const std::string project = Project(server, "PureConsole=True");

  // Root may write to any folder, so the program runs as an ordinary user.
  EXPECT_EQ("exit 0\n", testing_support::RunAsOrdinaryUser(
                            [&] { return RunInstalled(Quoted(project), "HOME=" + home_.string()); }));
  EXPECT_EQ("a", ReadWholeFile((server.root() / "www/a.txt").string())) << "the console run did not upload";
  const fs::path config = home_ / ".config/dropvan";
  ASSERT_TRUE(fs::is_directory(config)) << "no configuration folder " << config;
  EXPECT_EQ(fs::perms::owner_all, fs::status(config).permissions()) << "the configuration folder must be 0700";
  EXPECT_EQ((std::set<std::string>{"dropvan.ext", "dropvan.log"}), NamesIn(config));
  EXPECT_EQ(project + "\r\n", ReadWholeFile((config / "dropvan.log").string())) << "the recent list";
  EXPECT_EQ(std::set<std::string>{"dropvan"}, NamesIn(root_ / "usr/bin")) << "files beside the installed program";
}

// Debian's and the desktop's own checks pass: lintian finds no error in either
// package (its warnings are explained in packaging/README.md), the desktop entry
// and the AppStream metadata validate (the latter without the network).
TEST_F(PackageTest, PackagesPassLintianAndTheDesktopValidators) {
  if (!DropvanCopy::WindowLibraryBuilt()) GTEST_SKIP() << "this build has no window";
  Unpack({"dropvan-window"}, root_);
  const fs::path share = root_ / "usr/share";
  struct Row {
    std::string tool, command;
  } rows[] = {
      {"lintian", "lintian --fail-on error " + Quoted(Deb("dropvan")) + " " + Quoted(Deb("dropvan-window"))},
      {"desktop-file-validate",
       "desktop-file-validate " + Quoted(share / "applications/example.dropvan.Dropvan.desktop")},
      {"appstreamcli",
       "appstreamcli validate --no-net " + Quoted(share / "metainfo/example.dropvan.Dropvan.metainfo.xml")},
  };
  for (const Row& row : rows) {
    if (Shell("command -v " + row.tool).code != 0) {
      ADD_FAILURE() << row.tool << " is missing (scripts/setup installs it)";
      continue;
    }
    const ShellResult checked = Shell(row.command);
    EXPECT_EQ(0, checked.code) << row.tool << ":\n" << checked.out;
  }
}

TEST_F(PackageTest, InstalledProgramLoadsTheWindowFromTheLibraryFolder) {
  if (!DropvanCopy::WindowLibraryBuilt()) GTEST_SKIP() << "this build has no window";
  Unpack({"dropvan", "dropvan-window"}, root_);
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  const std::string project = Project(server, "RunAndClose=True");
  const fs::path runtime = scratch_.path() / "runtime";
  fs::create_directory(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  const std::string run = RunInstalled(Quoted(project), "HOME=" + home_.string() + " XDG_RUNTIME_DIR=" +
                                                            runtime.string() + " QT_QPA_PLATFORM=offscreen");
  EXPECT_EQ(0u, run.find("exit 0\n")) << run;  // the toolkit's own notices may follow
  EXPECT_EQ("[Success] => " + (site_.path() / "a.txt").string() + " => /www/a.txt\r\n",
            ReadWholeFile((work_ / "run.log").string()))
      << "the window run's log";
}

}  // namespace
