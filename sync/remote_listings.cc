#include "sync/remote_listings.h"

#include <utility>

std::shared_ptr<const TrkRemoteListings::Listing> TrkRemoteListings::Get(const std::string& directory,
                                                                        const std::function<Listing()>& list,
                                                                        const std::function<bool()>& meanwhile) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    bool busy = static_cast<bool>(meanwhile);
    for (;;) {
      const auto found = folders_.find(directory);
      if (found == folders_.end()) break;
      if (found->second != nullptr) return found->second;
      if (busy) {
        lock.unlock();
        busy = meanwhile();
        lock.lock();
        continue;
      }
      settled_.wait(lock);
    }
    folders_.emplace(directory, nullptr);
  }
  return Make(directory, list);
}

bool TrkRemoteListings::ListAhead(const std::string& directory, const std::function<Listing()>& list) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!folders_.emplace(directory, nullptr).second) return false;
  }
  Make(directory, list);
  return true;
}

std::shared_ptr<const TrkRemoteListings::Listing> TrkRemoteListings::Make(const std::string& directory,
                                                                         const std::function<Listing()>& list) {
  std::shared_ptr<const Listing> listing;
  try {
    auto made = std::make_shared<const Listing>(list());
    if (made->outcome != Listing::Outcome::kBroken) listing = std::move(made);
  } catch (...) {
    Settle(directory, nullptr);
    throw;
  }
  Settle(directory, listing);
  return listing;
}

void TrkRemoteListings::Settle(const std::string& directory, std::shared_ptr<const Listing> listing) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (listing != nullptr) {
      folders_[directory] = std::move(listing);
    } else {
      folders_.erase(directory);
    }
  }
  settled_.notify_all();
}
