#pragma once

#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "record/upload_paths.h"

class TrkOptions;

// Deleting on the server what was removed locally (option "DeleteRemoved").
// A mistake here takes pages off a live site, so every rule errs on keeping a
// file: only what the record says this program uploaded below the target,
// only when its local file is certainly gone, never a server file that a file
// still present locally goes to as well, and never a move that could land on
// the site itself.

// The options of a run's deletions.
struct TrkRemovalOptions {
  bool enabled = false;  // "DeleteRemoved"
  // "DeleteLimit": a run that would delete more files deletes none; 0: no limit.
  int limit = 50;
  // "DeleteTo": a server folder outside the target that files are moved to,
  // below the same relative path, instead of being deleted; empty: deleted.
  std::string move_to;
  // "DryRun": every deletion is shown, none is made.
  bool dry_run = false;

  // Throws TrkError, naming the option and its value, for a DeleteLimit that
  // is not a whole number of 0 or more and a DryRun that is neither true nor
  // false: the usual fallback to the default would lift the limit or make a
  // real run of a dry one, so such a value refuses the run instead.
  static TrkRemovalOptions FromOptions(const TrkOptions& options);
  // FromOptions, then RequireOutside: the deletion options of a run to
  // `target_dir`, or TrkError why no such run may start.
  static TrkRemovalOptions ForRun(const TrkOptions& options, const std::string& target_dir);
  // Throws TrkError when a file moved to DeleteTo could land inside
  // `target_dir`: DeleteTo inside Target, equal to it, or holding it (a site
  // folder "www/" moved from Target "/site/www/" to "/site/" would replace
  // the live "/site/www/"), with "." and ".." resolved; or when that cannot be
  // told (one path absolute and the other relative to the login folder, or a
  // relative one that climbs above it).
  void RequireOutside(const std::string& target_dir) const;
  // Where a file at `remote` below `target_dir` is moved to. Throws TrkError
  // rather than name a path inside `target_dir`, whatever the caller checked.
  std::string MovedPath(const std::string& remote, const std::string& target_dir) const;
};

// What a recorded file's local path holds now, as lstat tells it.
enum class TrkLocalKind {
  kPresent,  // a file (or anything but a folder) is there
  kMissing,  // nothing is there, nor is its folder
  kFolder,   // a folder took the file's place: the file is gone as a file
  kUnknown,  // it cannot be looked at (no permission, an I/O error)
};
TrkLocalKind TrkLookLocal(const std::string& path);

// Where a run's deletions may reach.
struct TrkRemovalScope {
  std::string source_dir, target_dir;  // the listed folder and Target, each ending in "/"
  // Folders below the source that the listing could not read (each ending in
  // "/"): nothing is known of the files below them.
  std::vector<std::string> unread_folders;
  // The server paths the run's listed files go to, uploaded or not (a failed
  // upload, a dry run): needed only where two local paths can share one, in
  // a flat Target (KeepTargetSubdirs=False).
  std::unordered_set<std::string> listed_remotes;
};

// What a run deletes, decided before anything is.
struct TrkRemovalPlan {
  struct File {
    TrkUploadPaths::Entry entry;
    std::string move_to;  // empty: deleted
    bool folder = false;  // a folder took its local place
  };
  std::vector<File> files;            // in remote path order
  std::vector<std::string> folders;   // to remove once emptied, deepest first; Target never
  std::string refusal;                // not empty: nothing at all is deleted, for this reason
};

// Of the `recorded` files, those a run deletes: the local path lies below the
// source folder and not below an unread folder, and `look` finds it missing or
// a folder; the remote path lies below Target; and neither a listed file nor a
// recorded file whose local path `look` does not find gone goes to the same
// remote path (two local files that one flat target folder receives). Refused when DeleteTo could land
// inside Target, or when more files than DeleteLimit are missing (files whose
// place a folder took are certainly gone and not counted).
TrkRemovalPlan TrkPlanRemovals(const TrkRemovalOptions& options, const TrkRemovalScope& scope,
                               std::vector<TrkUploadPaths::Entry> recorded,
                               const std::function<TrkLocalKind(const std::string&)>& look);
