#include <signal.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <iostream>

#include "app/program.h"

int main(int argc, char** argv) {
  // A peer that drops a connection (or a closed stderr pipe in a cron job) must
  // turn into a failed write, not end the whole run silently.
  signal(SIGPIPE, SIG_IGN);
#ifdef __GLIBC__
  // The texts of a save and of the run log grow with the site (megabytes at
  // 100,000 files) and live briefly. A fixed threshold keeps them in their own
  // mappings, given back when freed; glibc's default raises the threshold after
  // the first such free, and the next ones then stay in the heap for good.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
  return TrkProgramMain(argc, argv, std::cerr);
}
