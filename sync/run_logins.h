#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

#include "sync/uploader.h"

// Where the login of each worker of one run stands, shared by the run's
// workers, so that a worker whose login a server that limits connections
// turns away (421) can tell whether the others hold the server's connections
// and will do the work without it. Workers are known by their WorkerNumber.
// Thread-safe; no batch lock is needed or taken.
class TrkRunLogins {
 public:
  enum class State { kLoggedOut, kConnecting, kLoggedIn, kTurnedAway, kEnded };

  // What a turned-away worker does next.
  enum class Turn {
    kAsUsual,    // no other worker holds or opens a connection: a failed login like any other
    kGiveWay,    // another worker holds a connection: leave the work to those that hold one
    kWait,       // none holds one, but others are logging in: wait for an opening
    kRetrySoon,  // no other worker holds one, but one was let go moments ago: a server may
                 // not have counted it out yet, so try again after a short pause
  };

  // How long after a connection was let go a refusal still counts as the
  // server's lagging count rather than as no room at all.
  static constexpr std::chrono::milliseconds kSettle{2000};

  // Progress of the run as a worker last saw it.
  struct Mark {
    uint64_t changes = 0;   // any worker's state changed or a file was done
    uint64_t openings = 0;  // a logged-in worker finished a file or let go of its connection
  };

  // Adds `worker` as logged out; a later call for the same worker resets it.
  void Join(int worker) { Set(worker, State::kLoggedOut); }
  void Set(int worker, State state);
  void Tell(int worker, TrkLoginState state);
  // `worker` finished a file. When it did so over a connection, one may have
  // come free (a connection of some other client, or a session the server
  // ends after each file); a file done without one frees nothing.
  void FileDone(int worker);

  Mark Seen() const;
  // Whether a worker of the run has logged in: the account is right, so a
  // login refused at its password is the server's limit, not a wrong account.
  bool AnyLoggedIn() const;
  // Whether a worker other than `worker` is logging in now.
  bool OthersConnecting(int worker) const;
  Turn AfterRefusal(int worker) const;
  // Waits until the run's progress passes `seen` or `limit` has passed, and
  // returns the progress then.
  Mark WaitForChange(const Mark& seen, std::chrono::milliseconds limit) const;

 private:
  void Changed(bool opening);  // under mu_

  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  std::map<int, State> states_;  // guarded by mu_
  Mark mark_;                    // guarded by mu_
  std::chrono::steady_clock::time_point last_opening_{};  // guarded by mu_
  bool any_logged_in_ = false;                            // guarded by mu_
};
