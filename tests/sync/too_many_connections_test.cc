// A login the server turns away with 421 (too many connections): how the
// session surfaces it, and how a run's workers decide what to do about it.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "project/error.h"
#include "support/ftp_server.h"
#include "transfer/new_session.h"
#include "sync/uploader.h"
#include "sync/run_logins.h"

namespace {

using testing_support::FtpFaults;
using testing_support::FtpServer;
using State = TrkRunLogins::State;
using Turn = TrkRunLogins::Turn;

enum class Hook { kNone, kDecline, kRetryTwiceThenDecline, kGiveWay };

struct RefusalCase {
  const char* name;
  int max_sessions;   // -1: every session turned away with 421
  int refuse_login;   // -1: every login refused with 530
  bool proven;        // the account has logged in elsewhere in the run
  Hook hook;
  int hook_calls;
  int attempts;       // login attempts told to OnLoginState
  const char* error;  // what Connect throws; empty: it connects
};

const RefusalCase kRefusals[] = {
    {"NoHookCountsA421LikeAnyFailure", -1, 0, false, Hook::kNone, 0, 3, "[Error]Connect to 127.0.0.1 failure"},
    {"DecliningHookCountsIt", -1, 0, false, Hook::kDecline, 3, 3, "[Error]Connect to 127.0.0.1 failure"},
    {"RetriesTheHookAsksForAreNotCounted", -1, 0, false, Hook::kRetryTwiceThenDecline, 5, 5,
     "[Error]Connect to 127.0.0.1 failure"},
    {"GivingWayEndsAtOnce", -1, 0, false, Hook::kGiveWay, 1, 1, "[Error]The server takes no more connections"},
    {"OtherLoginRefusalsNeverReachTheHook", 0, -1, false, Hook::kGiveWay, 0, 3, "[Error]Connect to 127.0.0.1 failure"},
    // A password refused to an account that works is the server's limit (proftpd's MaxClientsPerHost).
    {"ARefusedPasswordOfAProvenAccountReachesTheHook", 0, -1, true, Hook::kGiveWay, 1, 1,
     "[Error]The server takes no more connections"},
    {"ServerWithRoomNeverReachesTheHook", 1, 0, false, Hook::kGiveWay, 0, 1, ""},
};

void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.name; }

class LoginRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(LoginRefusalTest, OnlyA421ReachesTheHookAndTheHookDecidesWhetherItCounts) {
  const RefusalCase& c = GetParam();
  FtpFaults faults;
  faults.max_sessions = c.max_sessions;
  faults.refuse_login = c.refuse_login;
  FtpServer server(FtpServer::Kind::kPyftpdlib, faults);
  DROPVAN_REQUIRE_FTP_SERVER(server);
  TrkUploader session(TrkNewTransferSession);
  session.RetryWait = std::chrono::milliseconds(10);
  int calls = 0, attempts = 0;
  std::vector<TrkLoginState> told;
  session.OnLoginState = [&](TrkLoginState state) {
    attempts += state == TrkLoginState::kConnecting;
    told.push_back(state);
  };
  session.AccountProven = [proven = c.proven] { return proven; };
  if (c.hook != Hook::kNone) {
    session.OnTooManyConnections = [&, hook = c.hook] {
      ++calls;
      if (hook == Hook::kGiveWay) throw TrkServerBusy();
      return hook == Hook::kRetryTwiceThenDecline && calls <= 2;
    };
  }
  std::string error;
  try {
    session.Connect(server.host(), server.user(), server.password(), server.port(), 2);
  } catch (const TrkError& e) {
    error = e.what();
  }
  EXPECT_EQ(error, c.error);
  EXPECT_EQ(calls, c.hook_calls) << "the hook was asked about other failures, or not about a 421";
  EXPECT_EQ(attempts, c.attempts) << "login attempts";
  session.Disconnect();
  // Every attempt is told as it starts and ends, and a connection as it goes.
  EXPECT_EQ(told.size(), static_cast<size_t>(2 * c.attempts + (*c.error == '\0')));
  EXPECT_TRUE(!told.empty() && told.back() == TrkLoginState::kLoggedOut) << "the end of the connection was not told";
}

INSTANTIATE_TEST_SUITE_P(Refusals, LoginRefusalTest, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

struct TurnCase {
  std::vector<State> others;
  Turn turn;
};

TEST(RunLoginsTest, ATurnedAwayWorkerWaitsGivesWayOrFailsAsUsualByWhatTheOthersDo) {
  const TurnCase cases[] = {
      {{}, Turn::kAsUsual},
      {{State::kLoggedOut, State::kTurnedAway, State::kEnded}, Turn::kAsUsual},
      {{State::kLoggedIn}, Turn::kGiveWay},
      {{State::kLoggedIn, State::kTurnedAway, State::kEnded}, Turn::kGiveWay},
      {{State::kLoggedIn, State::kConnecting}, Turn::kGiveWay},
      {{State::kLoggedIn, State::kLoggedOut}, Turn::kGiveWay},
      {{State::kConnecting, State::kTurnedAway}, Turn::kWait},
      {{State::kConnecting, State::kLoggedOut}, Turn::kWait},
  };
  for (const TurnCase& c : cases) {
    TrkRunLogins logins;
    logins.Set(1, State::kTurnedAway);
    for (size_t i = 0; i < c.others.size(); ++i) logins.Set(static_cast<int>(i) + 2, c.others[i]);
    EXPECT_EQ(logins.AfterRefusal(1), c.turn) << "with " << c.others.size() << " others, case " << &c - cases;
  }
}

TEST(RunLoginsTest, OnlyAConnectionLetGoOrAFileDoneOverOneIsAnOpening) {
  TrkRunLogins logins;
  logins.Join(1);
  logins.Join(2);
  const auto openings = [&] { return logins.Seen().openings; };
  logins.FileDone(2);  // done without a connection: an identical file, a failed connect
  logins.Tell(2, TrkLoginState::kConnecting);
  EXPECT_FALSE(logins.AnyLoggedIn());
  logins.Tell(2, TrkLoginState::kLoggedIn);
  EXPECT_EQ(openings(), 0u);
  logins.FileDone(2);
  EXPECT_EQ(openings(), 1u);
  logins.Tell(2, TrkLoginState::kLoggedOut);
  EXPECT_EQ(openings(), 2u);
  const TrkRunLogins::Mark seen = logins.Seen();
  EXPECT_EQ(logins.WaitForChange(seen, std::chrono::milliseconds(1)).changes, seen.changes);
  logins.Set(2, State::kEnded);
  EXPECT_EQ(openings(), 2u);
  EXPECT_TRUE(logins.AnyLoggedIn()) << "the account stays proven after its connection went";
  EXPECT_GT(logins.WaitForChange(seen, std::chrono::milliseconds(1)).changes, seen.changes);
}

}  // namespace
