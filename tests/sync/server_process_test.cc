#include "support/server_process.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "support/ftp_server.h"
#include "support/ssh_server.h"

namespace {

using testing_support::FtpServer;
using testing_support::SshServer;
using Clock = std::chrono::steady_clock;

// In the child that plays the test process: reports "<group> <port>" (or why
// the server is unavailable) and waits to be killed.
template <class Server>
[[noreturn]] void ServeUntilKilled(const Server& server, int report_fd) {
  std::string line = server.available()
                         ? std::to_string(server.process_group()) + " " + std::to_string(server.port())
                         : "unavailable " + server.why_unavailable();
  line += "\n";
  if (write(report_fd, line.data(), line.size()) < 0) _exit(1);
  for (;;) pause();
}

// A session held open from this process, its greeting read: the server has a
// session (a process of its own on vsftpd and sshd) that would wait for us.
int OpenSession(int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  char greeting[512];
  pollfd p{s, POLLIN, 0};
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || poll(&p, 1, 10000) != 1 ||
      recv(s, greeting, sizeof greeting, 0) <= 0) {
    ADD_FAILURE() << "no greeting on port " << port;
  }
  return s;
}

// Whether the server closed the session within `limit`.
bool SessionClosed(int s, std::chrono::seconds limit) {
  char buffer[512];
  for (auto deadline = Clock::now() + limit; Clock::now() < deadline;) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, 100) == 1 && recv(s, buffer, sizeof buffer, 0) <= 0) return true;
  }
  return false;
}

// Whether every process of `group` ended within `limit`. This process is the
// subreaper of the dead test process's children, so it reaps them here.
bool GroupEnded(pid_t group, std::chrono::seconds limit) {
  for (auto deadline = Clock::now() + limit; Clock::now() < deadline;) {
    while (waitpid(-group, nullptr, WNOHANG) > 0) {
    }
    if (kill(-group, 0) != 0 && errno == ESRCH) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace

// A test process that dies by SIGKILL (as after a crash) leaves none of its
// servers behind: each server, and a session of it held open from outside,
// ends within seconds.
TEST(ServerProcessTest, EveryTestServerEndsWithTheTestProcessThatStartedIt) {
  struct Row {
    const char* kind;
    std::function<void(int)> serve;  // in the child, given the report pipe
  } rows[] = {
      {"pyftpdlib", [](int fd) { ServeUntilKilled(FtpServer(FtpServer::Kind::kPyftpdlib), fd); }},
      {"vsftpd", [](int fd) { ServeUntilKilled(FtpServer(FtpServer::Kind::kVsftpd), fd); }},
      {"sshd", [](int fd) { ServeUntilKilled(SshServer(), fd); }},
  };
  // Orphans come back to this process instead of an init that may never reap them.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  for (const Row& row : rows) {
    int report[2];
    ASSERT_EQ(0, pipe2(report, O_CLOEXEC));
    pid_t test = fork();
    if (test == 0) {
      close(report[0]);
      row.serve(report[1]);
    }
    close(report[1]);
    std::string line = testing_support::ReadLine(report[0], std::chrono::seconds(30));
    close(report[0]);
    pid_t group = 0;
    int port = 0;
    if (std::sscanf(line.c_str(), "%d %d", &group, &port) != 2) {
      kill(test, SIGKILL);
      waitpid(test, nullptr, 0);
      EXPECT_EQ(line.rfind("unavailable", 0), 0u) << row.kind << ": " << line;
      continue;
    }
    int session = OpenSession(port);
    kill(test, SIGKILL);
    int status = 0;
    waitpid(test, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << row.kind;
    EXPECT_TRUE(GroupEnded(group, std::chrono::seconds(5))) << row.kind;
    EXPECT_TRUE(SessionClosed(session, std::chrono::seconds(5))) << row.kind;
    EXPECT_FALSE(testing_support::Accepts(port)) << row.kind;
    close(session);
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}
