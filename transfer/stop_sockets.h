#pragma once

#include <mutex>
#include <set>
#include <stop_token>

// The sockets one session has open, so that a stop request from another
// thread ends whatever the session waits for on them at once: a socket shut
// down wakes every wait on it, where a transfer library's progress callback
// may be asked again only a second later. Once stopped, no socket opens.
//
// Thread safety: the session's thread opens and closes; the stopping thread
// shuts down. mu_ guards the open sockets and `stopped_`; a socket is shut
// down only while it is known open, so a number closed and reused by another
// thread is never touched.
class TrkStopSockets {
 public:
  explicit TrkStopSockets(std::stop_token stop);
  TrkStopSockets(const TrkStopSockets&) = delete;
  TrkStopSockets& operator=(const TrkStopSockets&) = delete;

  // Notes a socket the session opened; false once stopped: the caller then
  // closes it and fails the open.
  bool Opened(int fd);
  // Closes a socket the session opened.
  void Close(int fd);

 private:
  struct OnStop {
    TrkStopSockets* sockets;
    void operator()() const { sockets->ShutDownAll(); }
  };
  void ShutDownAll();

  std::mutex mu_;
  std::set<int> open_;    // guarded by mu_
  bool stopped_ = false;  // guarded by mu_
  // Last: a stop already requested runs ShutDownAll from its constructor.
  std::stop_callback<OnStop> on_stop_;
};
