#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "transfer/ftp_control.h"

class TrkMD5;
class TrkRateLimit;
class TrkStopSockets;
class TrkTlsStream;

// One data connection of an FTP session of the program's own, made to the
// server's port (passive) or taken from the server on a port of the program's
// window (active), and the bytes of one transfer over it.
//
// Over a control connection that speaks TLS, the data connection speaks it too,
// continuing the control connection's session, from the server's 150 on.
//
// While it waits on the data connection it watches the control connection too:
// a server that refuses the command, or gives up on the transfer, says so
// there and not on the data connection. A final reply ends the wait and is
// kept in reply() for the session, which reads the rest of the exchange
// itself. Every wait for the connection ends at the given limit, the wait for
// the server's preliminary reply at the settings' ReplyTimeout, every wait for
// the next byte at their StallTimeout, and a stop ends any at once.
//
// Not thread-safe: one session, one thread; only the stop comes from another.
class TrkFtpDataLink {
 public:
  using Clock = std::chrono::steady_clock;

  TrkFtpDataLink(const TrkSessionSettings& settings, TrkStopSockets& sockets, TrkFtpControl& control);
  // Closes whatever is still open, which aborts a transfer cut short.
  ~TrkFtpDataLink();
  TrkFtpDataLink(const TrkFtpDataLink&) = delete;
  TrkFtpDataLink& operator=(const TrkFtpDataLink&) = delete;

  // Passive: starts connecting to the server's data port (afresh, forgetting
  // an earlier attempt and its reply); Await finishes.
  bool Connect(const std::string& address, int port);
  // Active: listens on `address` at a port of the program's window (of the
  // kernel's choice when every one is taken); port() names it for PORT/EPRT.
  bool Listen(const std::string& address);
  int port() const { return port_; }

  enum class Ready {
    kConnected,  // the data connection stands and the server is ready for it
    kReplied,    // the server gave its final answer first: reply()
    kFailed,     // no data connection within `wait`; failure() says why
  };
  // Called once the command went out. Ready means the server's preliminary
  // reply (150) came too: a server may drop a connection whose bytes arrive
  // before it took the command (pyftpdlib does, leaving an empty file), and
  // the command travels on another connection than the data, which may be
  // the faster.
  Ready Await(std::chrono::milliseconds wait);

  // Asks the server NOOP while the transfer runs (once Await said
  // kConnected), and has Send keep the data connection open until the answer
  // came or `wait` passed. A server that reads commands during a transfer
  // answers within a round trip (noop() then says kAnsweredDuring); one that
  // queues them answers after the transfer's final reply, which the session
  // reads then. False when the command could not be sent.
  bool AskNoopDuring(std::chrono::milliseconds wait);
  enum class Noop { kNotAsked, kOwed, kAnsweredDuring };
  Noop noop() const { return noop_; }

  // Sends `in` from where it stands to its end, digesting and pacing each
  // chunk as it is read, then closes the connection; false when the transfer
  // ended early (reply() or failure() says how).
  bool Send(FILE* in, TrkMD5* digest, TrkRateLimit* rate);
  // Receives to the end of the connection; false as for Send.
  bool Receive(std::string& body);

  // Reads the control connection up to the transfer's final reply (reply()),
  // once the data went; false when none came.
  bool AwaitFinal();

  int64_t moved() const { return moved_; }
  const std::optional<TrkFtpControl::Reply>& reply() const { return reply_; }
  const std::string& failure() const { return failure_; }

 private:
  // A socket of `family` the stop can shut down; -1 when none (failure() says why).
  int OpenSocket(int family);
  // Notes the port the listening socket was bound to; true.
  bool TakeBoundPort();
  // Waits until the data socket has `events`, reading the control
  // connection's replies meanwhile; false when a final reply, the deadline,
  // a broken control connection or a stop came first.
  bool WaitData(int fd, short events, Clock::time_point deadline);
  // Reads the reply the control connection has begun: false when it was a
  // refusal or none came.
  bool TakeReply();
  // Await's two ways to the data connection: false when none came (failure()
  // or reply() says why).
  bool Accepted(Clock::time_point deadline);
  bool Connected(Clock::time_point deadline);
  // Waits for the server's 150 (true) or its final word (reply()).
  bool AwaitMark();
  bool SendChunk(const char* bytes, size_t count);
  // The TLS handshake begun on the data connection, finished (true without TLS).
  bool Secured();
  // Takes replies until the NOOP's answer, a final reply or noop_deadline_.
  void HoldForNoop();
  void CloseData();
  // Fails for a broken data connection, taking the server's reply that says
  // why when one comes within kWordsAfterBreak.
  bool Broke(std::string why);
  bool Fail(std::string why);

  static constexpr std::chrono::milliseconds kWordsAfterBreak{1000};

  const TrkSessionSettings& settings_;
  TrkStopSockets& sockets_;
  TrkFtpControl& control_;
  int listener_ = -1;  // active, until the server connected
  int data_ = -1;
  std::unique_ptr<TrkTlsStream> tls_;  // of data_, over TLS; reset before data_ closes
  int port_ = 0;
  int64_t moved_ = 0;
  bool marked_ = false;  // the server's preliminary reply (150) came
  Noop noop_ = Noop::kNotAsked;
  Clock::time_point noop_deadline_;
  std::optional<TrkFtpControl::Reply> reply_;
  std::string failure_;
};
