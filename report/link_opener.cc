#include "report/link_opener.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string_view>

namespace {

bool HasDisplay() {
  const char* x11 = getenv("DISPLAY");
  const char* wayland = getenv("WAYLAND_DISPLAY");
  return (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
}

// The full path of `name` found on PATH, or empty. Resolved before forking,
// because a child of a threaded process may only make async-signal-safe calls.
std::string FindOnPath(const std::string& name) {
  const char* path = getenv("PATH");
  if (path == nullptr) return {};
  std::string_view rest = path;
  while (true) {
    size_t colon = rest.find(':');
    std::string dir(rest.substr(0, colon));
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string_view::npos) return {};
    rest.remove_prefix(colon + 1);
  }
}

// In the grandchild: quiet standard streams, then the handler. Async-signal-safe
// calls only.
[[noreturn]] void ExecHandler(const char* program, const char* link) {
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
  }
  char* const argv[] = {const_cast<char*>(program), const_cast<char*>(link), nullptr};
  execv(program, argv);
  _exit(127);
}

}  // namespace

bool TrkSystemOpener::Open(const std::string& link) {
  if (!HasDisplay()) return false;
  std::string program = FindOnPath("xdg-open");
  if (program.empty()) return false;

  // Double fork: the middle child starts a new session, forks the handler and
  // ends at once, so the handler is adopted by init and never becomes our zombie.
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    setsid();
    pid_t grandchild = fork();
    if (grandchild == 0) ExecHandler(program.c_str(), link.c_str());
    _exit(grandchild < 0 ? 1 : 0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
