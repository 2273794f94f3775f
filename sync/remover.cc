#include "sync/remover.h"

#include "project/error.h"
#include "sync/upload_store.h"
#include "sync/uploader.h"

TrkRemover::TrkRemover(const TrkRemovalOptions& options, TrkUploader& uploader, TrkUploadStore& store, int tries,
                       bool dry_run)
    : options_(options), uploader_(uploader), store_(store), tries_(tries), dry_run_(dry_run) {}

void TrkRemover::Run(const std::string& source_dir, const std::string& target_dir, const Report& report) {
  const std::vector<TrkUploadPaths::Entry> removed =
      TrkRemovedFiles(store_.RecordedPaths(), source_dir, target_dir, TrkLocalFileGone);
  if (options_.limit > 0 && removed.size() > static_cast<size_t>(options_.limit)) {
    // Far more than a run usually removes: a wrong Source, a half-restored
    // folder. Deleting nothing costs a rerun with a higher limit; the other
    // mistake costs the site.
    const std::string refusal = "[Error]Deletion refused: " + std::to_string(removed.size()) +
                                " uploaded files are gone locally, more than DeleteLimit=" +
                                std::to_string(options_.limit);
    report(source_dir, false, refusal, refusal);
    return;
  }
  std::vector<std::string> deleted;
  for (const TrkUploadPaths::Entry& file : removed) {
    if (Remove(file, target_dir, report)) deleted.push_back(file.remote);
  }
  if (dry_run_) return;
  for (const std::string& folder : TrkFoldersBelow(deleted, target_dir)) uploader_.RemoveEmptyDir(folder);
}

bool TrkRemover::Remove(const TrkUploadPaths::Entry& file, const std::string& target_dir, const Report& report) {
  if (dry_run_) {
    report(file.local, true, "Would delete " + file.remote, "");
    return true;
  }
  const std::string move_to = options_.move_to.empty() ? "" : options_.MovedPath(file.remote, target_dir);
  try {
    uploader_.RemoveFile(file.remote, move_to, tries_);
  } catch (const TrkStopped&) {
    throw;  // neither done nor failed: the file stays recorded
  } catch (const TrkError& e) {
    // The entry stays, so the next run tries again.
    report(file.local, false, e.what(), e.Reason());
    return false;
  }
  store_.Forget(file.key);
  report(file.local, true, "Deleted => " + file.remote + (move_to.empty() ? "" : " (moved to " + move_to + ")"), "");
  return true;
}
