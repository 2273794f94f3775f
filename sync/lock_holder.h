#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

// Who holds a destination's server lock, as the name of the one file in the
// lock folder tells it, so that a client that finds the lock learns it from a
// listing alone: "deploy@ci-runner-7+4242+20261211T120341Z+20261211T120541Z",
// the holder (user@host), its process, when it took the lock and when it last
// said it was alive (UTC). The holder renames the file as it refreshes.
//
// A plain value; Parse takes any server's names, whatever they hold.
struct TrkLockHolder {
  std::string who;     // user@host, of letters, digits and "@._-" only
  int64_t process = 0;
  std::time_t since = 0;
  std::time_t alive = 0;

  // This process, taking a lock now.
  static TrkLockHolder Me();
  // `user` and `host` as `who` may hold them: other characters become "_",
  // an empty one "unknown".
  static std::string Who(const std::string& user, const std::string& host);

  std::string Name() const;
  // Nothing for a name this program did not write.
  static std::optional<TrkLockHolder> Parse(const std::string& name);

  // "deploy@ci-runner-7 since 12:03:41 (2 min ago)", the time the local
  // one, as the user reading it at `now` knows the clock.
  std::string Since(std::time_t now) const;
};
