#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "transfer/transfer_session.h"

// The server's folder listings of one run, shared by the run's workers so
// that each remote folder is listed once, whichever worker meets it first.
//
// Thread safety: every member may be called from any worker's thread.
class TrkRemoteListings {
 public:
  using Listing = TrkTransferSession::Listing;

  // The listing of the remote folder `directory`: the one kept, else the one
  // `list` makes now on the caller's connection. A caller that finds the
  // folder being listed by another waits for that listing, calling
  // `meanwhile` first (unlocked) as long as it answers that it did something:
  // its connection would idle otherwise. A broken listing (kBroken) or one cut
  // short by an exception is not kept: the caller gets null (or the
  // exception) and the next caller lists the folder again.
  std::shared_ptr<const Listing> Get(const std::string& directory, const std::function<Listing()>& list,
                                     const std::function<bool()>& meanwhile = {});
  // Lists `directory` with `list` unless it is kept or being listed; false
  // when there was nothing to do. For a caller that would otherwise wait, so
  // that a run's listings spread over its connections, not one after another.
  bool ListAhead(const std::string& directory, const std::function<Listing()>& list);

 private:
  // Lists `directory`, which the caller claimed, and keeps what `list` made.
  std::shared_ptr<const Listing> Make(const std::string& directory, const std::function<Listing()>& list);
  // Keeps `listing` for `directory` (null: forgets the folder) and wakes the waiters.
  void Settle(const std::string& directory, std::shared_ptr<const Listing> listing);

  std::mutex mutex_;
  std::condition_variable settled_;  // a folder's listing was kept or forgotten (mutex_)
  // Every folder listed or being listed (null while being listed). Guarded by mutex_.
  std::map<std::string, std::shared_ptr<const Listing>> folders_;
};
