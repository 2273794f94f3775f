#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

// How many of a run's workers may hold a connection (ThreadsCount=Auto): at
// first kFirst, then more, a step at a time up to the most the chain has,
// while each step raises the files done per second by a tenth or more. A
// step that does not, or a server that turns a login away, settles the count
// where it stands; so does the end of the batch. A fixed ThreadsCount is a
// ramp that starts settled at its count.
//
// A step is measured on the files its workers upload once the step's first
// ones (one per worker: each new connection's login is in them) are behind
// it, two per worker.
// Files that needed no connection say nothing of the server and are not told.
//
// Threads: every member from any worker's thread; one lock, mu_.
class TrkConnectionRamp {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kFirst = 4;
  // A step opens half as many again as are open, at least one.
  static constexpr int NextCount(int open, int most) {
    const int next = open + (open / 2 > 0 ? open / 2 : 1);
    return next < most ? next : most;
  }

  // Ramps from min(kFirst, most) to `most` when `ramp`, else settled at `most`.
  TrkConnectionRamp(int most, bool ramp);

  enum class Turn { kYours, kNever, kNotYet };
  // Whether the worker numbered `worker` (1 up to `most`) may take files:
  // kYours once the count reaches it, kNever once the count settled below
  // it, kNotYet when `patience` passed or `stop` was requested first.
  Turn AwaitTurn(int worker, std::stop_token stop, std::chrono::milliseconds patience);
  // A file went up over a worker's connection at `done`.
  void FileUploaded(Clock::time_point done = Clock::now());
  // The server turned a login away, or the run is over: no more steps.
  void Settle();
  // How many workers may hold a connection now.
  int Open() const;

 private:
  void Step(int open);  // under mu_

  mutable std::mutex mu_;
  std::condition_variable_any turn_;
  const int most_;
  int open_;                    // guarded by mu_
  bool settled_;                // guarded by mu_
  int warming_ = 0;             // guarded by mu_: files of this step still left out
  int measured_ = 0;            // guarded by mu_: files of this step counted since `since_`
  Clock::time_point since_{};   // guarded by mu_
  double last_rate_ = 0;        // guarded by mu_: files per second of the step before
};

// Every step opens at least one more, and none goes past the most.
static_assert(TrkConnectionRamp::NextCount(1, 16) == 2 && TrkConnectionRamp::NextCount(4, 16) == 6 &&
              TrkConnectionRamp::NextCount(9, 16) == 13 && TrkConnectionRamp::NextCount(13, 16) == 16);
