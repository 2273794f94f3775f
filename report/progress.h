#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class TrkBatch;

// Where a batch stands, as the console's progress line and the window's status
// bar show it.
struct TrkProgressFigures {
  // Listed: no run has started on the batch yet. Running: a run (or a resumed
  // one) goes on. Ended: it was paused, stopped or finished.
  enum class Stage { kListed, kRunning, kEnded };
  Stage stage = Stage::kRunning;
  int found = 0;          // items listed so far
  bool listing_done = false;
  int done = 0;           // items finished by every run of the batch, failed ones included
  int failed = 0;
  uint64_t bytes_sent = 0;  // by every run of the batch
  // The run shown, from its start or resume: what it finished and sent, and
  // how long it has gone on (or went on, once ended). The rate and the time
  // left rest on these alone, so time that sent nothing is never divided into
  // bytes another run sent.
  int run_done = 0;
  uint64_t run_bytes = 0;
  std::chrono::steady_clock::duration elapsed{};
};

// A batch's counters as a run started or resumed: the zero of its figures.
struct TrkProgressStart {
  std::chrono::steady_clock::time_point time;
  int done = 0;
  uint64_t bytes_sent = 0;
};

// `batch`'s counters now. Any thread.
TrkProgressStart TrkProgressStartOf(const TrkBatch& batch);

// `batch`'s figures now, at `stage`, for the run that began at `start`. Any thread.
TrkProgressFigures TrkProgressOf(const TrkBatch& batch, const TrkProgressStart& start,
                                 TrkProgressFigures::Stage stage);

// One line. Listed: "40 files found" ("40+" while the listing goes on). Else
// "12 of 40 files, 1 failed, 3.2 MiB sent at 1.1 MiB/s, 0:25 left": the
// failures, the rate and the time left are left out until there is something
// to say; the time left only while the run goes on and its listing is
// complete, assuming the files still to go take as long as the run's files
// took on average.
std::string TrkProgressText(const TrkProgressFigures& figures);

// "512 B", "3.2 KiB", "12.0 MiB", "1.5 GiB".
std::string TrkByteSize(uint64_t bytes);
