// server_guard PROGRAM ARGS...: runs a test server as its child and ends it,
// with every process it started, once its standard input reads end of file.
// The test process holds the only write end of that pipe, so the server goes
// when the test ends, however it ends (a crash, a failed assertion in a
// fixture, SIGKILL), and also when the test stops it. The guard stays the
// subreaper of the server's tree: session processes that left the server's
// process group (sshd's setsid) come back to it when their parent dies, so
// none of them outlives the guard. It exits with the server's status.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// The guard's children now: the server, or what is left of its tree.
std::vector<pid_t> Children() {
  std::vector<pid_t> children;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    std::getline(stat, text);
    size_t end = text.rfind(')');  // the name may hold blanks and parentheses
    if (end == std::string::npos || end + 4 >= text.size()) continue;
    if (std::atoi(text.c_str() + end + 4) == getpid()) children.push_back(std::atoi(text.c_str()));
  }
  return children;
}

// Kills and reaps every descendant: a killed process's children come back to
// the guard, so the sweep goes on until none is left.
void EndAll() {
  for (;;) {
    for (pid_t child : Children()) kill(child, SIGKILL);
    if (waitpid(-1, nullptr, 0) < 0 && errno == ECHILD) return;
  }
}

pid_t StartServer(char** argv) {
  const pid_t guard = getpid();
  pid_t pid = fork();
  if (pid != 0) return pid;
  int null_fd = open("/dev/null", O_RDONLY);
  dup2(null_fd, STDIN_FILENO);
  // Should the guard itself be killed, the server still goes with it.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != guard) _exit(127);
  execv(argv[0], argv);
  _exit(127);
}

// Until the server ends or the pipe closes; true when the pipe closed.
bool PipeClosed(pid_t server) {
  int server_fd = static_cast<int>(syscall(SYS_pidfd_open, server, 0));
  pollfd watched[] = {{STDIN_FILENO, POLLIN, 0}, {server_fd, POLLIN, 0}};
  for (;;) {
    if (poll(watched, 2, -1) < 0) continue;  // a stop signal, ignored
    if (watched[1].revents != 0) return false;
    char c;
    if (watched[0].revents != 0 && read(STDIN_FILENO, &c, 1) <= 0) return true;
  }
}

void Ignore(int) {}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  // The test stops the server by signalling its process group, the guard
  // included: the guard outlives the server to sweep up after it. A handler
  // rather than SIG_IGN, which the server would inherit.
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) signal(sig, Ignore);
  pid_t server = StartServer(argv + 1);
  if (server < 0) return 126;
  // The server holds stdout (the test reads it); the guard lets it go.
  int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, STDOUT_FILENO);
  if (PipeClosed(server)) kill(server, SIGKILL);
  int status = 0;
  waitpid(server, &status, 0);
  EndAll();
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
