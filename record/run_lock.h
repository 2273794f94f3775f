#pragma once

#include <string>

// The lock that keeps two processes from running one project at once: an
// advisory lock on a file of its own beside the project's record. Both runs
// would otherwise upload everything that remains, and the last save would win.
// The kernel drops the lock when its process dies, so a crash never leaves the
// project locked.
//
// Not thread-safe: one owner (the upload store) takes and releases it.
class TrkRunLock {
 public:
  TrkRunLock() = default;
  ~TrkRunLock() { Release(); }
  TrkRunLock(const TrkRunLock&) = delete;
  TrkRunLock& operator=(const TrkRunLock&) = delete;

  // Takes the lock on `lock_file` (made when missing), letting go of any lock
  // held before; false when another holder has it. A folder that cannot hold
  // the lock file cannot hold a record either: that counts as taken, and the
  // record's save says what is wrong.
  bool Take(const std::string& lock_file);
  // Lets others take it; nothing when none is held.
  void Release();

 private:
  int fd_ = -1;  // the lock file, open while the lock is held
};
