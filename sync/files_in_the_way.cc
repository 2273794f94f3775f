#include "sync/files_in_the_way.h"

#include <utility>

std::string TrkFilesInTheWay::ClearOnce(const std::string& remote, const std::function<std::string()>& clear) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      const auto found = outcomes_.find(remote);
      if (found == outcomes_.end()) break;
      if (found->second) return *found->second;
      settled_.wait(lock);
    }
    outcomes_.emplace(remote, std::nullopt);
  }
  std::string outcome;
  try {
    outcome = clear();
  } catch (...) {
    Settle(remote, std::nullopt);
    throw;
  }
  Settle(remote, outcome);
  return outcome;
}

std::string TrkFilesInTheWay::Cause(const std::string& remote, const std::string& target_dir) {
  const std::string relative = remote.starts_with(target_dir) ? remote.substr(target_dir.size()) : remote;
  return "a file " + relative + " is in the way of folder " + relative + "/";
}

void TrkFilesInTheWay::Settle(const std::string& remote, std::optional<std::string> outcome) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (outcome) {
      outcomes_[remote] = std::move(outcome);
    } else {
      outcomes_.erase(remote);
    }
  }
  settled_.notify_all();
}
