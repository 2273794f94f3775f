#include "record/record_saver.h"

void TrkRecordSaver::ScheduleAt(Clock::time_point at) {
  std::lock_guard<std::mutex> lock(mu_);
  // Most files of a busy run find their save already due at the same time:
  // waking the thread for each would cost a system call per file for nothing.
  if (due_ && at_ == at && thread_.joinable()) return;
  due_ = true;
  at_ = at;
  if (!thread_.joinable()) thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  changed_.notify_one();
}

void TrkRecordSaver::Stop() {
  std::jthread thread;
  {
    std::lock_guard<std::mutex> lock(mu_);
    thread = std::move(thread_);
    due_ = false;
  }
  // Outside the lock, which the thread takes to finish; the jthread's
  // destructor asks it to stop and joins it.
}

void TrkRecordSaver::Run(std::stop_token stop) {
  std::unique_lock<std::mutex> lock(mu_);
  while (changed_.wait(lock, stop, [this] { return due_; })) {
    // A save asked for meanwhile moves at_ later; wait for the latest. The wait
    // reads its end time unlocked, so it gets a copy.
    for (auto at = at_; Clock::now() < at; at = at_) {
      changed_.wait_until(lock, stop, at, [&] { return at_ != at; });
      if (stop.stop_requested()) return;
    }
    due_ = false;
    lock.unlock();
    const bool saved = save_();
    lock.lock();
    if (!saved && !stop.stop_requested()) {
      due_ = true;
      at_ = Clock::now() + retry_after_;
    }
  }
}
