#pragma once

#include <errno.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

namespace testing_support {

// The user (and group) that permission tests run as when the tests run as root:
// "nobody" on Debian.
constexpr uid_t kOrdinaryUser = 65534;

// Makes `folder` (a test's temporary folder) usable by kOrdinaryUser: it may
// enter, list and create in it. Throws when a parent folder keeps that user out,
// since the permission test would then fail for a reason of its own.
inline void LetOrdinaryUserIn(const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  fs::permissions(folder, fs::perms::all);
  for (fs::path parent = folder.parent_path(); !parent.empty(); parent = parent.parent_path()) {
    if ((fs::status(parent).permissions() & fs::perms::others_exec) == fs::perms::none) {
      throw std::runtime_error(parent.string() + " keeps user 65534 out; set TMPDIR to a folder it may enter");
    }
    if (parent == parent.root_path()) break;
  }
}

// Runs `body` in a forked child process as an ordinary user and returns the text
// the body returned. Root passes every permission check, so when the tests run as
// root (as in CI) the child first drops to kOrdinaryUser; otherwise it keeps the
// caller's own user. Everything the body touches must be reachable by that user
// (see LetOrdinaryUserIn). When the child cannot drop its privileges, throws, or
// does not end normally, the text says so in angle brackets, which no test expects.
inline std::string RunAsOrdinaryUser(const std::function<std::string()>& body) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return "<no pipe to the child>";
  pid_t child = fork();
  if (child < 0) return "<no child process>";
  if (child == 0) {
    close(pipe_fds[0]);
    std::string result;
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(kOrdinaryUser) != 0 || setuid(kOrdinaryUser) != 0)) {
      result = "<could not become user 65534>";
    } else {
      try {
        result = body();
      } catch (const std::exception& e) {
        result = std::string("<exception: ") + e.what() + ">";
      }
    }
    for (size_t done = 0; done < result.size();) {
      ssize_t n = write(pipe_fds[1], result.data() + done, result.size() - done);
      if (n <= 0) _exit(1);
      done += static_cast<size_t>(n);
    }
    _exit(0);  // no destructors: the parent's objects are the parent's to clean up
  }
  close(pipe_fds[1]);
  std::string result;
  char buffer[4096];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) != 0;) {
    if (n > 0) result.append(buffer, static_cast<size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  close(pipe_fds[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "<the child did not end normally>" + result;
  return result;
}

}  // namespace testing_support
