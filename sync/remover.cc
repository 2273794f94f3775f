#include "sync/remover.h"

#include "project/error.h"
#include "record/upload_store.h"
#include "sync/uploader.h"

TrkRemover::TrkRemover(const TrkRemovalOptions& options, TrkUploader& uploader, TrkUploadStore& store, int tries)
    : options_(options), uploader_(uploader), store_(store), tries_(tries) {}

void TrkRemover::Run(const TrkRemovalScope& scope, const Report& report) {
  const TrkRemovalPlan plan = TrkPlanRemovals(options_, scope, store_.RecordedPaths(), TrkLookLocal);
  if (!plan.refusal.empty()) {
    report(scope.source_dir, false, plan.refusal, plan.refusal);
    return;
  }
  for (const TrkRemovalPlan::File& file : plan.files) Remove(file, report);
  if (options_.dry_run) return;
  // A folder that still holds a file (one whose deletion failed, one of
  // someone else's) is refused by the server, which is no failure.
  for (const std::string& folder : plan.folders) uploader_.RemoveEmptyDir(folder);
}

void TrkRemover::Remove(const TrkRemovalPlan::File& file, const Report& report) {
  const std::string moved = file.move_to.empty() ? "" : " (moved to " + file.move_to + ")";
  if (options_.dry_run) {
    report(file.entry.local, true,
           "Would delete " + file.entry.remote + (moved.empty() ? "" : " (move to " + file.move_to + ")"), "");
    return;
  }
  try {
    uploader_.RemoveFile(file.entry.remote, file.move_to, tries_);
  } catch (const TrkStopped&) {
    throw;  // neither done nor failed: the file stays recorded
  } catch (const TrkError& e) {
    // The entry stays, so the next run tries again.
    report(file.entry.local, false, e.what(), e.Reason());
    return;
  }
  store_.Forget(file.entry.key);
  report(file.entry.local, true, "Deleted => " + file.entry.remote + moved, "");
}
