#pragma once

// Runs real batches through the sync convertor for the tests: a project with its
// file in a temporary folder, a chain of workers, and the run's results.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "batch/batch.h"
#include "batch/convertor.h"
#include "project/platform.h"
#include "project/text_file.h"
#include "project/whole_file.h"
#include "support/ftp_server.h"
#include "support/ssh_server.h"
#include "support/temp_dir.h"
#include "sync/dropvan.h"
#include "digest/md5.h"

namespace dropvan_testing {

// The sync convertor with the session's waits and time-outs cut to test size:
// the schedule stays the same, only shorter.
class QuickDropvan : public TrkDropvan {
 public:
  QuickDropvan(TrkBatch& batch, int number, TrkItemEvent on_item_done, const std::shared_ptr<TrkChainShare>& share)
      : TrkDropvan(batch, number, std::move(on_item_done), share) {
    Uploader->RetryWait = std::chrono::milliseconds(50);
    Uploader->Settings.ConnectTimeout = std::chrono::seconds(3);
    Uploader->Settings.ReplyTimeout = std::chrono::seconds(3);
    Uploader->Settings.StallTimeout = std::chrono::seconds(1);
  }
};

struct ItemResult {
  int state = 0;
  std::string text = "";
  std::string reason = "";  // what the server or the connection said, when the text does not
};

// One finished run: the items by full local path, and the batch's counters.
struct RunResult {
  std::map<std::string, ItemResult> items;
  int succeeded = 0;
  int failed = 0;
  uint64_t bytes_sent = 0;
  const ItemResult& operator[](const std::string& path) const {
    static const ItemResult missing{-1, "<no such item>", ""};
    auto found = items.find(path);
    return found == items.end() ? missing : found->second;
  }
};

// A project whose file lives in its own temporary folder, set up for `server`.
class SyncProject {
 public:
  explicit SyncProject(const testing_support::FtpServer* server = nullptr)
      : project_((folder_.path() / "dropvan").string()) {
    project_.PathDelimiter = '/';
    project_.ConvertorClass = TrkConvertorClassOf<QuickDropvan>();
    project_.SetFileName((folder_.path() / "site.batch-dropvan").string());
    if (server != nullptr) UseServer(*server);
  }

  void UseServer(const testing_support::FtpServer& server) {
    Set("Server", server.host());
    Set("Port", std::to_string(server.port()));
    Set("User", server.user());
    Set("Password", server.password());
  }
  // For `server`, the test's own sshd: its account, and HOME where its keys are.
  void UseSftp(const testing_support::SshServer& server) {
    setenv("HOME", server.home().c_str(), 1);
    Set("Server", "sftp://127.0.0.1");
    Set("User", server.user());
    Set("Port", std::to_string(server.port()));
  }
  void Set(const std::string& key, const std::string& value) { project_.Options().Set(key, value); }
  TrkProject& project() { return project_; }

  std::string RecordFile() const { return project_.FileName() + ".ini"; }
  std::string BackupFile() const { return project_.FileName() + ".ini.old"; }
  std::string UploadListFile() const { return project_.FileName() + ".log"; }
  // The record's lines but its destination header.
  std::vector<std::string> RecordLines() const {
    std::vector<std::string> lines = ReadLines(RecordFile());
    std::erase_if(lines, [](const std::string& line) { return line.starts_with("Destination: "); });
    return lines;
  }
  std::vector<std::string> UploadListLines() const { return ReadLines(UploadListFile()); }

  // Searches `source_dir` (ending in "/") with its subfolders and runs the batch.
  RunResult RunFolder(const std::string& source_dir, const std::string& target) {
    auto batch = TrkBatch::Create(project_, nullptr);
    batch->Start(source_dir + "*.*", target, true);
    return Run(*batch, target);
  }
  // Hands `files` in one by one, as chosen or dropped files: no source folder.
  RunResult RunFiles(const std::vector<std::string>& files, const std::string& target) {
    auto batch = TrkBatch::Create(project_, nullptr);
    for (const std::string& file : files) batch->Add(file);
    batch->MarkSearchDone();
    return Run(*batch, target);
  }

 private:
  static std::vector<std::string> ReadLines(const std::string& path) {
    if (!std::filesystem::exists(path)) return {};
    return SplitLines(ReadFileBytes(path));
  }

  RunResult Run(TrkBatch& batch, const std::string& target) {
    auto chain = TrkConvertor::CreateWorkers(batch, target, nullptr);
    chain->StartAll();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    while (!AllEnded(*chain)) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the run did not end within 3 minutes";
        chain->StopAll();
        deadline += std::chrono::minutes(1);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    batch.WaitForSearch();
    RunResult result;
    TrkBatchLock lock(batch);
    for (const TrkNode& item : lock.Items()) {
      result.items[std::string(item.FileName())] = {item.State, std::string(item.ResultText()), item.Reason()};
    }
    result.succeeded = batch.Succeeded();
    result.failed = batch.Failed();
    result.bytes_sent = batch.BytesSent();
    return result;
  }

  static bool AllEnded(const TrkConvertor& first) {
    for (const TrkConvertor* worker = &first; worker != nullptr; worker = worker->NextWorker()) {
      if (!worker->Ended()) return false;
    }
    return true;
  }

  testing_support::TempDir folder_;
  TrkProject project_;
};

inline std::string Md5(const std::string& bytes) { return TrkMD5().DigestHex(bytes); }

// The record line a recorded file must have.
inline std::string RecordLine(const std::string& path, const std::string& content) {
  return Md5(trk_platform::PathKeyText(path)) + "=" + Md5(content);
}

// The sessions (control connections) the server has seen.
inline int SessionCount(const testing_support::FtpServer& server) {
  int most = 0;
  for (const auto& line : server.Trace()) most = std::max(most, line.session);
  return most;
}

inline int CountCommands(const testing_support::FtpServer& server, const std::string& prefix) {
  int count = 0;
  for (const std::string& command : server.Commands()) count += command.rfind(prefix, 0) == 0;
  return count;
}

}  // namespace dropvan_testing
