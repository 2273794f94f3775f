#include "batch/pending_workers.h"

#include <thread>

TrkPendingWorkers& TrkPendingWorkers::Process() {
  static TrkPendingWorkers count;
  return count;
}

void TrkPendingWorkers::WaitForZero(std::chrono::milliseconds poll) const {
  while (Get() > 0) std::this_thread::sleep_for(poll);
}
