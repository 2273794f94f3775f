#include "support/recording_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "support/server_process.h"

namespace testing_support {

RecordingRelay::RecordingRelay(int target_port, std::chrono::milliseconds command_hold,
                               std::chrono::milliseconds reply_hold)
    : target_port_(target_port), command_hold_(command_hold), reply_hold_(reply_hold) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener_, 8) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(listener_);
    throw std::runtime_error("the relay cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { AcceptAll(); });
}

RecordingRelay::~RecordingRelay() {
  stop_ = true;
  acceptor_.join();
  close(listener_);
}

std::string RecordingRelay::ClientBytes() {
  std::lock_guard<std::mutex> lock(mu_);
  return client_bytes_;
}

std::vector<std::string> RecordingRelay::Exchange() {
  std::lock_guard<std::mutex> lock(mu_);
  return exchange_;
}

void RecordingRelay::AcceptAll() {
  std::vector<std::thread> pumps;
  while (!stop_) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(target_port_);
    if (client < 0 || connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      if (client >= 0) close(client);
      close(server);
      continue;
    }
    pumps.emplace_back([this, client, server] { Pump(client, server); });
  }
  for (std::thread& pump : pumps) pump.join();
}

void RecordingRelay::Pump(int client, int server) {
  std::thread replies([this, client, server] { Forward(server, client, false); });
  Forward(client, server, true);
  replies.join();
  close(client);
  close(server);
}

// One way until its sender closes or the relay stops; the end goes on.
void RecordingRelay::Forward(int from, int to, bool from_client) {
  char buffer[16384];
  for (bool open = true; open && !stop_;) {
    pollfd p{from, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    const ssize_t got = read(from, buffer, sizeof buffer);
    open = got > 0;
    if (!open) break;
    if (from_client) Note(buffer, static_cast<size_t>(got), true);
    std::this_thread::sleep_for(from_client ? command_hold_ : reply_hold_);
    if (!from_client) Note(buffer, static_cast<size_t>(got), false);
    for (ssize_t sent = 0, n = 0; open && sent < got; sent += n) {
      n = send(to, buffer + sent, static_cast<size_t>(got - sent), MSG_NOSIGNAL);
      open = n > 0;
    }
  }
  shutdown(to, SHUT_WR);
}

void RecordingRelay::Note(const char* bytes, size_t count, bool from_client) {
  std::lock_guard<std::mutex> lock(mu_);
  if (from_client) client_bytes_.append(bytes, count);
  std::string& partial = partial_[from_client ? 0 : 1];
  partial.append(bytes, count);
  for (size_t end; (end = partial.find('\n')) != std::string::npos; partial.erase(0, end + 1)) {
    std::string line = partial.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    exchange_.push_back((from_client ? "> " : "< ") + line);
  }
}

}  // namespace testing_support
