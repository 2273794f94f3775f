#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

// The timed saves of a run's upload record: a thread that calls `save` once a
// save was asked for and its time has come, so that a site of many files does
// not rewrite its record after every single file and no worker waits for the
// disk. `save` returns false when the save failed; it is then tried again
// `retry_after` later. The thread starts at the first ScheduleAt after
// construction or Stop, and runs until Stop.
//
// Threads: ScheduleAt and Stop from any thread but the saver's own; `save` runs
// on the saver's thread without the saver's lock held. mu_ guards the fields
// below it.
class TrkRecordSaver {
 public:
  using Clock = std::chrono::steady_clock;

  TrkRecordSaver(std::function<bool()> save, std::chrono::milliseconds retry_after)
      : save_(std::move(save)), retry_after_(retry_after) {}
  ~TrkRecordSaver() { Stop(); }
  TrkRecordSaver(const TrkRecordSaver&) = delete;
  TrkRecordSaver& operator=(const TrkRecordSaver&) = delete;

  // Has `save` called at `at` (at once when that has passed); a save already
  // asked for moves to `at`. Starts the thread when none runs.
  void ScheduleAt(Clock::time_point at);
  // Ends and joins the thread; a save asked for and not yet made is not made.
  void Stop();

 private:
  void Run(std::stop_token stop);

  const std::function<bool()> save_;
  const std::chrono::milliseconds retry_after_;
  std::mutex mu_;
  std::condition_variable_any changed_;  // a save was asked for or moved
  bool due_ = false;                     // guarded by mu_
  Clock::time_point at_{};               // guarded by mu_; not before this
  std::jthread thread_;                  // guarded by mu_ (joined outside it)
};
