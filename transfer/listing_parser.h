#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

// Reading a server's folder listings: what regular files a folder holds and
// their sizes. Pure text work, kept apart from the sessions that fetch them.
namespace trk_listing {

// What one listing line says.
struct Line {
  enum class Kind {
    kJunk,   // no listing line of any known form
    kOther,  // a known form, but no regular file (a folder, a link, "total 8")
    kFile,   // a regular file
  };
  Kind kind = Kind::kJunk;
  std::string name;   // with kFile
  int64_t size = -1;  // with kFile; -1 when the line tells no size
};

// A line of an MLSD reply: "type=file;size=12;modify=...; name" (facts in any
// letter case). Only type=file is a file.
Line ParseMlsdLine(const std::string& line);
// A line of a LIST reply in the form of Unix "ls -l" ("-rw-r--r-- 1 u g 12 Jan
// 1 10:00 name", the group may be missing) or of DOS/IIS ("12-31-25  10:00PM
// 12 name", "<DIR>" for a folder). Only "-" lines and DOS sizes are files.
Line ParseListLine(const std::string& line);

// The regular files of a whole listing (`mlsd`: an MLSD reply, else LIST) by
// name with their sizes; nothing when the listing has lines and none of them
// is of a known form. "." and ".." are never files.
std::optional<std::unordered_map<std::string, int64_t>> FileSizes(const std::string& listing, bool mlsd);
// The entries of a whole listing as a server that stops listings at a set
// number counts them: its lines that are not blank, whatever they name (an
// MLSD's "." and ".." too).
size_t Entries(const std::string& listing);

}  // namespace trk_listing
