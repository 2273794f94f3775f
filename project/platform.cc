#include "project/platform.h"

#include <cstdlib>
#include <filesystem>

#ifdef _WIN32
#include <io.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "project/ascii.h"

namespace trk_platform {

namespace {

bool FolderWritable(const std::string& folder) {
  std::string name = folder.empty() ? std::string(".") : folder;
#ifdef _WIN32
  return _access(name.c_str(), 2) == 0;
#else
  return access(name.c_str(), W_OK) == 0;
#endif
}

// The user's configuration folder for the program, or empty when the
// environment names none.
std::string ConfigFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  // Relative XDG paths are invalid and must be ignored.
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/dropvan";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.config/dropvan";
#ifdef _WIN32
  const char* appdata = std::getenv("APPDATA");
  if (appdata != nullptr && appdata[0] != '\0') return std::string(appdata) + "\\dropvan";
#endif
  return std::string();
}

// Makes `folder` with its parents when missing; the folder itself is the
// user's alone (its files count the user's runs and list the user's projects).
// Failures are left to the writes that follow, which ignore them.
void MakePrivateFolder(const std::string& folder) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(folder).parent_path(), ignored);
#ifdef _WIN32
  std::filesystem::create_directory(folder, ignored);
#else
  mkdir(folder.c_str(), 0700);
#endif
}

}  // namespace

bool IsPathSeparator(char c) {
#ifdef _WIN32
  return c == '\\' || c == '/' || c == ':';
#else
  return c == '/';
#endif
}

size_t LastSeparator(std::string_view path) {
  for (size_t i = path.size(); i > 0; --i) {
    if (IsPathSeparator(path[i - 1])) return i - 1;
  }
  return std::string_view::npos;
}

std::string PathKeyText(std::string_view path) {
#ifdef _WIN32
  return TrkUpperAscii(path);
#else
  return std::string(path);
#endif
}

bool IsInstalledLayout(const std::string& folder) {
  // <prefix>/bin/ with the package's <prefix>/share/doc/dropvan/ beside it.
  std::error_code error;
  return folder.size() > 4 && folder.ends_with("/bin/") &&
         std::filesystem::is_directory(folder + "../share/doc/dropvan", error);
}

std::string SideFilePath(const std::string& exe_path) {
  size_t sep = LastSeparator(exe_path);
  std::string folder = sep == std::string::npos ? std::string() : exe_path.substr(0, sep + 1);
  // Root can write /usr/bin, but files there belong to the package manager.
  if (FolderWritable(folder) && !IsInstalledLayout(folder)) return exe_path;
  std::string config = ConfigFolder();
  if (config.empty()) return exe_path;
  MakePrivateFolder(config);
  return config + kPathSeparator + exe_path.substr(sep == std::string::npos ? 0 : sep + 1);
}

std::string ChangeExtension(const std::string& path, std::string_view ext) {
  size_t sep = LastSeparator(path);
  size_t name_start = sep == std::string::npos ? 0 : sep + 1;
  size_t dot = path.rfind('.');
  // A name's leading dot marks a hidden file, not an extension.
  if (dot == std::string::npos || dot <= name_start) return path + std::string(ext);
  return path.substr(0, dot) + std::string(ext);
}

}  // namespace trk_platform
