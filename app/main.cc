#include <signal.h>

#include <iostream>

#include "app/program.h"

int main(int argc, char** argv) {
  // A peer that drops a connection (or a closed stderr pipe in a cron job) must
  // turn into a failed write, not end the whole run silently.
  signal(SIGPIPE, SIG_IGN);
  return TrkProgramMain(argc, argv, std::cerr);
}
