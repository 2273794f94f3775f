#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sync/upload_paths.h"

class TrkOptions;

// Deleting on the server what was removed locally (option "DeleteRemoved").
// A mistake here takes pages off a live site, so every rule errs on keeping a
// file: only what the record says this program uploaded below the target,
// only when its local file is certainly gone, and never a server file that a
// file still present locally goes to as well.

// The options of a run's deletions.
struct TrkRemovalOptions {
  bool enabled = false;  // "DeleteRemoved"
  // "DeleteLimit": a run that would delete more files deletes none; 0: no limit.
  int limit = 50;
  // "DeleteTo": a server folder outside the target that files are moved to,
  // below the same relative path, instead of being deleted; empty: deleted.
  std::string move_to;

  static TrkRemovalOptions FromOptions(const TrkOptions& options);
  // Throws TrkError when files would be moved into the target itself (or a
  // folder that cannot be told apart from it): they would be uploaded over,
  // listed as the site's own, or deleted again.
  void RequireOutside(const std::string& target_dir) const;
  // Where a file at `remote` below `target_dir` is moved to.
  std::string MovedPath(const std::string& remote, const std::string& target_dir) const;
};

// Of the `recorded` files, those a run deletes: the local path lies below
// `source_dir` and is `gone`, the remote path lies below `target_dir` (both
// ending in "/"), and no recorded file whose local file is not gone goes to the
// same remote path (two local files that one flat target folder receives).
std::vector<TrkUploadPaths::Entry> TrkRemovedFiles(std::vector<TrkUploadPaths::Entry> recorded,
                                                   const std::string& source_dir, const std::string& target_dir,
                                                   const std::function<bool(const std::string&)>& gone);

// The folders between each of `remotes` and `target_dir` (which stays), each
// once, deepest first: the order in which emptied folders can be removed.
std::vector<std::string> TrkFoldersBelow(const std::vector<std::string>& remotes, const std::string& target_dir);

// Whether nothing exists at the local `path` (neither it nor its folder); a
// file that cannot be looked at is not gone.
bool TrkLocalFileGone(const std::string& path);
