#include "sync/record_saver.h"

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
  TrkRecordSaver saver([&] { return ++saves != 1; }, 20ms);  // the first save fails
  const auto start = Clock::now();
  for (int i = 0; i < 5; ++i) saver.ScheduleAt(start + 50ms);  // five files, one save due
  ASSERT_TRUE(Reaches(saves, 2)) << "the failed save was not tried again";
  EXPECT_GE(Clock::now() - start, 50ms) << "saved before it was due";
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(saves, 2) << "saved with nothing asked for";

  saver.ScheduleAt(Clock::now() + 1h);
  saver.Stop();  // must not wait for the hour, nor save
  EXPECT_EQ(saves, 2);
  saver.ScheduleAt(Clock::now());  // a new run after the stop
  EXPECT_TRUE(Reaches(saves, 3)) << "no save after a stop";
}

}  // namespace
