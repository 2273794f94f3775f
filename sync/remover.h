#pragma once

#include <functional>
#include <string>

#include "sync/removals.h"

class TrkUploader;
class TrkUploadStore;

// The last step of a completed run with "DeleteRemoved": the files the record
// says were uploaded and that are gone locally (see TrkRemovedFiles) are
// deleted on the server, or moved to "DeleteTo", and leave the record; the
// folders that leaves empty are removed. A run that would delete more than
// "DeleteLimit" files deletes none and fails. A dry run only reports.
//
// Runs on the thread of the run's last worker, over that worker's connection.
class TrkRemover {
 public:
  // One file's (or the refusal's) outcome, for the run's list and log: the
  // local path, whether it went well, the result text and, on failure, why.
  using Report = std::function<void(const std::string& local, bool ok, const std::string& text,
                                    const std::string& reason)>;

  // None of the objects is owned; all outlive the remover.
  TrkRemover(const TrkRemovalOptions& options, TrkUploader& uploader, TrkUploadStore& store, int tries,
             bool dry_run);

  // Deletes what the record lists below `source_dir` (the listed folder) and
  // `target_dir` that is gone locally; each file reported in remote path order.
  // A stop request ends it with TrkStopped, the files not yet deleted still
  // recorded.
  void Run(const std::string& source_dir, const std::string& target_dir, const Report& report);

 private:
  // One file: deleted or moved, then forgotten; false when that failed.
  bool Remove(const TrkUploadPaths::Entry& file, const std::string& target_dir, const Report& report);

  const TrkRemovalOptions& options_;
  TrkUploader& uploader_;
  TrkUploadStore& store_;
  const int tries_;
  const bool dry_run_;
};
