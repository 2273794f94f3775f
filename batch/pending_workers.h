#pragma once

#include <atomic>
#include <chrono>

// The pending-worker count: the number of workers of the current console run that
// have not yet ended. One process-wide object (Process()). The console runner sets
// it to the first worker's WorkerNumber before StartAll and waits until it is 0 or
// below; every worker lowers it by one as it ends, whatever the run mode, under its
// batch's lock. Reads need no lock (atomic).
class TrkPendingWorkers {
 public:
  static TrkPendingWorkers& Process();

  void Set(int count) { count_.store(count, std::memory_order_release); }
  void Lower() { count_.fetch_sub(1, std::memory_order_acq_rel); }
  int Get() const { return count_.load(std::memory_order_acquire); }
  // Sleeps `poll` at a time until the count is 0 or below. No time limit.
  void WaitForZero(std::chrono::milliseconds poll = std::chrono::milliseconds(100)) const;

 private:
  std::atomic<int> count_{0};
};
