// The dropvan program killed, starved of disk space and run twice at once:
// whatever happens, the upload record, its backup and the upload list stay
// whole, the record names only files that are whole on the server, and a
// later run finishes the job.

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dropvan_process.h"
#include "support/ftp_server.h"
#include "support/record_truth.h"
#include "support/temp_dir.h"

extern char** environ;

namespace {

using testing_support::DropvanCopy;
using testing_support::FtpFaults;
using testing_support::FtpServer;
using testing_support::ProcessResult;
using testing_support::ReadWholeFile;
using testing_support::RecordFilesAreWhole;
using testing_support::RecordIsTruthful;
using testing_support::RunFile;
using testing_support::TempDir;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The program running in the background, killed with the object unless it has
// been waited for. No display: a failure report never reaches a browser.
class Child {
 public:
  Child(const DropvanCopy& app, const std::string& project) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "DISPLAY=", 8) != 0 && std::strncmp(*e, "WAYLAND_DISPLAY=", 16) != 0) env.push_back(*e);
    }
    std::vector<char*> envp, argv;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = app.exe(), arg = project;
    argv = {exe.data(), arg.data(), nullptr};
    pid_ = fork();
    if (pid_ == 0) {
      int null_fd = open("/dev/null", O_WRONLY);
      dup2(null_fd, STDOUT_FILENO);
      dup2(null_fd, STDERR_FILENO);
      if (chdir(app.dir().c_str()) == 0) execve(exe.c_str(), argv.data(), envp.data());
      _exit(127);
    }
  }
  ~Child() {
    if (pid_ > 0) Kill();
  }
  bool Running() { return pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == 0; }
  // SIGKILL; true when it hit the program still running.
  bool Kill() {
    bool running = Running();
    if (running) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
    }
    pid_ = -1;
    return running;
  }
  void Signal(int signal) const { kill(pid_, signal); }
  int Wait() {
    if (pid_ > 0 && Running()) waitpid(pid_, &status_, 0);
    pid_ = -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
};

// A site of small files, the server it goes to and a project to send it.
class FaultsSlow : public ::testing::Test {
 protected:
  void StartServer(const FtpFaults& faults = {}) {
    server_ = std::make_unique<FtpServer>(FtpServer::Kind::kPyftpdlib, faults);
  }
  void MakeSite(int count, const fs::path& project_dir) {
    for (int i = 0; i < count; ++i) {
      // A few programs, which go up under a temporary name and are renamed.
      std::string name = "d" + std::to_string(i % 50) + "/file" + std::to_string(i) + (i % 100 == 7 ? ".exe" : ".txt");
      files_.push_back({site_.Write(name, Content(i, 0)), "/big/" + name});
    }
    project_ = app_.WriteProject(
        (project_dir / "site.batch-dropvan").string(),
        {"Source=" + site_.dir() + "*.*", "Subdir=True", "Target=/big/", "Server=127.0.0.1",
         "Port=" + std::to_string(server_->port()), "User=" + server_->user(),
         "Password=" + server_->password(), "PureConsole=True", "ThreadsCount=4",
         "LogFile=" + work_.dir() + "run.log"});
  }
  static std::string Content(int i, int version) {
    return "file " + std::to_string(i) + " version " + std::to_string(version) + "\n" +
           std::string(static_cast<size_t>(i % 40 * 50), static_cast<char>('a' + version));
  }
  void ChangeEveryFile(int version) {
    for (size_t i = 0; i < files_.size(); ++i) {
      std::ofstream(files_[i].local_path, std::ios::binary | std::ios::trunc) << Content(static_cast<int>(i), version);
    }
  }
  // Every remote file equal to its source.
  int RemoteFilesDiffering() const {
    int wrong = 0;
    for (const RunFile& file : files_) {
      fs::path served = server_->root() / fs::path(file.remote_path).relative_path();
      if (ReadWholeFile(served.string()) != ReadWholeFile(file.local_path) && ++wrong <= 5) {
        ADD_FAILURE() << file.remote_path << " is missing or differs on the server";
      }
    }
    return wrong;
  }
  size_t RecordLines() const {
    std::ifstream in(project_ + ".ini");
    size_t lines = 0;
    for (std::string line; std::getline(in, line);) lines += line.find('=') != std::string::npos;
    return lines;
  }

  int Stores() const {
    int count = 0;
    for (const std::string& command : server_->Commands()) count += command.rfind("STOR", 0) == 0;
    return count;
  }

  std::unique_ptr<FtpServer> server_;
  DropvanCopy app_;
  TempDir site_, work_;
  std::vector<RunFile> files_;
  std::string project_;
};

TEST_F(FaultsSlow, KilledAtRandomMomentsLeavesEveryFileWholeAndALaterRunFinishes) {
  StartServer();
  DROPVAN_REQUIRE_FTP_SERVER(*server_);
  TempDir project_dir;
  // Large enough that the tenth run still has files left when it is killed.
  MakeSite(5000, project_dir.path());
  std::mt19937 moments(20261208);
  int kills = 0;
  auto start = Clock::now();
  for (int round = 0; round < 10; ++round) {
    const milliseconds delay(std::uniform_int_distribution<int>(30, 400)(moments));
    Child run(app_, project_);
    std::this_thread::sleep_for(delay);
    kills += run.Kill();
    SCOPED_TRACE("after the kill at " + std::to_string(delay.count()) + " ms in round " + std::to_string(round));
    ASSERT_TRUE(RecordFilesAreWhole(project_, files_));
    ASSERT_TRUE(RecordIsTruthful(project_, files_, server_->root()));
  }
  const size_t recorded_before_last = RecordLines();
  ProcessResult last = app_.Run({project_}, "", std::chrono::seconds(300));
  std::cout << kills << " kills, " << recorded_before_last << " of " << files_.size()
            << " files recorded before the last run; all runs " << std::chrono::duration_cast<milliseconds>(Clock::now() - start).count()
            << " ms, the last " << last.elapsed.count() << " ms\n";
  EXPECT_EQ(kills, 10) << "a run ended before its kill: the site is too small to kill midway";
  ASSERT_EQ(last.exit_code, 0) << last.err;
  EXPECT_EQ(RemoteFilesDiffering(), 0);
  EXPECT_EQ(RecordLines(), files_.size());
  EXPECT_TRUE(RecordFilesAreWhole(project_, files_));
  EXPECT_TRUE(RecordIsTruthful(project_, files_, server_->root()));
  for (const auto& entry : fs::directory_iterator(project_dir.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos)
        << "a killed run's temporary file is still there: " << entry.path();
  }
}

// A tmpfs of its own, unmounted in every case.
class SmallDisk {
 public:
  explicit SmallDisk(const fs::path& dir) : dir_(dir) {
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=512k") != 0) error_ = std::strerror(errno);
  }
  ~SmallDisk() {
    if (error_.empty()) umount2(dir_.c_str(), MNT_DETACH);
  }
  const std::string& error() const { return error_; }
  // Writes a file until the disk is full.
  void Fill() const {
    std::ofstream out(dir_ / "filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (out.write(block.data(), block.size())) out.flush();
  }
  void Free() const { fs::remove(dir_ / "filler"); }

 private:
  fs::path dir_;
  std::string error_;
};

TEST_F(FaultsSlow, FullDiskFailsTheRunAndKeepsTheRecordThenALaterRunRecovers) {
  StartServer();
  DROPVAN_REQUIRE_FTP_SERVER(*server_);
  TempDir mount_point;
  SmallDisk disk(mount_point.path());
  if (!disk.error().empty()) GTEST_SKIP() << "cannot mount a tmpfs for the project: " << disk.error();
  MakeSite(300, mount_point.path());
  ASSERT_EQ(app_.Run({project_}).exit_code, 0);
  ChangeEveryFile(1);
  ASSERT_EQ(app_.Run({project_}).exit_code, 0);  // now a backup exists too
  const std::string record = ReadWholeFile(project_ + ".ini");
  const std::string backup = ReadWholeFile(project_ + ".ini.old");
  ASSERT_FALSE(backup.empty());

  disk.Fill();
  ChangeEveryFile(2);
  ProcessResult full = app_.Run({project_});
  EXPECT_EQ(full.exit_code, 1) << "a run whose record could not be saved must fail";
  std::string said = full.err;
  for (char& c : said) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(said.find("record"), std::string::npos) << "standard error does not speak of the record: " << full.err;
  EXPECT_TRUE(RecordFilesAreWhole(project_, files_));
  EXPECT_EQ(ReadWholeFile(project_ + ".ini"), record) << "the record on the full disk changed";
  const std::string backup_now = ReadWholeFile(project_ + ".ini.old");
  EXPECT_TRUE(backup_now == backup || backup_now == record) << "the backup is torn: " << backup_now.size()
                                                            << " bytes, was " << backup.size();

  disk.Free();
  ProcessResult recovered = app_.Run({project_});
  EXPECT_EQ(recovered.exit_code, 0) << recovered.err;
  EXPECT_EQ(RemoteFilesDiffering(), 0);
  EXPECT_TRUE(RecordIsTruthful(project_, files_, server_->root()));
  EXPECT_EQ(RecordLines(), files_.size());
}

TEST_F(FaultsSlow, SecondRunOfTheSameProjectLeavesAtOnce) {
  // The first run's workers hang in their first transfers for a while, so
  // the second run surely starts while the first holds the project.
  FtpFaults faults;
  faults.stall = 4;
  faults.stall_seconds = 6;
  StartServer(faults);
  DROPVAN_REQUIRE_FTP_SERVER(*server_);
  TempDir project_dir;
  MakeSite(200, project_dir.path());
  DropvanCopy other;  // its own side files; the project is what is shared
  Child first(app_, project_);
  auto stores = [&] {
    int count = 0;
    for (const std::string& command : server_->Commands()) count += command.rfind("STOR", 0) == 0;
    return count;
  };
  for (auto until = Clock::now() + std::chrono::seconds(10); stores() < 4 && Clock::now() < until;) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  ProcessResult second = other.Run({project_}, "", std::chrono::seconds(60));
  ASSERT_TRUE(first.Running()) << "the first run ended before the second was done; no overlap to test";
  EXPECT_EQ(second.exit_code, 1) << "a second run of a project in use must refuse";
  EXPECT_LT(second.elapsed, milliseconds(3000)) << "the second run did not leave at once";
  std::string said = second.err;
  for (char& c : said) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(said.find("another"), std::string::npos) << "standard error: " << second.err;

  EXPECT_EQ(first.Wait(), 0);
  EXPECT_EQ(RemoteFilesDiffering(), 0);
  EXPECT_EQ(RecordLines(), files_.size());
  EXPECT_TRUE(RecordIsTruthful(project_, files_, server_->root()));
}

// SIGINT and SIGTERM stop a console run at once, whatever its workers are at
// (two wait for replies to stores the server does not read), and the run
// still ends as runs do: what went up is recorded and logged, nothing stopped
// counts as failed, and the exit code tells the signal as shells expect.
TEST_F(FaultsSlow, ASignalStopsTheRunWhichRecordsAndLogsWhatWentUp) {
  struct Row {
    int signal, exit_code;
  };
  for (const Row& row : {Row{SIGINT, 130}, Row{SIGTERM, 143}}) {
    SCOPED_TRACE(strsignal(row.signal));
    FtpFaults faults;
    faults.stall = 2;
    faults.stall_seconds = 60;
    StartServer(faults);
    DROPVAN_REQUIRE_FTP_SERVER(*server_);
    TempDir project_dir;
    files_.clear();
    MakeSite(2000, project_dir.path());
    Child run(app_, project_);
    for (auto until = Clock::now() + std::chrono::seconds(20); Stores() < 40 && Clock::now() < until;) {
      std::this_thread::sleep_for(milliseconds(10));
    }
    ASSERT_TRUE(run.Running()) << "the run ended before the signal";
    const Clock::time_point signalled = Clock::now();
    run.Signal(row.signal);
    EXPECT_EQ(run.Wait(), row.exit_code);
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - signalled);
    std::cout << strsignal(row.signal) << ": ended " << took.count() << " ms after the signal\n";
    EXPECT_LT(took, milliseconds(1000)) << "the stop waited for the workers' stores";

    const std::vector<std::string> log = testing_support::ReadCrLfLines(work_.dir() + "run.log");
    EXPECT_EQ(0, std::count_if(log.begin(), log.end(), [](const std::string& line) { return line.rfind("Success", 0) != 0; }))
        << "a stopped file was logged as failed: " << (log.empty() ? "" : log.back());
    EXPECT_GT(log.size(), 0u);
    EXPECT_LT(log.size(), files_.size()) << "the run was not stopped";
    EXPECT_EQ(RecordLines(), log.size()) << "every uploaded file is recorded, nothing else";
    EXPECT_TRUE(RecordIsTruthful(project_, files_, server_->root()));
  }
}

}  // namespace
