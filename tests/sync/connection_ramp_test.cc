// ThreadsCount=Auto's ramp against servers whose pace follows a rule: how
// many connections it ends with, and which waiting workers it lets go.
#include "sync/connection_ramp.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using Clock = TrkConnectionRamp::Clock;
using Turn = TrkConnectionRamp::Turn;

struct Row {
  const char* name;
  int most;
  bool ramp;
  std::function<double(int open)> files_per_second;  // the server's pace with `open` connections
  int files;
  int settled_at;
  bool settled;  // a worker above the count is never let in
};

const Row kRows[] = {
    {"a fixed count holds from the start", 5, false, [](int open) { return 10.0 * open; }, 0, 5, true},
    {"a pace that rises with each connection opens all", 16, true, [](int open) { return 10.0 * open; }, 400, 16,
     true},
    {"a pace that stops rising at nine stops at the step past it", 16, true,
     [](int open) { return 10.0 * std::min(open, 9); }, 400, 13, true},
    {"a pace that never rises keeps the first step", 16, true, [](int) { return 40.0; }, 400, 6, true},
    {"a gain below a tenth is no gain", 16, true, [](int open) { return open > 4 ? 43.0 : 40.0; }, 400, 6, true},
    {"too few files to measure a step leave the count open", 16, true, [](int open) { return 10.0 * open; }, 11, 4,
     false},
    {"fewer workers than the first step: all of them", 3, true, [](int open) { return 10.0 * open; }, 0, 3, true},
};

TEST(ConnectionRampTest, OpensMoreWhileThePaceRisesAndNoMore) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    TrkConnectionRamp ramp(row.most, row.ramp);
    Clock::time_point now{};
    for (int i = 0; i < row.files; ++i) {
      now += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / row.files_per_second(ramp.Open())));
      ramp.FileUploaded(now);
    }
    EXPECT_EQ(ramp.Open(), row.settled_at);
    EXPECT_EQ(ramp.AwaitTurn(row.settled_at, {}, std::chrono::milliseconds(0)), Turn::kYours);
    if (row.settled_at < row.most) {
      EXPECT_EQ(ramp.AwaitTurn(row.settled_at + 1, {}, std::chrono::milliseconds(0)),
                row.settled ? Turn::kNever : Turn::kNotYet);
    }
    ramp.Settle();  // a server's refusal, or the run's end
    if (row.settled_at < row.most) {
      EXPECT_EQ(ramp.AwaitTurn(row.most, {}, std::chrono::milliseconds(0)), Turn::kNever);
    }
  }
}

}  // namespace
