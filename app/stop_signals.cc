#include "app/stop_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

// The pipe's ends and the first signal; the handler may only touch these.
int pipe_read = -1;
int pipe_write = -1;
volatile std::sig_atomic_t first_signal = 0;

// The byte that tells Wait the run has ended; no signal has number 0.
constexpr char kEnded = 0;

void OnSignal(int signal) {
  const int saved = errno;  // the interrupted code may be about to read it
  if (first_signal == 0) first_signal = signal;
  const char byte = static_cast<char>(signal);
  (void)!write(pipe_write, &byte, 1);
  errno = saved;
}

}  // namespace

TrkStopSignals::TrkStopSignals() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return;  // no pipe: signals keep their usual effect
  pipe_read = ends[0];
  pipe_write = ends[1];
  first_signal = 0;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &previous_int_);
  sigaction(SIGTERM, &action, &previous_term_);
}

TrkStopSignals::~TrkStopSignals() {
  if (pipe_read < 0) return;
  sigaction(SIGINT, &previous_int_, nullptr);
  sigaction(SIGTERM, &previous_term_, nullptr);
  close(pipe_read);
  close(pipe_write);
  pipe_read = pipe_write = -1;
}

void TrkStopSignals::RunEnded() {
  if (pipe_write >= 0) (void)!write(pipe_write, &kEnded, 1);
}

int TrkStopSignals::Wait() {
  if (pipe_read < 0) return 0;
  char byte = kEnded;
  while (read(pipe_read, &byte, 1) < 0 && errno == EINTR) {
  }
  return byte;
}

int TrkStopSignals::Caught() { return first_signal; }
