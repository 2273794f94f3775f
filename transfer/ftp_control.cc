#include "transfer/ftp_control.h"

#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "transfer/stop_sockets.h"
#include "transfer/tcp_socket.h"
#include "transfer/tls_stream.h"

namespace {

// A reply line's code, when the line starts with three digits.
int CodeOf(const std::string& line) {
  if (line.size() < 3) return 0;
  for (int i = 0; i < 3; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(line[i]))) return 0;
  }
  return std::stoi(line.substr(0, 3));
}

// Whether `line` ends a reply that began with `code`: "NNN text" or "NNN".
bool EndsReply(const std::string& line, int code) {
  return CodeOf(line) == code && (line.size() == 3 || line[3] == ' ');
}

}  // namespace

TrkFtpControl::TrkFtpControl(const TrkSessionSettings& settings, TrkStopSockets& sockets)
    : settings_(settings), sockets_(sockets) {}

TrkFtpControl::~TrkFtpControl() {
  if (fd_ < 0) return;
  // The answer is waited for a moment, so that the server ends the session
  // as asked rather than finding it cut.
  if (!broken_ && Send({"QUIT"})) ReadBy(Clock::now() + kGoodbyeWait);
  tls_.reset();
  sockets_.Close(fd_);
}

bool TrkFtpControl::Open(const std::string& host, int port) {
  fd_ = trk_tcp::Connect(host, port, Clock::now() + settings_.ConnectTimeout, sockets_, settings_.Stop, failure_);
  return fd_ >= 0;
}

bool TrkFtpControl::StartTls(const std::string& host) {
  tls_ = std::make_unique<TrkTlsStream>(fd_, host, settings_.SecureVerify);
  if (tls_->Handshake(Clock::now() + settings_.ConnectTimeout, settings_.Stop)) return true;
  Fail(tls_->failure());
  return false;
}

bool TrkFtpControl::Buffered() const { return !pending_.empty() || (tls_ != nullptr && tls_->Buffered()); }

bool TrkFtpControl::Send(const std::vector<std::string>& commands) {
  if (broken()) return false;
  std::string out;
  for (const std::string& command : commands) out += command + "\r\n";
  const auto deadline = Clock::now() + settings_.ReplyTimeout;
  for (size_t done = 0; done < out.size();) {
    const ssize_t wrote = trk_tls::Send(fd_, tls_.get(), out.data() + done, out.size() - done);
    if (wrote > 0) {
      done += static_cast<size_t>(wrote);
    } else if (wrote < 0 && errno != EAGAIN && errno != EINTR) {
      Fail(trk_tls::Failure(tls_.get(), "sending to the server failed"));
      return false;
    } else if (!trk_tcp::WaitFor(fd_, trk_tls::Wanted(tls_.get(), POLLOUT), deadline, settings_.Stop)) {
      Fail(settings_.Stop.stop_requested() ? "stopped" : "the server took no command in time");
      return false;
    }
  }
  return true;
}

TrkFtpControl::Reply TrkFtpControl::Read() {
  return ReadBy(Clock::now() + std::max(settings_.ReplyTimeout, std::chrono::milliseconds(1000)));
}

TrkFtpControl::Reply TrkFtpControl::ReadBy(Clock::time_point deadline) {
  Reply reply;
  std::string line;
  while (!broken()) {
    if (!TakeLine(line)) {
      if (!Fill(deadline)) break;
      continue;
    }
    reply.lines.push_back(line);
    if (reply.lines.size() == 1) reply.code = CodeOf(line);
    if (reply.code == 0) continue;  // noise before a reply
    if (reply.lines.size() == 1 && (line.size() == 3 || line[3] != '-')) return {reply.code, line, reply.lines};
    if (reply.lines.size() > 1 && EndsReply(line, reply.code)) return {reply.code, line, reply.lines};
  }
  return {};
}

bool TrkFtpControl::Readable() const {
  if (Buffered()) return true;
  pollfd ready{fd_, POLLIN, 0};
  return fd_ >= 0 && poll(&ready, 1, 0) > 0;
}

bool TrkFtpControl::TakeLine(std::string& line) {
  const size_t end = pending_.find('\n');
  if (end == std::string::npos) return false;
  line.assign(pending_, 0, end);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  pending_.erase(0, end + 1);
  return true;
}

bool TrkFtpControl::Fill(Clock::time_point deadline) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = trk_tls::Receive(fd_, tls_.get(), buffer, sizeof(buffer));
    if (got > 0) {
      pending_.append(buffer, static_cast<size_t>(got));
      return true;
    }
    if (got == 0) {
      Fail("the server closed the connection");
      return false;
    }
    if (errno != EAGAIN && errno != EINTR) {
      Fail(trk_tls::Failure(tls_.get(), "receiving from the server failed"));
      return false;
    }
    if (!trk_tcp::WaitFor(fd_, trk_tls::Wanted(tls_.get(), POLLIN), deadline, settings_.Stop)) {
      Fail(settings_.Stop.stop_requested() ? "stopped" : "the server did not answer in time");
      return false;
    }
  }
}

void TrkFtpControl::Fail(std::string why) {
  if (!broken_) failure_ = std::move(why);
  broken_ = true;
}
