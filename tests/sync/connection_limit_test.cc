// Runs of many workers against a server that takes fewer connections than the
// run has workers and turns the others away with 421.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "dropvan_run.h"
#include "support/ftp_server.h"
#include "support/temp_dir.h"

namespace {

using dropvan_testing::RecordLine;
using dropvan_testing::RunResult;
using dropvan_testing::SyncProject;
using testing_support::FtpFaults;
using testing_support::FtpServer;
using testing_support::TempDir;

struct LimitCase {
  const char* name;
  FtpServer::Kind kind;
  int max_sessions;      // -1: the server takes no session at all
  std::string turn_away;  // the greeting beyond the limit; empty: 421
  bool at_pass;           // the limit is met at PASS instead, with that reply
  double release_delay;   // seconds a closed session still counts
  double reply_delay;     // seconds before the server handles each command
  int files;
  int try_times;
  bool uploads;  // every file uploaded, or every file fails to connect
};

const LimitCase kCases[] = {
    {"TwoSessionsSlowServer", FtpServer::Kind::kPyftpdlib, 2, "", false, 0, 0.002, 300, 3, true},
    {"NoSessionAtAll", FtpServer::Kind::kPyftpdlib, -1, "", false, 0, 0.002, 40, 1, false},
    // As proftpd answers a connection over MaxConnectionsPerHost ...
    {"TurnedAwayWith530", FtpServer::Kind::kPyftpdlib, 2, "530 Too many connections from your host.", false, 0, 0,
     100, 0, true},
    // ... and over MaxClientsPerHost, once the password is sent: what a wrong account gets.
    {"TurnedAwayAtThePassword", FtpServer::Kind::kPyftpdlib, 2,
     "530 Sorry, the maximum number of clients (2) from your host are already connected.", true, 0, 0, 100, 0, true},
    {"NoSessionAtAllAtThePassword", FtpServer::Kind::kPyftpdlib, -1, "530 Login incorrect.", true, 0, 0, 20, 0,
     false},
    // The last files wait for room the others leave while the server still counts them.
    {"FewerFilesThanWorkersAndACountThatLags", FtpServer::Kind::kPyftpdlib, 2, "", false, 0.3, 0, 3, 0, true},
    {"VsftpdPerAddressLimit", FtpServer::Kind::kVsftpd, 2, "", false, 0, 0, 100, 0, true},
};

// Failure messages name the case, not its bytes.
void PrintTo(const LimitCase& c, std::ostream* out) { *out << c.name; }

class ConnectionLimitTest : public ::testing::TestWithParam<LimitCase> {};

std::string Name(int i) { return "d" + std::to_string(i % 10) + "/f" + std::to_string(i) + ".txt"; }

// How often each remote path was stored over a connection that went on after
// the store's SIZE. A store whose connection broke before it was confirmed is
// rightly stored again, and a loaded machine may break one by a time-out.
std::map<std::string, int> ConfirmedStores(const FtpServer& server) {
  const std::vector<testing_support::FtpTraceLine> trace = server.Trace();
  std::map<std::string, int> stores;
  for (size_t i = 0; i < trace.size(); ++i) {
    if (trace[i].command.rfind("STOR ", 0) != 0) continue;
    const auto later = std::count_if(trace.begin() + static_cast<long>(i) + 1, trace.end(),
                                     [&](const auto& line) { return line.session == trace[i].session; });
    if (later >= 2) ++stores[trace[i].command.substr(5)];
  }
  return stores;
}

int TurnedAway(const FtpServer& server) {
  const auto trace = server.Trace();
  return static_cast<int>(std::count_if(trace.begin(), trace.end(),
                                        [](const auto& line) {
                                          return line.command == "(connect)" ||
                                                 (line.command.rfind("PASS", 0) == 0 && line.code == "530");
                                        }));
}

TEST_P(ConnectionLimitTest, EightWorkersShareWhatTheServerTakes) {
  const LimitCase& c = GetParam();
  FtpFaults faults;
  faults.max_sessions = c.max_sessions;
  faults.turn_away = c.turn_away;
  faults.turn_away_at_pass = c.at_pass;
  faults.release_delay = c.release_delay;
  faults.reply_delay = c.reply_delay;
  FtpServer server(c.kind, faults);
  DROPVAN_REQUIRE_FTP_SERVER(server);
  TempDir source;
  std::vector<std::string> expected_record;
  for (int i = 0; i < c.files; ++i) {
    const std::string content = "file " + std::to_string(i);
    expected_record.push_back(RecordLine(source.Write(Name(i), content), content));
  }
  std::sort(expected_record.begin(), expected_record.end());
  SyncProject site(&server);
  site.Set("ThreadsCount", "8");
  site.Set("TryTimes", std::to_string(c.try_times));

  const std::string target = server.writable_dir() + "www/";
  // Only pyftpdlib tells sessions apart in its trace.
  const bool traced = c.kind == FtpServer::Kind::kPyftpdlib;
  const auto start = std::chrono::steady_clock::now();
  RunResult run = site.RunFolder(source.dir(), target);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  std::cout << c.name << ": " << c.files << " files, 8 workers: " << ms.count() << " ms, " << run.succeeded
            << " uploaded, " << run.failed << " failed, " << TurnedAway(server) << " connections turned away\n";

  const std::map<std::string, int> stores = ConfirmedStores(server);
  for (int i = 0; i < c.files; ++i) {
    const std::string local = source.dir() + Name(i);
    if (c.uploads) {
      EXPECT_EQ(run[local].state, TrkNode::kSuccess) << Name(i) << " ended with \"" << run[local].text << "\"";
      if (!traced) continue;
      EXPECT_EQ(stores.count(target + Name(i)) ? stores.at(target + Name(i)) : 0, 1)
          << Name(i) << " was not stored exactly once by a connection that went on";
    } else {
      EXPECT_EQ(run[local].text, "[Error]Connect to 127.0.0.1 failure") << Name(i);
    }
  }
  if (c.uploads) {
    EXPECT_EQ(run.succeeded, c.files);
    EXPECT_EQ(run.failed, 0);
    std::vector<std::string> record = site.RecordLines();
    std::sort(record.begin(), record.end());
    EXPECT_EQ(record, expected_record) << "the record does not hold every uploaded file once";
    EXPECT_EQ(site.UploadListLines().size(), static_cast<size_t>(c.files)) << "the upload list misses files";
    // Once the others hold the server's connections, a turned-away worker
    // hands its file back and ends; one that only waited would be turned away
    // again at every file the others finish.
    if (traced) {
      EXPECT_LE(TurnedAway(server), 4 * (8 - c.max_sessions)) << "turned-away workers did not give way";
    }
  } else {
    EXPECT_EQ(run.failed, c.files);
    EXPECT_EQ(dropvan_testing::CountCommands(server, "STOR"), 0);
    // As for any connect failure: each worker gives up after three cycles of
    // TryTimes + 1 attempts and fails its later files at once.
    EXPECT_LE(TurnedAway(server), 8 * 3 * (c.try_times + 1)) << "refused logins were retried beyond the schedule";
  }
}

INSTANTIATE_TEST_SUITE_P(Limits, ConnectionLimitTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
