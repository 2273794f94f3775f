#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "project/whole_file.h"

// The file operations of the file selection: reading a listed file whole or in
// pieces (done by project/whole_file.h, the one owner of whole-file I/O) and a
// file's date. Every call opens its own handle and shares nothing, so any number
// of threads may call at once.
class TrkFileUtils {
 public:
  // The file's bytes. Throws TrkError "Cannot open file "%s". %s" when the file
  // cannot be opened, "Stream read error" on a short read. Other processes may
  // read and write the file meanwhile.
  static std::string ReadAll(const std::string& path, int element_size = 1);

  // Throws as ReadAll would when the file cannot be opened for reading.
  static void CheckReadable(const std::string& path);

  // Feeds the file to `consume` in pieces of at most `piece_size` bytes, so that
  // no file is held in memory whole, `at_ends` told the file's stat data before
  // and after (see ReadFilePieces). Same errors as ReadAll.
  static void ReadPieces(const std::string& path, const std::function<void(std::string_view)>& consume,
                         size_t piece_size = 1 << 20, const TrkReadEnds& at_ends = nullptr);

  // Part of the design's file utilities; no program path writes through it.
  // Writes `data` to `path`, creating missing parent folders. Without `append`
  // the file is replaced atomically (a temporary file beside it, then renamed), so
  // a crash or a full disk never leaves a truncated file. Throws TrkError
  // "Cannot open file "%s". %s", "Cannot create file "%s". %s" or "Stream write error".
  static void WriteAll(const std::string& path, std::string_view data, int element_size = 1,
                       bool append = false);

  // The file's or folder's creation (else last-write) time as a DOS date-time
  // number, in UTC or local time; -1 when not found or not representable.
  static int32_t FileDate(const std::string& path, bool creation, bool utc);
};
