#pragma once

#include <memory>
#include <string>

#include "batch/convertor.h"
#include "sync/connection_ramp.h"
#include "sync/files_in_the_way.h"
#include "sync/remote_listings.h"
#include "sync/removals.h"
#include "sync/run_logins.h"
#include "sync/server_lock.h"

class TrkBatch;
class TrkRateLimit;
class TrkServerProfile;
class TrkUploadStore;

// What the sync workers of one run share (TrkDropvan::Share): made with the
// chain, before any worker, it loads the upload record for the run's
// destination and holds, for the workers, the record's store, the census of
// their logins, the server's folder listings, the files in the way of
// folders, the destination's server profile and the run's deletion options.
// The run's owner asks it whether another process holds the record
// (InUseElsewhere) and ends the record's part of the run (Close); the chain's
// last worker makes the closing deletions and the last save (TrkDropvan::EndRun).
//
// Ownership: held by every worker of the chain and by the owner's chain, so
// it outlives them all. The store is the process's (TrkUploadStore::Process).
//
// Threads: every member may be called from any worker's thread. What is set
// in the constructor is only read afterwards; the census, the listings and
// the files in the way lock themselves.
class TrkSyncRun : public TrkChainShare {
 public:
  // Reads the project's options, loads the record (read only for a dry run)
  // and the destination's server profile. The batch's TargetDir is set.
  explicit TrkSyncRun(TrkBatch& batch);
  ~TrkSyncRun() override;

  // Why the run records and uploads nothing, the message every file fails
  // with: a record that cannot be read or that another process uses, or
  // deletion options that refuse the run. Empty when it may go ahead.
  const std::string& Refusal() const { return refusal_; }
  // The run's deletion options; valid when Refusal is empty.
  const TrkRemovalOptions& Removal() const { return removal_; }
  TrkUploadStore& Store() const { return store_; }
  TrkRunLogins& Logins() { return logins_; }
  // How many workers may hold a connection (ThreadsCount=Auto finds it).
  TrkConnectionRamp& Ramp() { return ramp_; }
  TrkRemoteListings& Listings() { return listings_; }
  TrkFilesInTheWay& FilesInTheWay() { return files_in_the_way_; }
  // Kept from the first upload to the chain's end (TrkDropvan::EndRun).
  TrkServerLock& Lock() { return *lock_; }
  // What auto mode learnt of the destination's data connections, shared by
  // the workers' sessions.
  const std::shared_ptr<TrkServerProfile>& Profile() const { return profile_; }
  // The cap MaxRate puts on what the workers' sessions send together; null:
  // none.
  const std::shared_ptr<TrkRateLimit>& Rate() const { return rate_; }

  std::string InUseElsewhere() const override;
  // Why the lock on the server was not taken: another run holds it.
  std::string Refused() const override;
  // Releases the record's run lock; why the run's records are not all saved.
  std::string Close() override;

 private:
  TrkUploadStore& store_;
  std::string refusal_;
  TrkRemovalOptions removal_;
  std::shared_ptr<TrkServerProfile> profile_;
  std::shared_ptr<TrkRateLimit> rate_;
  TrkRunLogins logins_;
  TrkConnectionRamp ramp_;
  TrkRemoteListings listings_;
  TrkFilesInTheWay files_in_the_way_;
  std::unique_ptr<TrkServerLock> lock_;  // never null
};
