#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// Where a run stands, as the console's progress line and the window's status
// bar show it.
struct TrkProgressFigures {
  int found = 0;          // items listed so far
  bool listing_done = false;
  int done = 0;           // items finished, failed ones included
  int failed = 0;
  uint64_t bytes_sent = 0;
  std::chrono::steady_clock::duration elapsed{};
};

class TrkBatch;

// `batch`'s figures now, for a run that began at `start`. Any thread.
TrkProgressFigures TrkProgressOf(const TrkBatch& batch, std::chrono::steady_clock::time_point start);

// One line: "12 of 40 files, 1 failed, 3.2 MiB sent at 1.1 MiB/s, 0:25 left".
// While the listing goes on the count reads "of 40+" and no time left is
// guessed; the failures, the rate and the time left are left out until there
// is something to say. The time left assumes the files still to go take as
// long as the ones done took on average.
std::string TrkProgressText(const TrkProgressFigures& figures);

// "512 B", "3.2 KiB", "12.0 MiB", "1.5 GiB".
std::string TrkByteSize(uint64_t bytes);
