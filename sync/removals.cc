#include "sync/removals.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <set>
#include <unordered_set>

#include "project/error.h"
#include "project/options.h"

namespace {

// `path` with "." and ".." resolved, "//" collapsed and no trailing "/": "/"
// for the root, "" for the login folder. No value for a relative path that
// climbs above the login folder, whose place nobody knows before a login.
std::optional<std::string> Normalised(const std::string& path) {
  const bool absolute = path.starts_with('/');
  std::vector<std::string> segments;
  for (size_t start = 0; start <= path.size();) {
    const size_t end = std::min(path.find('/', start), path.size());
    const std::string segment = path.substr(start, end - start);
    start = end + 1;
    if (segment.empty() || segment == ".") continue;
    if (segment != "..") {
      segments.push_back(segment);
    } else if (!segments.empty()) {
      segments.pop_back();
    } else if (!absolute) {
      return std::nullopt;
    }
  }
  std::string joined = absolute ? "/" : "";
  for (const std::string& segment : segments) joined += (joined.size() > 1 ? "/" : "") + segment;
  return joined;
}

// Whether the normalised `path` is `folder` or lies below it.
bool Within(const std::string& path, const std::string& folder) {
  if (path == folder || folder.empty()) return true;
  return path.starts_with(folder == "/" ? folder : folder + "/");
}

size_t Depth(const std::string& path) { return std::count(path.begin(), path.end(), '/'); }

// The folders between each of `remotes` and `target_dir` (which stays), each
// once, deepest first: the order in which emptied folders can be removed.
std::vector<std::string> FoldersBelow(const std::vector<TrkRemovalPlan::File>& files, const std::string& target_dir) {
  std::set<std::string> folders;
  for (const TrkRemovalPlan::File& file : files) {
    const std::string& remote = file.entry.remote;
    for (size_t slash = remote.rfind('/'); slash != std::string::npos && slash >= target_dir.size();
         slash = slash == 0 ? std::string::npos : remote.rfind('/', slash - 1)) {
      if (!folders.insert(remote.substr(0, slash)).second) break;
    }
  }
  std::vector<std::string> ordered(folders.begin(), folders.end());
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const std::string& a, const std::string& b) { return Depth(a) > Depth(b); });
  return ordered;
}

bool BelowAny(const std::string& path, const std::vector<std::string>& folders) {
  return std::any_of(folders.begin(), folders.end(),
                     [&path](const std::string& folder) { return path.starts_with(folder); });
}

}  // namespace

TrkRemovalOptions TrkRemovalOptions::FromOptions(const TrkOptions& options) {
  TrkRemovalOptions removal;
  removal.enabled = options.GetBool("DeleteRemoved", false);
  removal.move_to = options.Get("DeleteTo");
  const std::string limit = options.Get("DeleteLimit");
  if (!limit.empty()) {
    const std::optional<int> count = TrkReadCount(limit);
    if (!count) {
      throw TrkError("DeleteLimit \"" + limit + "\" is not a whole number of 0 or more (0: no limit); nothing was done");
    }
    removal.limit = *count;
  }
  const std::string dry_run = options.Get("DryRun");
  if (!dry_run.empty()) {
    const std::optional<bool> dry = TrkReadBool(dry_run);
    if (!dry) throw TrkError("DryRun \"" + dry_run + "\" is neither True nor False; nothing was done");
    removal.dry_run = *dry;
  }
  return removal;
}

TrkRemovalOptions TrkRemovalOptions::ForRun(const TrkOptions& options, const std::string& target_dir) {
  TrkRemovalOptions removal = FromOptions(options);
  removal.RequireOutside(target_dir);
  return removal;
}

void TrkRemovalOptions::RequireOutside(const std::string& target_dir) const {
  if (!enabled || move_to.empty() || target_dir.empty()) return;
  const std::string refused = "DeleteTo \"" + move_to + "\" ";
  // Texts alone cannot tell where a relative folder lies against an absolute one.
  if (move_to.starts_with('/') != target_dir.starts_with('/')) {
    throw TrkError(refused + "and Target must both be absolute or both relative to the login folder");
  }
  const std::optional<std::string> to = Normalised(move_to);
  const std::optional<std::string> target = Normalised(target_dir);
  if (!to || !target) throw TrkError(refused + "climbs above the login folder: where it lies cannot be told");
  if (Within(*to, *target)) {
    throw TrkError(refused + "lies inside Target \"" + target_dir + "\"; deleted files must go outside it");
  }
  if (Within(*target, *to)) {
    throw TrkError(refused + "holds Target \"" + target_dir +
                   "\": a file moved there could replace a live one; deleted files must go outside it");
  }
}

std::string TrkRemovalOptions::MovedPath(const std::string& remote, const std::string& target_dir) const {
  std::string to = move_to;
  while (to.size() > 1 && to.back() == '/') to.pop_back();
  const std::string moved = to + "/" + remote.substr(target_dir.size());
  const std::optional<std::string> landing = Normalised(moved);
  const std::optional<std::string> target = Normalised(target_dir);
  if (!landing || !target || Within(*landing, *target)) {
    throw TrkError("[Error]Delete file failure (" + remote + ")", "moving it to " + moved + " could replace a live file");
  }
  return moved;
}

TrkLocalKind TrkLookLocal(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? TrkLocalKind::kFolder : TrkLocalKind::kPresent;
  return errno == ENOENT || errno == ENOTDIR ? TrkLocalKind::kMissing : TrkLocalKind::kUnknown;
}

TrkRemovalPlan TrkPlanRemovals(const TrkRemovalOptions& options, const TrkRemovalScope& scope,
                               std::vector<TrkUploadPaths::Entry> recorded,
                               const std::function<TrkLocalKind(const std::string&)>& look) {
  TrkRemovalPlan plan;
  const std::string& source = scope.source_dir;
  const std::string& target = scope.target_dir;
  if (source.empty() || target.empty()) return plan;
  try {
    options.RequireOutside(target);
  } catch (const TrkError& e) {
    plan.refusal = std::string("[Error]Deletion refused: ") + e.what();
    return plan;
  }
  std::unordered_set<std::string> kept_remotes = scope.listed_remotes;
  for (TrkUploadPaths::Entry& entry : recorded) {
    const bool below = entry.local.size() > source.size() && entry.local.starts_with(source) &&
                       !BelowAny(entry.local, scope.unread_folders) && entry.remote.size() > target.size() &&
                       entry.remote.starts_with(target);
    const TrkLocalKind kind = below ? look(entry.local) : TrkLocalKind::kPresent;
    if (kind == TrkLocalKind::kMissing || kind == TrkLocalKind::kFolder) {
      plan.files.push_back({std::move(entry), "", kind == TrkLocalKind::kFolder});
    } else {
      kept_remotes.insert(entry.remote);
    }
  }
  std::erase_if(plan.files, [&](const TrkRemovalPlan::File& file) { return kept_remotes.count(file.entry.remote) != 0; });
  const auto missing = std::count_if(plan.files.begin(), plan.files.end(),
                                     [](const TrkRemovalPlan::File& file) { return !file.folder; });
  if (options.limit > 0 && missing > options.limit) {
    // Far more than a run usually removes: a wrong Source, a half-restored
    // folder. Deleting nothing costs a rerun with a higher limit; the other
    // mistake costs the site.
    plan.refusal = "[Error]Deletion refused: " + std::to_string(missing) +
                   " uploaded files are gone locally, more than DeleteLimit=" + std::to_string(options.limit);
    plan.files.clear();
    return plan;
  }
  std::sort(plan.files.begin(), plan.files.end(),
            [](const TrkRemovalPlan::File& a, const TrkRemovalPlan::File& b) { return a.entry.remote < b.entry.remote; });
  try {
    if (!options.move_to.empty()) {
      for (TrkRemovalPlan::File& file : plan.files) file.move_to = options.MovedPath(file.entry.remote, target);
    }
  } catch (const TrkError& e) {
    plan.refusal = std::string("[Error]Deletion refused: ") + e.Reason();
    plan.files.clear();
    return plan;
  }
  plan.folders = FoldersBelow(plan.files, target);
  return plan;
}
