#pragma once

// Starting and stopping the test servers' processes, on 127.0.0.1 only.

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

// 127.0.0.1 at `port`, as a socket address.
sockaddr_in Loopback(int port);
// A port on 127.0.0.1 that nobody listens on right now (a server binds it a
// moment later, or a test connects to it and is refused).
int FreePort();
int UnusedPort();
// Whether something accepts connections on 127.0.0.1:`port`.
bool Accepts(int port);
// Whether a socket listens on 127.0.0.1:`port`, as the kernel's table of TCP
// sockets says: no connection is made, so a server that counts its
// connections for a while after they close finds none of the test's.
bool Listens(int port);
// Starts a tool (`argv`) in a process group of its own, stdout to `out_fd`,
// stderr to `err_path`; the caller waits for it.
pid_t Spawn(const std::vector<std::string>& argv, int out_fd, const std::string& err_path);

// A server process that ends with this process, however this process ends,
// or when Stop() is called (by the destructor at the latest). It runs under
// a guard (tests/support/server_guard.cc) that leads its process group and
// ends the server and every process it started, sessions included, once
// this process lets go of their pipe.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess() { Stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts `argv` (stopping a server started before), stdout to `out_fd`,
  // stderr to `err_path`.
  void Start(const std::vector<std::string>& argv, int out_fd, const std::string& err_path);
  // Whether the server has ended (on its own: it failed to start, say).
  bool Exited();
  // TERM to the whole group, then after 3 s the guard kills what is left.
  void Stop();
  // The server's process group (the guard's pid); -1 when stopped.
  pid_t group() const { return guard_pid_; }

 private:
  pid_t guard_pid_ = -1;
  int guard_fd_ = -1;  // the only write end of the guard's pipe
};
// The first line the child writes to `fd`, within `limit`.
std::string ReadLine(int fd, std::chrono::milliseconds limit);
std::string ReadText(const std::filesystem::path& path);

}  // namespace testing_support
