#pragma once

#include <functional>
#include <string>

#include "sync/removals.h"

class TrkUploader;
class TrkUploadStore;

// The last step of a completed run with "DeleteRemoved": the files the record
// says were uploaded and that are gone locally (see TrkPlanRemovals) are
// deleted on the server, or moved to "DeleteTo", and leave the record; the
// folders that leaves empty are removed. A refused plan (more than
// "DeleteLimit" files, a DeleteTo that could reach Target) deletes none and
// fails. A dry run only reports, each file as a real run would take it.
//
// Runs on the thread of the run's last worker, over that worker's connection.
class TrkRemover {
 public:
  // One file's (or the refusal's) outcome, for the run's list and log: the
  // local path, whether it went well, the result text and, on failure, why.
  using Report = std::function<void(const std::string& local, bool ok, const std::string& text,
                                    const std::string& reason)>;

  // None of the objects is owned; all outlive the remover.
  TrkRemover(const TrkRemovalOptions& options, TrkUploader& uploader, TrkUploadStore& store, int tries);

  // Deletes what the record lists within `scope` that is gone locally; each
  // file reported in remote path order. A stop request ends it with
  // TrkStopped, the files not yet deleted still recorded.
  void Run(const TrkRemovalScope& scope, const Report& report);

 private:
  // One file: deleted or moved, then forgotten; reported either way.
  void Remove(const TrkRemovalPlan::File& file, const Report& report);

  const TrkRemovalOptions& options_;
  TrkUploader& uploader_;
  TrkUploadStore& store_;
  const int tries_;
};
