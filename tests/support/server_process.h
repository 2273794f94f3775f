#pragma once

// Starting and stopping the test servers' processes, on 127.0.0.1 only.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

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
// Whether the child `pid` has ended (and reaps it).
bool Exited(pid_t pid);
// Starts `argv` in a process group of its own (so that stopping it also ends
// any session processes), stdout to `out_fd`, stderr to `err_path`.
pid_t Spawn(const std::vector<std::string>& argv, int out_fd, const std::string& err_path);
// Stops the process group of `pid` (TERM, then KILL after 3 s) and sets it to -1.
void StopServer(pid_t& pid);
// The first line the child writes to `fd`, within `limit`.
std::string ReadLine(int fd, std::chrono::milliseconds limit);
std::string ReadText(const std::filesystem::path& path);

}  // namespace testing_support
