#pragma once

#include <string>
#include <string_view>

// What differs between the platforms the program is built for, in one place.
namespace trk_platform {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// True for the characters that end a folder part of a local path: the separator,
// and on Windows also "/" and the drive colon.
bool IsPathSeparator(char c);
// Index of the last separator in `path`, or npos.
size_t LastSeparator(std::string_view path);

// The text the upload record digests as a file's path key. File systems that fold
// letter case (Windows) give the ASCII upper-cased path; case-sensitive ones give
// the path unchanged, so two names that differ only in case stay two files.
std::string PathKeyText(std::string_view path);

// Where the files kept beside the program live: the program's own folder when it
// can be written and is no installed layout (a bin/ folder with
// ../share/doc/dropvan/ beside it, as packages and `cmake --install` make), else
// the user's configuration folder ($XDG_CONFIG_HOME/dropvan, else
// ~/.config/dropvan). Returns the full name for the program file `exe_path`
// with its file name kept. The configuration folder is made (mode 0700, parents
// as the umask gives) when it is missing.
std::string SideFilePath(const std::string& exe_path);
// Whether `folder` (ending in its separator) is the bin/ folder of an installed program.
bool IsInstalledLayout(const std::string& folder);
// `path` with its extension (text after the last "." of the file name) replaced by
// `ext`, or `ext` appended when the name has no extension.
std::string ChangeExtension(const std::string& path, std::string_view ext);

}  // namespace trk_platform
