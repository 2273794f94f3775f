#pragma once

#include <atomic>
#include <functional>
#include <string>

// Walks `folder` (ending in its separator) for files whose names fit `mask`
// ("*" any run, "?" one character, letter case ignored, "*.*" every name) and
// hands each one to `add` as folder + relative path + name, as the walk finds it:
// a folder's own files first, then its subfolders depth first. Hidden folders
// (names beginning with ".") are entered only with `enter_hidden`, and symbolic
// links to folders never; hidden files are left out when `skip_hidden`, in any
// folder. Only regular files (or links to them) are offered. A folder that
// cannot be listed, or whose listing breaks off, contributes what was read and
// is handed to `unreadable` (when given) with the system's error number: a
// walk that went on in silence would pass for one of a folder with nothing in
// it. The walk ends after the entry in hand once `stop` is set. A subfolder
// for which `skip_folder` (when given) is true is not entered. Both callbacks
// get the folder's path with its closing separator.
void SearchFolder(const std::string& folder, const std::string& mask, bool recurse, bool skip_hidden,
                  const std::function<void(const std::string& path)>& add, const std::atomic<bool>& stop,
                  const std::function<bool(const std::string& folder)>& skip_folder = {},
                  bool enter_hidden = false,
                  const std::function<void(const std::string& folder, int error)>& unreadable = {});

// The listing wildcard test of one file name against a mask.
bool WildcardMatch(std::string_view mask, std::string_view name);
