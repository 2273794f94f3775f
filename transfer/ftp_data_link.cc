#include "transfer/ftp_data_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "digest/md5.h"
#include "transfer/data_ports.h"
#include "transfer/rate_limit.h"
#include "transfer/stop_sockets.h"
#include "transfer/tcp_socket.h"
#include "transfer/tls_stream.h"

namespace {

// Large enough that a far link's window fills from few calls, small enough
// that MaxRate's pacing stays even.
constexpr size_t kChunk = 64 * 1024;

// `address` at `port` as a socket address; false when it is no address.
bool SocketAddress(const std::string& address, int port, sockaddr_storage& out, socklen_t& length) {
  out = {};
  auto& v4 = reinterpret_cast<sockaddr_in&>(out);
  auto& v6 = reinterpret_cast<sockaddr_in6&>(out);
  if (inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof(v4);
    return true;
  }
  if (inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) != 1) return false;
  v6.sin6_family = AF_INET6;
  v6.sin6_port = htons(static_cast<uint16_t>(port));
  length = sizeof(v6);
  return true;
}

}  // namespace

TrkFtpDataLink::TrkFtpDataLink(const TrkSessionSettings& settings, TrkStopSockets& sockets, TrkFtpControl& control)
    : settings_(settings), sockets_(sockets), control_(control) {}

TrkFtpDataLink::~TrkFtpDataLink() {
  if (listener_ >= 0) sockets_.Close(listener_);
  CloseData();
}

int TrkFtpDataLink::OpenSocket(int family) {
  const int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail(std::string("no socket: ") + std::strerror(errno)), -1;
  if (sockets_.Opened(fd)) return fd;
  close(fd);
  return Fail("stopped"), -1;
}

bool TrkFtpDataLink::Connect(const std::string& address, int port) {
  CloseData();  // a connection tried before, to a port that had closed
  failure_.clear();
  reply_.reset();
  marked_ = false;
  sockaddr_storage to{};
  socklen_t length = 0;
  if (!SocketAddress(address, port, to, length)) return Fail("no address to connect the data connection to");
  const int fd = OpenSocket(to.ss_family);
  if (fd < 0) return false;
  data_ = fd;
  port_ = port;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&to), length) == 0 || errno == EINPROGRESS) return true;
  return Fail("Failed to connect to " + address + " port " + std::to_string(port) + ": " + std::strerror(errno));
}

bool TrkFtpDataLink::Listen(const std::string& address) {
  sockaddr_storage at{};
  socklen_t length = 0;
  if (!SocketAddress(address, 0, at, length)) return Fail("no address to take the data connection on");
  const unsigned first = TrkDataPorts::NextWindow();
  std::vector<int> ports;
  for (unsigned port = first; port < first + TrkDataPorts::kWidth; ++port) ports.push_back(static_cast<int>(port));
  ports.push_back(0);  // every port of the window taken: the kernel's choice
  for (int port : ports) {
    if (listener_ < 0 && (listener_ = OpenSocket(at.ss_family)) < 0) return false;
    // A port of the window may still have a connection in TIME-WAIT.
    const int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    SocketAddress(address, port, at, length);
    if (bind(listener_, reinterpret_cast<const sockaddr*>(&at), length) != 0) continue;
    // With SO_REUSEADDR another program's socket may share the bound port
    // until one of them listens: then the port is taken after all.
    if (listen(listener_, 1) == 0) return TakeBoundPort();
    if (errno != EADDRINUSE) return Fail(std::string("cannot listen for the data connection: ") + std::strerror(errno));
    sockets_.Close(listener_);
    listener_ = -1;
  }
  return Fail(std::string("no port to take the data connection on: ") + std::strerror(errno));
}

bool TrkFtpDataLink::TakeBoundPort() {
  sockaddr_storage bound{};
  socklen_t bound_length = sizeof(bound);
  getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &bound_length);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                            : reinterpret_cast<sockaddr_in&>(bound).sin_port);
  return true;
}

TrkFtpDataLink::Ready TrkFtpDataLink::Await(std::chrono::milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  const bool stands = listener_ >= 0 ? Accepted(deadline) : Connected(deadline);
  // The mark also tells an active connection the server made as soon as it
  // was told the port, before it took the command, whether it is for the command.
  // Over TLS the handshake's first flight goes as soon as the connection
  // stands: the server reads it once it took the command, and answers a
  // round trip sooner than if it went after the 150.
  if (stands && control_.tls() != nullptr) {
    tls_ = std::make_unique<TrkTlsStream>(data_, *control_.tls());
    tls_->Begin();
  }
  if (stands && AwaitMark() && Secured()) return Ready::kConnected;
  return reply_ ? Ready::kReplied : Ready::kFailed;
}

bool TrkFtpDataLink::Accepted(Clock::time_point deadline) {
  if (!WaitData(listener_, POLLIN, deadline)) return false;
  data_ = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  sockets_.Close(listener_);
  listener_ = -1;
  if (data_ < 0) return Fail(std::string("accepting the data connection failed: ") + std::strerror(errno));
  if (sockets_.Opened(data_)) return true;
  close(data_);
  data_ = -1;
  return Fail("stopped");
}

bool TrkFtpDataLink::Connected(Clock::time_point deadline) {
  if (data_ < 0 || !WaitData(data_, POLLOUT, deadline)) return false;
  int error = 0;
  socklen_t length = sizeof(error);
  getsockopt(data_, SOL_SOCKET, SO_ERROR, &error, &length);
  if (error == 0) return true;
  // The server has the command: its answer says what became of it.
  return Broke("Failed to connect to the data port " + std::to_string(port_) + ": " + std::strerror(error));
}

bool TrkFtpDataLink::Secured() {
  if (tls_ == nullptr) return true;
  if (tls_->Handshake(Clock::now() + settings_.ReplyTimeout, settings_.Stop)) return true;
  return Broke("TLS on the data connection failed: " + tls_->failure());
}

bool TrkFtpDataLink::Send(FILE* in, TrkMD5* digest, TrkRateLimit* rate) {
  std::vector<char> chunk(kChunk);
  if (digest != nullptr) digest->Init();
  for (;;) {
    const size_t count = std::fread(chunk.data(), 1, chunk.size(), in);
    if (count == 0) break;
    if (digest != nullptr) digest->Update(chunk.data(), count);
    if (rate != nullptr && !rate->Pace(static_cast<int64_t>(count), settings_.Stop)) return Fail("stopped");
    if (!SendChunk(chunk.data(), count)) return false;
  }
  if (std::ferror(in)) return Fail("reading the local file failed");
  if (noop_ == Noop::kOwed) HoldForNoop();
  if (tls_ == nullptr) {
    CloseData();
    return true;
  }
  // Only a whole file ends with TLS's close: a stream cut without it tells a
  // careful server that the file is not whole. The socket stays open, half
  // closed, until the transfer's end: the server's own close may still come,
  // and a socket closed under unread bytes is reset, which can cost the
  // server the file's last bytes.
  tls_->Close(Clock::now() + settings_.StallTimeout, settings_.Stop);
  shutdown(data_, SHUT_WR);
  return true;
}

bool TrkFtpDataLink::AskNoopDuring(std::chrono::milliseconds wait) {
  if (!control_.Send({"NOOP"})) return Fail(control_.failure());
  noop_ = Noop::kOwed;
  noop_deadline_ = Clock::now() + wait;
  return true;
}

void TrkFtpDataLink::HoldForNoop() {
  while (noop_ == Noop::kOwed && !reply_) {
    // The answer may have come in the same read as the 150.
    if (!control_.Readable() && !trk_tcp::WaitFor(control_.fd(), POLLIN, noop_deadline_, settings_.Stop)) return;
    if (!TakeReply()) return;
  }
}

bool TrkFtpDataLink::SendChunk(const char* bytes, size_t count) {
  for (size_t done = 0; done < count;) {
    const ssize_t wrote = trk_tls::Send(data_, tls_.get(), bytes + done, count - done);
    if (wrote > 0) {
      done += static_cast<size_t>(wrote);
      moved_ += wrote;
    } else if (wrote < 0 && errno != EAGAIN && errno != EINTR) {
      return Broke(trk_tls::Failure(tls_.get(), "sending the file failed"));
    } else if (!WaitData(data_, trk_tls::Wanted(tls_.get(), POLLOUT), Clock::now() + settings_.StallTimeout)) {
      return false;
    }
  }
  return true;
}

bool TrkFtpDataLink::Receive(std::string& body) {
  char buffer[kChunk];
  for (;;) {
    const ssize_t got = trk_tls::Receive(data_, tls_.get(), buffer, sizeof(buffer));
    if (got > 0) {
      body.append(buffer, static_cast<size_t>(got));
      moved_ += got;
    } else if (got == 0) {
      if (tls_ != nullptr) tls_->Close(Clock::now() + settings_.StallTimeout, settings_.Stop);
      CloseData();
      return true;
    } else if (errno != EAGAIN && errno != EINTR) {
      return Broke(trk_tls::Failure(tls_.get(), "receiving the listing failed"));
    } else if (tls_ != nullptr && tls_->Buffered()) {
      continue;
    } else if (!WaitData(data_, trk_tls::Wanted(tls_.get(), POLLIN), Clock::now() + settings_.StallTimeout)) {
      return false;
    }
  }
}

bool TrkFtpDataLink::WaitData(int fd, short events, Clock::time_point deadline) {
  pollfd ready[2] = {{fd, events, 0}, {control_.fd(), POLLIN, 0}};
  for (;;) {
    if (settings_.Stop.stop_requested()) return Fail("stopped");
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return Fail("the data connection moved nothing in time");
    // Once the server has said its last word, the data connection alone is left.
    const nfds_t watched = reply_ ? 1 : 2;
    if (watched == 2 && control_.Buffered()) {
      if (!TakeReply()) return false;
      continue;
    }
    if (poll(ready, watched, static_cast<int>(std::min<long long>(left, 1000))) <= 0) continue;
    // The control connection first: a refusal may come with the connection
    // the server made before it refused.
    if (watched == 2 && ready[1].revents != 0) {
      if (!TakeReply()) return false;
      continue;
    }
    if (ready[0].revents != 0) return true;
  }
}

bool TrkFtpDataLink::TakeReply() {
  TrkFtpControl::Reply reply = control_.Read();
  if (reply.code == 0) return Fail(control_.failure());
  if (reply.code < 200) return marked_ = true;  // 150: the server is ready
  // No transfer ends in a 200 (226 or 250 say it went), nor in a 500 or
  // 502, which say a command was not understood: NOOP's answer.
  const bool noop_answer = reply.code == 200 || reply.code == 500 || reply.code == 502;
  if (noop_ == Noop::kOwed && noop_answer) {
    noop_ = Noop::kAnsweredDuring;
    return true;
  }
  // A 226 may overtake the listing's last bytes; a refusal ends the transfer.
  const bool refused = reply.code >= 400;
  reply_ = std::move(reply);
  return !refused;
}

bool TrkFtpDataLink::AwaitFinal() {
  while (!reply_ && TakeReply()) {
  }
  return reply_.has_value();
}

bool TrkFtpDataLink::AwaitMark() {
  const auto deadline = Clock::now() + settings_.ReplyTimeout;
  while (!marked_ && !reply_) {
    if (!control_.Readable() && !trk_tcp::WaitFor(control_.fd(), POLLIN, deadline, settings_.Stop)) {
      return Fail(settings_.Stop.stop_requested() ? "stopped" : "the server did not answer in time");
    }
    if (!TakeReply()) return false;
  }
  return marked_;
}

void TrkFtpDataLink::CloseData() {
  if (tls_ != nullptr && data_ >= 0) {
    tls_->Drain();
    char unread[4096];
    while (recv(data_, unread, sizeof(unread), MSG_DONTWAIT) > 0) {
    }
  }
  tls_.reset();
  if (data_ >= 0) sockets_.Close(data_);
  data_ = -1;
}

bool TrkFtpDataLink::Broke(std::string why) {
  Fail(std::move(why));
  // A server that refuses a command it took with its data connection says so,
  // then drops the connection: its words are the cause, when they come.
  if (!reply_ && (control_.Readable() ||
                  trk_tcp::WaitFor(control_.fd(), POLLIN, Clock::now() + kWordsAfterBreak, settings_.Stop))) {
    TakeReply();
  }
  return false;
}

bool TrkFtpDataLink::Fail(std::string why) {
  if (failure_.empty()) failure_ = std::move(why);
  return false;
}
