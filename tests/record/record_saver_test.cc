#include "record/record_saver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = TrkRecordSaver::Clock;

// Waits up to five seconds for `saves` to reach `count`.
bool Reaches(const std::atomic<int>& saves, int count) {
  const auto give_up = Clock::now() + 5s;
  while (saves < count && Clock::now() < give_up) std::this_thread::sleep_for(1ms);
  return saves >= count;
}

TEST(RecordSaverTest, SavesOnceWhenDueRetriesAFailureAndStopsWithoutTheSaveAskedFor) {
  std::atomic<int> saves{0};
  std::atomic<Clock::time_point> failed_at{};
  TrkRecordSaver saver([&] {  // the first save fails
    if (++saves != 1) return true;
    failed_at = Clock::now();
    return false;
  }, 20ms);
  const auto start = Clock::now();
  for (int i = 0; i < 5; ++i) saver.ScheduleAt(start + 50ms);  // five files, one save due
  ASSERT_TRUE(Reaches(saves, 2)) << "the failed save was not tried again";
  EXPECT_GE(Clock::now() - start, 50ms) << "saved before it was due";
  EXPECT_GE(Clock::now() - failed_at.load(), 20ms) << "a failed save was tried again at once";
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(saves, 2) << "saved with nothing asked for";

  saver.ScheduleAt(Clock::now() + 1h);
  saver.Stop();  // must not wait for the hour, nor save
  EXPECT_EQ(saves, 2);
  saver.ScheduleAt(Clock::now());  // a new run after the stop
  EXPECT_TRUE(Reaches(saves, 3)) << "no save after a stop";
}

}  // namespace
