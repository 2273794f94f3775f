#include "sync/sync_run.h"

#include "batch/batch.h"
#include "project/error.h"
#include "project/options.h"
#include "sync/account.h"
#include "sync/dropvan.h"
#include "sync/uploader.h"
#include "transfer/new_session.h"
#include "transfer/rate_limit.h"
#include "transfer/server_profile.h"
#include "record/upload_store.h"

TrkSyncRun::TrkSyncRun(TrkBatch& batch)
    : store_(TrkUploadStore::Process()),
      ramp_(TrkConvertor::ThreadsCount(batch.Project()), batch.Project().GetAutoThreads()) {
  const TrkProject& project = batch.Project();
  const TrkOptions& options = project.Options();
  const bool dry_run = options.GetBool("DryRun", false);
  // Earlier versions wrote an IPv6 address unbracketed: the same destination.
  const std::string destination = TrkDropvan::Destination(options, batch.TargetDir());
  const std::string earlier = TrkDropvan::Destination(options, batch.TargetDir(), false);
  store_.Load(project.FileName(), destination, dry_run, earlier != destination ? earlier : "");
  refusal_ = store_.Refusal();
  try {
    // Checked by whoever starts a run; again here, since a run that starts
    // with such options would delete what the user never meant to.
    removal_ = TrkRemovalOptions::ForRun(options, batch.TargetDir());
  } catch (const TrkError& e) {
    if (refusal_.empty()) refusal_ = e.what();
  }
  const std::string max_rate = options.Get("MaxRate");
  const std::optional<int64_t> rate = TrkRateLimit::Read(max_rate);
  if (!rate && refusal_.empty()) {
    refusal_ = "MaxRate \"" + max_rate + "\" is not a rate (bytes per second, or with K or M: 500K, 2M; 0: no cap); " +
               "nothing was sent";
  }
  if (rate && *rate > 0) rate_ = std::make_shared<TrkRateLimit>(*rate);
  profile_ = TrkServerProfile::Load(TrkServerProfile::FileName(project.FileName()),
                                    TrkDropvan::Destination(options, ""), dry_run);
  const TrkServerLock::Options lock = TrkServerLock::Options::Read(options);
  std::unique_ptr<TrkUploader> uploader;
  if (lock.enabled) {
    uploader = std::make_unique<TrkUploader>(TrkNewTransferSession);
    TrkAccount::FromOptions(options).SetUp(*uploader);
    uploader->Settings.Profile = profile_;
  }
  lock_ = std::make_unique<TrkServerLock>(lock, std::move(uploader), batch.TargetDir());
}

TrkSyncRun::~TrkSyncRun() = default;

std::string TrkSyncRun::InUseElsewhere() const { return store_.HeldElsewhere() ? store_.Refusal() : ""; }

std::string TrkSyncRun::Refused() const { return lock_->Outcome(); }

std::string TrkSyncRun::Close() { return store_.EndRun(); }
