#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "transfer/transfer_session.h"

class TrkStopSockets;
class TrkTlsStream;

// The control connection of an FTP session of the program's own: commands out,
// replies in, and nothing else. Several commands may go out in one write (the
// server answers them in order), which is how a session saves round trips:
// whoever sends them reads as many replies back.
//
// Every read waits at most the settings' ReplyTimeout, and a stop ends it at
// once (the socket is noted in the session's TrkStopSockets, which shuts it
// down). A connection that failed once stays failed: each later call fails at
// once and failure() keeps the first cause.
//
// Not thread-safe: one session, one thread; only the stop comes from another.
class TrkFtpControl {
 public:
  using Clock = std::chrono::steady_clock;

  struct Reply {
    int code = 0;            // 0: none came; failure() says why
    std::string text;        // the final line, "NNN words"
    std::vector<std::string> lines;  // every line of it, a multi-line reply's inner ones too
  };

  TrkFtpControl(const TrkSessionSettings& settings, TrkStopSockets& sockets);
  // Tells the server QUIT and waits for its answer a moment at most, then closes.
  ~TrkFtpControl();
  TrkFtpControl(const TrkFtpControl&) = delete;
  TrkFtpControl& operator=(const TrkFtpControl&) = delete;

  // Connects within the settings' ConnectTimeout; the greeting is then the
  // first reply to Read.
  bool Open(const std::string& host, int port);
  // Speaks TLS from here on, the server's certificate verified as `host`'s
  // with the settings' SecureVerify; false when the handshake failed.
  bool StartTls(const std::string& host);
  // The connection's TLS, which its data connections continue; null in clear.
  const TrkTlsStream* tls() const { return tls_.get(); }
  // Sends `commands`, each as one line, in one write; false when the
  // connection failed.
  bool Send(const std::vector<std::string>& commands);
  // The next reply, waited for.
  Reply Read();
  // The next reply if it comes within `wait`; none, and the connection
  // failed, when it does not.
  Reply ReadWithin(std::chrono::milliseconds wait) { return ReadBy(Clock::now() + wait); }
  Reply Ask(const std::string& command) { return Send({command}) ? Read() : Reply{}; }
  // Whether a reply has begun to arrive, without waiting.
  bool Readable() const;
  // Whether bytes of a reply came that the socket no longer shows: to be
  // asked before polling fd().
  bool Buffered() const;

  int fd() const { return fd_; }
  bool broken() const { return fd_ < 0 || broken_; }
  const std::string& failure() const { return failure_; }

 private:
  static constexpr std::chrono::milliseconds kGoodbyeWait{1000};

  Reply ReadBy(Clock::time_point deadline);
  // The next line of what has arrived, without its line end, once it is whole.
  bool TakeLine(std::string& line);
  bool Fill(Clock::time_point deadline);
  void Fail(std::string why);

  const TrkSessionSettings& settings_;
  TrkStopSockets& sockets_;
  int fd_ = -1;
  std::unique_ptr<TrkTlsStream> tls_;  // once StartTls; destroyed before fd_ is closed
  bool broken_ = false;
  std::string pending_;  // received, not yet taken as lines
  std::string failure_;
};
