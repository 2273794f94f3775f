#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

// The pending-worker count: the number of workers of the current console run that
// have not yet ended. One process-wide object (Process()). The console runner sets
// it to the first worker's WorkerNumber before StartAll and waits until it is 0 or
// below; every worker lowers it by one as it ends, whatever the run mode, under its
// batch's lock. Reads need no lock (atomic). The last Lower wakes the waiter at
// once, so a run with little to do does not end on a poll's tick.
class TrkPendingWorkers {
 public:
  static TrkPendingWorkers& Process();

  void Set(int count) { count_.store(count, std::memory_order_release); }
  void Lower();
  int Get() const { return count_.load(std::memory_order_acquire); }
  // Returns once the count is 0 or below, woken by the last Lower; looks again
  // every `poll` as well. No time limit.
  void WaitForZero(std::chrono::milliseconds poll = std::chrono::milliseconds(100)) const;

 private:
  std::atomic<int> count_{0};
  // Only to wake the waiter: taken around the last Lower's notification and
  // around the waiter's check, so the wake-up cannot slip between the two.
  mutable std::mutex wake_mu_;
  mutable std::condition_variable wake_;
};
