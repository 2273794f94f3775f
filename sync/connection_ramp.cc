#include "sync/connection_ramp.h"

#include <algorithm>

namespace {

// The least gain in files per second for which one more step is worth taking.
constexpr double kWorthAStep = 1.1;

}  // namespace

TrkConnectionRamp::TrkConnectionRamp(int most, bool ramp)
    : most_(std::max(most, 1)), open_(ramp ? std::min(kFirst, most_) : most_), settled_(!ramp || open_ == most_) {
  Step(open_);
}

TrkConnectionRamp::Turn TrkConnectionRamp::AwaitTurn(int worker, std::stop_token stop,
                                                     std::chrono::milliseconds patience) {
  std::unique_lock<std::mutex> lock(mu_);
  turn_.wait_for(lock, stop, patience, [&] { return worker <= open_ || settled_; });
  if (worker <= open_) return Turn::kYours;
  return settled_ ? Turn::kNever : Turn::kNotYet;
}

void TrkConnectionRamp::FileUploaded(Clock::time_point done) {
  std::lock_guard<std::mutex> lock(mu_);
  if (settled_) return;
  if (warming_ > 0) {
    if (--warming_ == 0) since_ = done;
    return;
  }
  if (++measured_ < 2 * open_) return;
  const double seconds = std::max(std::chrono::duration<double>(done - since_).count(), 1e-6);
  const double rate = measured_ / seconds;
  if (rate < last_rate_ * kWorthAStep) {
    settled_ = true;
  } else {
    last_rate_ = rate;
    Step(NextCount(open_, most_));
    settled_ = open_ == most_;
  }
  turn_.notify_all();
}

void TrkConnectionRamp::Settle() {
  std::lock_guard<std::mutex> lock(mu_);
  settled_ = true;
  turn_.notify_all();
}

int TrkConnectionRamp::Open() const {
  std::lock_guard<std::mutex> lock(mu_);
  return open_;
}

void TrkConnectionRamp::Step(int open) {
  open_ = open;
  warming_ = open;
  measured_ = 0;
}
