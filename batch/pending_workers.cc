#include "batch/pending_workers.h"

TrkPendingWorkers& TrkPendingWorkers::Process() {
  static TrkPendingWorkers count;
  return count;
}

void TrkPendingWorkers::Lower() {
  if (count_.fetch_sub(1, std::memory_order_acq_rel) > 1) return;
  std::lock_guard<std::mutex> lock(wake_mu_);
  wake_.notify_all();
}

void TrkPendingWorkers::WaitForZero(std::chrono::milliseconds poll) const {
  std::unique_lock<std::mutex> lock(wake_mu_);
  while (Get() > 0) wake_.wait_for(lock, poll);
}
