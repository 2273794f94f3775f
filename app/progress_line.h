#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "report/progress.h"

class TrkBatch;

// A console run's progress (files done of found, failures, bytes sent, rate,
// time left): on a terminal one line, redrawn at most ten times a second and
// cleared when the drawing stops, so the terminal is left as it was; in a CI
// job's log, where nothing is redrawn, the same text as a line of its own
// every ten seconds, without control characters.
//
// Threads: made and destroyed on the run's main thread; draws from a thread of
// its own, which only reads the batch's counters. The batch must outlive it.
class TrkProgressLine {
 public:
  enum class Style {
    kRedrawn,  // a terminal
    kLogged,   // a CI job's log
  };
  // How progress is shown on `fd`: redrawn on a terminal; logged when `fd` is
  // none and the environment's CI says a CI job runs (GitHub Actions, GitLab
  // CI and most others set CI=true); nothing elsewhere (cron mails every
  // line, a pipe or a file gets the run's own output alone).
  static std::optional<Style> WantedOn(int fd);

  // Starts showing `batch`'s progress on `fd` at once: a logged line after
  // each `log_every`.
  TrkProgressLine(const TrkBatch& batch, int fd, Style style = Style::kRedrawn,
                  std::chrono::milliseconds log_every = kLogInterval);
  // Stops drawing and clears the line.
  ~TrkProgressLine();
  TrkProgressLine(const TrkProgressLine&) = delete;
  TrkProgressLine& operator=(const TrkProgressLine&) = delete;

  static constexpr std::chrono::milliseconds kRedrawInterval{100};
  static constexpr std::chrono::milliseconds kLogInterval{10000};

 private:
  void Run(std::stop_token stop);
  // Writes `text` over the line, cut to the terminal's width so it never wraps.
  void Draw(const std::string& text) const;

  const TrkBatch& batch_;
  const int fd_;
  const Style style_;
  const std::chrono::milliseconds log_every_;
  const TrkProgressStart start_;
  std::mutex mu_;                       // for the waits between redraws only
  std::condition_variable_any wake_;
  std::jthread thread_;                 // last: stopped and joined first
};
