#pragma once

#include <libssh2.h>

#include <chrono>
#include <string>
#include <unordered_set>

#include "transfer/stop_sockets.h"
#include "transfer/transfer_session.h"

// One SSH connection made with libssh2, for the SFTP session of this folder
// alone (no header outside transfer/ includes this one): the socket, the
// handshake, the host key checked against known_hosts, and the login.
//
// libssh2 runs without blocking, so that every wait is the program's own: Wait
// polls the socket for what libssh2 last needed, ends at a deadline, and ends
// at once when the settings' stop token is asked (the socket is shut down). A
// waiting session costs no CPU.
//
// Not thread-safe: one thread at a time; only the stop comes from another.
class TrkSshConnection {
 public:
  using Clock = std::chrono::steady_clock;

  // `key_file`: the private key to try; empty: none. `known_hosts`: the file
  // the server's host key must be in.
  TrkSshConnection(const TrkSessionSettings& settings, std::string key_file, std::string known_hosts);
  // Says goodbye to the server if it can within a moment, then closes.
  ~TrkSshConnection();
  TrkSshConnection(const TrkSshConnection&) = delete;
  TrkSshConnection& operator=(const TrkSshConnection&) = delete;

  // Connects, checks the host key and logs in as `user`: with the key file,
  // then the keys of a running ssh-agent, then the password (when not empty).
  // False when any step failed; Failure() then says why.
  bool Open(const std::string& host, int port, const std::string& user, const std::string& password);
  // Whether the last failed Open found the server hanging up before it said
  // anything: sshd does that beyond its MaxStartups, with room a moment later.
  bool busy() const { return busy_; }
  LIBSSH2_SESSION* session() const { return session_; }

  // Calls `call` (a libssh2 call answering an int) until it no longer answers
  // LIBSSH2_ERROR_EAGAIN, waiting in between; LIBSSH2_ERROR_TIMEOUT when
  // `deadline` passed or a stop was asked first.
  template <class Call>
  int Drive(Call call, Clock::time_point deadline) {
    for (;;) {
      const int result = static_cast<int>(call());
      if (result != LIBSSH2_ERROR_EAGAIN) return result;
      if (!Wait(deadline)) return LIBSSH2_ERROR_TIMEOUT;
    }
  }
  // The same for a call answering a pointer, null when it failed.
  template <class Call>
  auto DrivePointer(Call call, Clock::time_point deadline) -> decltype(call()) {
    for (;;) {
      auto* result = call();
      if (result != nullptr || libssh2_session_last_errno(session_) != LIBSSH2_ERROR_EAGAIN) return result;
      if (!Wait(deadline)) return nullptr;
    }
  }
  // Waits until the socket can give or take what libssh2 last waited for.
  // False when `deadline` passed or a stop was asked first; Failure() says which.
  // Only right after the call being driven answered EAGAIN: any other call in
  // between may have read that call's answer off the socket, and the wait
  // would then be for nothing.
  bool Wait(Clock::time_point deadline);

  // Why the last step that failed failed: the connection's or libssh2's words.
  const std::string& Failure() const { return failure_; }
  // Takes libssh2's account of its last failure as the failure, unless a
  // wait already told a better one (a time-out, a stop).
  void FailWithLibraryError();

 private:
  bool Connect(const std::string& host, int port, Clock::time_point deadline);
  bool Handshake(const std::string& host, int port, Clock::time_point deadline);
  bool CheckHostKey(const std::string& host, int port);
  bool LogIn(const std::string& user, const std::string& password, Clock::time_point deadline);
  bool LogInWithAgent(const std::string& user, Clock::time_point deadline);
  void PreferKnownKeyType(const std::string& host, int port);
  std::string SupportedOf(const std::string& wanted) const;
  std::string HostName(const std::string& host, int port) const;
  void Fail(std::string why) { failure_ = std::move(why); }

  // Every block libssh2 holds for this connection. libssh2 1.10 frees a file
  // handle (with the write requests still on their way, up to the window)
  // only once its close went out, so a connection that broke mid-file would
  // leave them behind; they go with the connection instead.
  class Memory {
   public:
    Memory() = default;
    ~Memory();
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;
    static void* Allocate(size_t count, void** self);
    static void* Reallocate(void* block, size_t count, void** self);
    static void Release(void* block, void** self);

   private:
    std::unordered_set<void*> live_;
  };

  const TrkSessionSettings settings_;
  const std::string key_file_;
  const std::string known_hosts_;
  TrkStopSockets sockets_{settings_.Stop};
  Memory memory_;  // outlives session_
  int socket_ = -1;
  LIBSSH2_SESSION* session_ = nullptr;  // owned
  bool busy_ = false;
  bool waited_out_ = false;  // the last failure was a wait's, told in its words
  std::string failure_;
};
