#include "transfer/tls_stream.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include "transfer/tcp_socket.h"

namespace {

bool IsAddress(const std::string& host) {
  unsigned char bytes[16];
  return inet_pton(AF_INET, host.c_str(), bytes) == 1 || inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

int Clamp(size_t count) { return count > INT_MAX ? INT_MAX : static_cast<int>(count); }

// The TLS library writes to the socket without MSG_NOSIGNAL: a write to a
// connection the server closed raises SIGPIPE, which would end the program.
// Blocked in this thread while a call of the library runs, and one raised
// meanwhile taken back, so that the call fails with EPIPE instead.
class QuietPipe {
 public:
  QuietPipe() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &before_);
    pending_before_ = Pending();
  }
  ~QuietPipe() {
    if (!pending_before_ && Pending()) {
      const timespec now{};
      sigtimedwait(&pipe_, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &before_, nullptr);
  }
  QuietPipe(const QuietPipe&) = delete;
  QuietPipe& operator=(const QuietPipe&) = delete;

 private:
  static bool Pending() {
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
  }

  sigset_t pipe_, before_;
  bool pending_before_ = false;
};

}  // namespace

TrkTlsStream::TrkTlsStream(int fd, const std::string& host, bool verify)
    : host_(host), verify_(verify) {
  ERR_clear_error();
  context_ = SSL_CTX_new(TLS_client_method());
  if (context_ == nullptr) {
    FailWithLibraryError("TLS is not available");
    return;
  }
  // TLS 1.2 only: FTP servers demand that each data connection continue the
  // control connection's session (vsftpd's require_ssl_reuse, on by default,
  // and proftpd's), and TLS 1.3 spends a ticket on each continuation, so after
  // the few the server gave at the login a data connection would be refused.
  SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(context_, TLS1_2_VERSION);
  if (verify_) {
    SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_set_default_verify_paths(context_) != 1) {
      FailWithLibraryError("no trusted certificates");
      return;
    }
  }
  Start(fd, host);
}

TrkTlsStream::TrkTlsStream(int fd, const TrkTlsStream& control)
    : host_(control.host_), verify_(control.verify_) {
  if (control.context_ == nullptr || control.ssl_ == nullptr) {
    failure_ = control.failure_;
    return;
  }
  context_ = control.context_;
  SSL_CTX_up_ref(context_);
  Start(fd, host_);
  if (ssl_ == nullptr) return;
  // A copy: a connection that ends without TLS's close (a transfer cut
  // short) marks its session as not to be continued, and the next data
  // connection must still continue the control connection's.
  SSL_SESSION* session = SSL_get1_session(control.ssl_);
  if (session == nullptr) return;
  SSL_SESSION* copy = SSL_SESSION_dup(session);
  SSL_SESSION_free(session);
  if (copy == nullptr) return;
  SSL_set_session(ssl_, copy);
  SSL_SESSION_free(copy);
}

TrkTlsStream::~TrkTlsStream() {
  if (ssl_ != nullptr) SSL_free(ssl_);
  if (context_ != nullptr) SSL_CTX_free(context_);
}

void TrkTlsStream::Start(int fd, const std::string& host) {
  ssl_ = SSL_new(context_);
  if (ssl_ == nullptr) {
    FailWithLibraryError("TLS could not start");
    return;
  }
  SSL_set_fd(ssl_, fd);
  // Partial writes, as send(2) makes them; the buffer of a write that must
  // wait may move before it is tried again, as long as its bytes stay.
  SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (IsAddress(host)) {
    if (verify_) X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl_, host.c_str());
    if (verify_) SSL_set1_host(ssl_, host.c_str());
  }
}

bool TrkTlsStream::Handshake(Clock::time_point deadline, const std::stop_token& stop) {
  if (ssl_ == nullptr) return false;
  for (;;) {
    ERR_clear_error();
    QuietPipe quiet;
    const int result = SSL_connect(ssl_);
    if (result == 1) return true;
    const int error = SSL_get_error(ssl_, result);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) break;
    if (!trk_tcp::WaitFor(SSL_get_fd(ssl_), error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline, stop)) {
      failure_ = stop.stop_requested() ? "stopped" : "the TLS handshake took too long";
      return false;
    }
  }
  const long verified = SSL_get_verify_result(ssl_);
  if (verify_ && verified != X509_V_OK) {
    failure_ = std::string("SSL certificate problem: ") + X509_verify_cert_error_string(verified);
    return false;
  }
  FailWithLibraryError("the TLS handshake failed");
  return false;
}

void TrkTlsStream::Begin() {
  if (ssl_ == nullptr) return;
  ERR_clear_error();
  QuietPipe quiet;
  SSL_connect(ssl_);
}

ssize_t TrkTlsStream::Write(const void* bytes, size_t count) {
  ERR_clear_error();
  QuietPipe quiet;
  const int wrote = SSL_write(ssl_, bytes, Clamp(count));
  return wrote > 0 ? wrote : Trouble(wrote, false);
}

ssize_t TrkTlsStream::Read(void* bytes, size_t count) {
  ERR_clear_error();
  QuietPipe quiet;
  const int got = SSL_read(ssl_, bytes, Clamp(count));
  return got > 0 ? got : Trouble(got, true);
}

ssize_t TrkTlsStream::Trouble(int result, bool reading) {
  switch (SSL_get_error(ssl_, result)) {
    case SSL_ERROR_WANT_READ:
      wants_ = POLLIN;
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_WANT_WRITE:
      wants_ = POLLOUT;
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_ZERO_RETURN:
      if (reading) return 0;
      break;
    case SSL_ERROR_SYSCALL:
      // The connection itself failed (the server closed it, say): its cause.
      if (errno != 0) {
        failure_ = std::string(reading ? "receiving over TLS failed: " : "sending over TLS failed: ") +
                   std::strerror(errno);
        return -1;
      }
      break;
    default:
      break;
  }
  FailWithLibraryError(reading ? "receiving over TLS failed" : "sending over TLS failed");
  errno = EPROTO;
  return -1;
}

bool TrkTlsStream::Buffered() const { return ssl_ != nullptr && SSL_pending(ssl_) > 0; }

void TrkTlsStream::Drain() {
  if (ssl_ == nullptr) return;
  QuietPipe quiet;
  char unread[4096];
  while (SSL_read(ssl_, unread, sizeof(unread)) > 0) {
  }
  ERR_clear_error();
}

void TrkTlsStream::Close(Clock::time_point deadline, const std::stop_token& stop) {
  if (ssl_ == nullptr) return;
  Drain();
  QuietPipe quiet;
  for (int result; (result = SSL_shutdown(ssl_)) < 0;) {
    if (SSL_get_error(ssl_, result) != SSL_ERROR_WANT_WRITE) return;
    if (!trk_tcp::WaitFor(SSL_get_fd(ssl_), POLLOUT, deadline, stop)) return;
  }
}

void TrkTlsStream::FailWithLibraryError(const std::string& what) {
  const unsigned long error = ERR_get_error();
  if (error == 0) {
    failure_ = what;
    return;
  }
  char text[256];
  ERR_error_string_n(error, text, sizeof(text));
  failure_ = what + ": " + text;
}

namespace trk_tls {

ssize_t Send(int fd, TrkTlsStream* tls, const char* bytes, size_t count) {
  return tls != nullptr ? tls->Write(bytes, count) : send(fd, bytes, count, MSG_NOSIGNAL);
}

ssize_t Receive(int fd, TrkTlsStream* tls, char* bytes, size_t count) {
  return tls != nullptr ? tls->Read(bytes, count) : recv(fd, bytes, count, 0);
}

short Wanted(const TrkTlsStream* tls, short plain) { return tls != nullptr ? tls->Wants() : plain; }

std::string Failure(const TrkTlsStream* tls, const std::string& what) {
  return tls != nullptr ? tls->failure() : what + ": " + std::strerror(errno);
}

}  // namespace trk_tls
