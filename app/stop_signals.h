#pragma once

#include <csignal>

// SIGINT and SIGTERM during a console run, turned from "die at once" (with up
// to a save interval of uploads unrecorded and no log) into a stop the run's
// owner carries out on its own thread: the handler only writes the signal's
// number into a pipe, which the owner waits on together with the run's end.
//
// One instance at a time (the handlers are process-wide); made and destroyed
// on the owner's thread, which alone calls Wait. RunEnded may come from any
// thread. The previous handlers come back with destruction.
class TrkStopSignals {
 public:
  TrkStopSignals();
  ~TrkStopSignals();
  TrkStopSignals(const TrkStopSignals&) = delete;
  TrkStopSignals& operator=(const TrkStopSignals&) = delete;

  // Wakes Wait for good: the run has ended. Any thread.
  void RunEnded();
  // Blocks until a signal arrives (returns its number) or the run has ended
  // (returns 0).
  int Wait();
  // The first signal that arrived while this instance lived; 0 when none did.
  static int Caught();

 private:
  struct sigaction previous_int_ {};
  struct sigaction previous_term_ {};
};
