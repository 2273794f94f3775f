#include "support/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testing_support {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(s);
    throw std::runtime_error("cannot find a free port on 127.0.0.1");
  }
  close(s);
  return ntohs(address.sin_port);
}

bool Accepts(int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(port);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(s);
  return ok;
}

bool Listens(int port) {
  char local[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);  // 127.0.0.1, as the table writes it
  std::istringstream table(ReadText("/proc/net/tcp"));
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, address, remote, state;
    fields >> slot >> address >> remote >> state;
    if (address == local && state == "0A") return true;  // 0A: LISTEN
  }
  return false;
}

namespace {

// posix_spawn of `argv` in a process group of its own, with `in_fd` as its
// stdin unless that is -1.
pid_t SpawnGroup(const std::vector<std::string>& argv, int in_fd, int out_fd, const std::string& err_path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in_fd >= 0) posix_spawn_file_actions_adddup2(&actions, in_fd, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int error = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) throw std::runtime_error("cannot start " + argv[0]);
  return pid;
}

}  // namespace

pid_t Spawn(const std::vector<std::string>& argv, int out_fd, const std::string& err_path) {
  return SpawnGroup(argv, -1, out_fd, err_path);
}

void ServerProcess::Start(const std::vector<std::string>& argv, int out_fd, const std::string& err_path) {
  Stop();
  int guard[2];
  if (pipe2(guard, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> guarded = {DROPVAN_SERVER_GUARD};
  guarded.insert(guarded.end(), argv.begin(), argv.end());
  try {
    guard_pid_ = SpawnGroup(guarded, guard[0], out_fd, err_path);
  } catch (...) {
    close(guard[0]);
    close(guard[1]);
    throw;
  }
  close(guard[0]);
  guard_fd_ = guard[1];
}

bool ServerProcess::Exited() {
  if (guard_pid_ <= 0) return true;
  if (waitpid(guard_pid_, nullptr, WNOHANG) != guard_pid_) return false;
  guard_pid_ = -1;
  return true;
}

void ServerProcess::Stop() {
  if (guard_pid_ > 0) {
    // The guard ignores TERM and sweeps up once the server has gone.
    kill(-guard_pid_, SIGTERM);
    auto deadline = Clock::now() + std::chrono::seconds(3);
    while (!Exited() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (guard_fd_ >= 0) close(guard_fd_);  // the guard kills whatever is left
  guard_fd_ = -1;
  if (guard_pid_ > 0) waitpid(guard_pid_, nullptr, 0);
  guard_pid_ = -1;
}

// The first line the child writes to `fd`, within `limit`.
std::string ReadLine(int fd, std::chrono::milliseconds limit) {
  std::string line;
  auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
    char c;
    if (read(fd, &c, 1) != 1) break;
    if (c == '\n') return line;
    line += c;
  }
  return line;
}

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}


int UnusedPort() { return FreePort(); }

}  // namespace testing_support
