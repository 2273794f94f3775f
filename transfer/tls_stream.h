#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <stop_token>
#include <string>

struct ssl_st;
struct ssl_ctx_st;

// TLS, the client's side, over one connected non-blocking socket of an FTP
// session of the program's own: its control connection, or a data connection,
// which continues the control connection's TLS session (servers demand it, so
// that nobody else can slip in a data connection of their own).
//
// Write and Read behave as send(2) and recv(2) on a non-blocking socket: -1
// with errno EAGAIN means wait, for what Wants() says (POLLIN or POLLOUT: TLS
// may need to read in order to write, and the other way round). A reader must
// ask Buffered() before it polls: TLS may hold decrypted bytes the socket no
// longer shows.
//
// Not thread-safe: one session, one thread.
class TrkTlsStream {
 public:
  using Clock = std::chrono::steady_clock;

  // The control connection's: the server's certificate must verify and name
  // `host` when `verify`.
  TrkTlsStream(int fd, const std::string& host, bool verify);
  // A data connection's, continuing `control`'s session.
  TrkTlsStream(int fd, const TrkTlsStream& control);
  ~TrkTlsStream();
  TrkTlsStream(const TrkTlsStream&) = delete;
  TrkTlsStream& operator=(const TrkTlsStream&) = delete;

  // False when the handshake failed, `deadline` passed or a stop came first;
  // failure() then says why, a certificate's fault as "SSL certificate
  // problem: ...".
  bool Handshake(Clock::time_point deadline, const std::stop_token& stop);
  // Sends the handshake's first flight, without waiting for the answer;
  // Handshake goes on from there.
  void Begin();

  ssize_t Write(const void* bytes, size_t count);
  // 0 once the server closed the stream (with TLS's close or without).
  ssize_t Read(void* bytes, size_t count);
  short Wants() const { return wants_; }
  bool Buffered() const;
  // Tells the server the stream ends (TLS's close_notify), without waiting
  // for its own; the socket stays the caller's to close. What the server sent
  // meanwhile is read first: a socket closed with unread bytes is reset, and
  // a reset may cost the server the last bytes written to it.
  void Close(Clock::time_point deadline, const std::stop_token& stop);
  // Reads what the server sent since (its close, say), without waiting.
  void Drain();

  const std::string& failure() const { return failure_; }

 private:
  void Start(int fd, const std::string& host);
  // For a call that answered `result`: -1 with EAGAIN and wants_ set when it
  // must wait, else -1 with failure_ set (or 0 at the stream's end).
  ssize_t Trouble(int result, bool reading);
  void FailWithLibraryError(const std::string& what);

  ssl_ctx_st* context_ = nullptr;  // one reference, shared with the data connections' streams
  ssl_st* ssl_ = nullptr;
  std::string host_;
  bool verify_ = true;
  short wants_ = 0;
  std::string failure_;
};

// The I/O of a socket that may speak TLS (`tls` null: in clear), as send(2)
// and recv(2) make it, for the connections of an FTP session alike.
namespace trk_tls {

ssize_t Send(int fd, TrkTlsStream* tls, const char* bytes, size_t count);
ssize_t Receive(int fd, TrkTlsStream* tls, char* bytes, size_t count);
// What a call that must wait waits for: `plain` in clear.
short Wanted(const TrkTlsStream* tls, short plain);
// Why the last call failed: TLS's words, or `what` and errno's in clear.
std::string Failure(const TrkTlsStream* tls, const std::string& what);

}  // namespace trk_tls
