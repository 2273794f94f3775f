#include "select/search.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "project/platform.h"

namespace {

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Length in bytes of the character starting at `name[at]`: a UTF-8 sequence
// counts as one character, so "?" stands for one letter of any script.
size_t CharLength(std::string_view name, size_t at) {
  size_t end = at + 1;
  while (end < name.size() && IsContinuationByte(name[end])) ++end;
  return end - at;
}

enum class EntryKind { kOther, kFile, kFolder };

// What an entry is, reading through links; folders reached through a link are
// never entered, so a walk cannot loop.
EntryKind KindOf(const std::string& folder, const char* name, unsigned char type) {
  if (type == DT_REG) return EntryKind::kFile;
  if (type == DT_DIR) return EntryKind::kFolder;
  std::string path = folder + name;
  struct stat info;
  if (type == DT_UNKNOWN) {
    if (lstat(path.c_str(), &info) != 0) return EntryKind::kOther;
    if (S_ISREG(info.st_mode)) return EntryKind::kFile;
    if (S_ISDIR(info.st_mode)) return EntryKind::kFolder;
    if (!S_ISLNK(info.st_mode)) return EntryKind::kOther;
  } else if (type != DT_LNK) {
    return EntryKind::kOther;  // FIFOs, sockets, devices
  }
  return (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) ? EntryKind::kFile : EntryKind::kOther;
}

bool IsHidden(std::string_view name) { return !name.empty() && name[0] == '.'; }

// How a walk treats the names it meets, the same in every folder, and whom it
// tells of a folder it could not read.
struct WalkRules {
  bool recurse, skip_hidden, enter_hidden;
  const std::function<void(const std::string&, int)>& unreadable;
};

// One folder's listing, split into the files that fit the mask and the folders
// that may be entered, each sorted by name bytes so that every walk of an
// unchanged tree gives the same order.
struct Listing {
  std::vector<std::string> files;
  std::vector<std::string> folders;
};

// 0, or the system's error number when the folder could not be listed whole
// (`listing` then holds what was read).
int ListFolder(const std::string& folder, const std::string& mask, const WalkRules& rules,
               const std::atomic<bool>& stop, Listing* listing) {
  // An empty folder text is the current folder, as a bare mask names files there.
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return errno;
  bool every_name = mask == "*.*" || mask == "*";
  int error = 0;
  for (;;) {
    errno = 0;  // readdir tells an error from the listing's end by it alone
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      error = errno;
      break;
    }
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    bool hidden = IsHidden(name);
    bool fits = !(hidden && rules.skip_hidden) && (every_name || WildcardMatch(mask, name));
    bool enterable = rules.recurse && (!hidden || rules.enter_hidden);
    if (!fits && !enterable) continue;
    EntryKind kind = KindOf(folder, entry->d_name, entry->d_type);
    if (kind == EntryKind::kFile && fits) listing->files.emplace_back(name);
    if (kind == EntryKind::kFolder && enterable) listing->folders.emplace_back(name);
    if (stop.load(std::memory_order_relaxed)) break;
  }
  closedir(dir);
  std::sort(listing->files.begin(), listing->files.end());
  std::sort(listing->folders.begin(), listing->folders.end());
  return error;
}

void Walk(const std::string& folder, const std::string& mask, const WalkRules& rules,
          const std::function<void(const std::string&)>& add, const std::atomic<bool>& stop,
          const std::function<bool(const std::string&)>& skip_folder) {
  Listing listing;
  if (const int error = ListFolder(folder, mask, rules, stop, &listing); error != 0 && rules.unreadable) {
    rules.unreadable(folder, error);
  }
  std::string path;
  for (const std::string& name : listing.files) {
    if (stop.load(std::memory_order_relaxed)) return;
    path.assign(folder).append(name);
    add(path);
  }
  for (const std::string& name : listing.folders) {
    if (stop.load(std::memory_order_relaxed)) return;
    const std::string subfolder = folder + name + trk_platform::kPathSeparator;
    if (skip_folder && skip_folder(subfolder)) continue;
    Walk(subfolder, mask, rules, add, stop, skip_folder);
  }
}

}  // namespace

void SearchFolder(const std::string& folder, const std::string& mask, bool recurse, bool skip_hidden,
                  const std::function<void(const std::string& path)>& add, const std::atomic<bool>& stop,
                  const std::function<bool(const std::string& folder)>& skip_folder, bool enter_hidden,
                  const std::function<void(const std::string& folder, int error)>& unreadable) {
  // An empty mask names no file, here or in any subfolder.
  if (mask.empty()) return;
  Walk(folder, mask, WalkRules{recurse, skip_hidden, enter_hidden, unreadable}, add, stop, skip_folder);
}

bool WildcardMatch(std::string_view mask, std::string_view name) {
  if (mask == "*.*") return true;  // every name, with or without a dot
  size_t m = 0, n = 0;
  size_t star = std::string_view::npos, resume = 0;  // last "*" and where its run ends
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      star = m++;
      resume = n;
    } else if (m < mask.size() && mask[m] == '?') {
      ++m;
      n += CharLength(name, n);
    } else if (m < mask.size() && FoldCase(mask[m]) == FoldCase(name[n])) {
      ++m;
      ++n;
    } else if (star != std::string_view::npos) {
      // Let the last "*" swallow one more byte and try the rest again.
      m = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}
