#include "transfer/stop_sockets.h"

#include <sys/socket.h>
#include <unistd.h>

TrkStopSockets::TrkStopSockets(std::stop_token stop) : on_stop_(std::move(stop), OnStop{this}) {}

bool TrkStopSockets::Opened(int fd) {
  std::lock_guard<std::mutex> lock(mu_);
  if (stopped_) return false;
  open_.insert(fd);
  return true;
}

void TrkStopSockets::Close(int fd) {
  std::lock_guard<std::mutex> lock(mu_);
  open_.erase(fd);
  close(fd);  // under the lock: the number cannot be reused before it left open_
}

void TrkStopSockets::ShutDownAll() {
  std::lock_guard<std::mutex> lock(mu_);
  stopped_ = true;
  for (int fd : open_) shutdown(fd, SHUT_RDWR);
}
