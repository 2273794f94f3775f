#include "record/run_lock.h"

#include <fcntl.h>
#ifndef _WIN32
#include <sys/file.h>
#include <unistd.h>
#endif

bool TrkRunLock::Take(const std::string& lock_file) {
  Release();
#ifndef _WIN32
  fd_ = open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ < 0) return true;
  if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
  Release();
  return false;
#else
  (void)lock_file;
  return true;
#endif
}

void TrkRunLock::Release() {
#ifndef _WIN32
  if (fd_ >= 0) close(fd_);  // drops the lock
#endif
  fd_ = -1;
}
