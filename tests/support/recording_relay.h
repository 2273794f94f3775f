#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// A TCP relay on 127.0.0.1 in front of a server port: it forwards every
// connection it accepts, each way on a thread of its own, and keeps what went
// through, as a capture of the network would see it.
class RecordingRelay {
 public:
  // `command_hold`: how long the client's bytes wait before they go on, as on
  // a control connection slower than the direct data connections.
  // `reply_hold`: the same for the server's bytes, as on a far link; what the
  // client sends meanwhile passes at once.
  explicit RecordingRelay(int target_port, std::chrono::milliseconds command_hold = {},
                          std::chrono::milliseconds reply_hold = {});
  ~RecordingRelay();
  RecordingRelay(const RecordingRelay&) = delete;
  RecordingRelay& operator=(const RecordingRelay&) = delete;

  int port() const { return port_; }
  // Every byte the clients sent, in the order the relay took them.
  std::string ClientBytes();
  // Both ways, one line each, in the order the client could see them: "> "
  // and the client's line as it reached the relay, "< " and the server's as
  // it was passed on to the client.
  std::vector<std::string> Exchange();

 private:
  void AcceptAll();
  void Pump(int client, int server);
  void Forward(int from, int to, bool from_client);
  void Note(const char* bytes, size_t count, bool from_client);

  const int target_port_;
  const std::chrono::milliseconds command_hold_, reply_hold_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;  // joins the connections' threads before it ends
  std::mutex mu_;
  std::string client_bytes_;             // guarded by mu_
  std::vector<std::string> exchange_;    // guarded by mu_
  std::string partial_[2];               // guarded by mu_: a line not yet whole, each way
};

}  // namespace testing_support
