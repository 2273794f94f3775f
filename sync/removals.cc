#include "sync/removals.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <unordered_set>

#include "project/error.h"
#include "project/options.h"

namespace {

// `path` without trailing "/" (but "/" stays "/").
std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool HasDotSegment(const std::string& path) {
  size_t start = 0;
  for (;;) {
    const size_t end = path.find('/', start);
    const std::string segment = path.substr(start, end - start);
    if (segment == "." || segment == "..") return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

size_t Depth(const std::string& path) { return std::count(path.begin(), path.end(), '/'); }

}  // namespace

TrkRemovalOptions TrkRemovalOptions::FromOptions(const TrkOptions& options) {
  TrkRemovalOptions removal;
  removal.enabled = options.GetBool("DeleteRemoved", false);
  removal.limit = options.GetInt("DeleteLimit", 50);
  removal.move_to = options.Get("DeleteTo");
  return removal;
}

void TrkRemovalOptions::RequireOutside(const std::string& target_dir) const {
  if (!enabled || move_to.empty() || target_dir.empty()) return;
  const std::string target = WithoutTrailingSlash(target_dir);
  const std::string to = WithoutTrailingSlash(move_to);
  const std::string refused = "DeleteTo \"" + move_to + "\" ";
  // Texts alone cannot tell where a relative folder lies against an absolute one.
  if ((to.front() == '/') != (target.front() == '/')) {
    throw TrkError(refused + "and Target must both be absolute or both relative to the login folder");
  }
  if (HasDotSegment(to)) throw TrkError(refused + "must not hold \".\" or \"..\" folders");
  if (to == target || to.starts_with(target == "/" ? target : target + "/")) {
    throw TrkError(refused + "lies inside Target \"" + target_dir + "\"; deleted files must go outside it");
  }
}

std::string TrkRemovalOptions::MovedPath(const std::string& remote, const std::string& target_dir) const {
  return WithoutTrailingSlash(move_to) + "/" + remote.substr(target_dir.size());
}

std::vector<TrkUploadPaths::Entry> TrkRemovedFiles(std::vector<TrkUploadPaths::Entry> recorded,
                                                   const std::string& source_dir, const std::string& target_dir,
                                                   const std::function<bool(const std::string&)>& gone) {
  if (source_dir.empty() || target_dir.empty()) return {};
  std::vector<TrkUploadPaths::Entry> removed;
  std::unordered_set<std::string> kept_remotes;
  for (TrkUploadPaths::Entry& entry : recorded) {
    const bool below = entry.local.size() > source_dir.size() && entry.local.starts_with(source_dir) &&
                       entry.remote.size() > target_dir.size() && entry.remote.starts_with(target_dir);
    if (below && gone(entry.local)) {
      removed.push_back(std::move(entry));
    } else {
      kept_remotes.insert(entry.remote);
    }
  }
  std::erase_if(removed, [&](const TrkUploadPaths::Entry& entry) { return kept_remotes.count(entry.remote) != 0; });
  std::sort(removed.begin(), removed.end(),
            [](const TrkUploadPaths::Entry& a, const TrkUploadPaths::Entry& b) { return a.remote < b.remote; });
  return removed;
}

std::vector<std::string> TrkFoldersBelow(const std::vector<std::string>& remotes, const std::string& target_dir) {
  std::set<std::string> folders;
  for (const std::string& remote : remotes) {
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

bool TrkLocalFileGone(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) != 0 && (errno == ENOENT || errno == ENOTDIR);
}
