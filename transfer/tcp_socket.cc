#include "transfer/tcp_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "transfer/stop_sockets.h"

namespace trk_tcp {
namespace {

// Polls a second at most at a time: a stop that came between two polls is
// seen within that.
int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1000));
}

std::string AddressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  const void* raw = address.ss_family == AF_INET6
                        ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr)
                        : static_cast<const void*>(&reinterpret_cast<const sockaddr_in&>(address).sin_addr);
  return inet_ntop(address.ss_family, raw, text, sizeof(text)) != nullptr ? text : "";
}

std::string Unbracketed(const std::string& host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

}  // namespace

bool WaitFor(int fd, short events, Clock::time_point deadline, const std::stop_token& stop) {
  pollfd ready{fd, events, 0};
  for (;;) {
    if (stop.stop_requested()) return false;
    if (poll(&ready, 1, MillisecondsLeft(deadline)) != 0) return !stop.stop_requested();
    if (Clock::now() >= deadline) return false;
  }
}

int FinishConnect(int fd, Clock::time_point deadline, const std::stop_token& stop) {
  if (!WaitFor(fd, POLLOUT, deadline, stop)) return stop.stop_requested() ? ECANCELED : ETIMEDOUT;
  int error = 0;
  socklen_t length = sizeof(error);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

int Connect(const std::string& host, int port, Clock::time_point deadline, TrkStopSockets& sockets,
            const std::stop_token& stop, std::string& failure) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string name = Unbracketed(host);
  const std::string service = std::to_string(port);
  if (const int error = getaddrinfo(name.c_str(), service.c_str(), &hints, &found); error != 0) {
    failure = "Could not resolve host: " + name + " (" + gai_strerror(error) + ")";
    return -1;
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
  int error = ECONNREFUSED;
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    const int fd = socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    if (!sockets.Opened(fd)) {
      close(fd);
      failure = "stopped";
      return -1;
    }
    error = connect(fd, address->ai_addr, address->ai_addrlen) == 0 ? 0 : errno;
    if (error == EINPROGRESS) error = FinishConnect(fd, deadline, stop);
    if (error == 0) {
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
      return fd;
    }
    sockets.Close(fd);
  }
  failure = "Failed to connect to " + name + " port " + service + ": " + std::strerror(error);
  return -1;
}

std::string LocalAddress(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "";
  return AddressText(address);
}

std::string PeerAddress(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "";
  return AddressText(address);
}

}  // namespace trk_tcp
