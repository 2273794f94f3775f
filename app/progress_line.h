#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "report/progress.h"

class TrkBatch;

// A console run's progress on a terminal: one line, redrawn at most ten times
// a second (files done of found, failures, bytes sent, rate, time left) and
// cleared when the drawing stops, so the terminal is left as it was.
//
// Threads: made and destroyed on the run's main thread; draws from a thread of
// its own, which only reads the batch's counters. The batch must outlive it.
class TrkProgressLine {
 public:
  // Whether `fd` is a terminal the line may be drawn on.
  static bool WantedOn(int fd);

  // Starts drawing `batch`'s progress on `fd` at once.
  TrkProgressLine(const TrkBatch& batch, int fd);
  // Stops drawing and clears the line.
  ~TrkProgressLine();
  TrkProgressLine(const TrkProgressLine&) = delete;
  TrkProgressLine& operator=(const TrkProgressLine&) = delete;

  static constexpr std::chrono::milliseconds kRedrawInterval{100};

 private:
  void Run(std::stop_token stop);
  // Writes `text` over the line, cut to the terminal's width so it never wraps.
  void Draw(const std::string& text) const;

  const TrkBatch& batch_;
  const int fd_;
  const TrkProgressStart start_;
  std::mutex mu_;                       // for the waits between redraws only
  std::condition_variable_any wake_;
  std::jthread thread_;                 // last: stopped and joined first
};
