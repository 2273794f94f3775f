#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The file operations of the file selection beyond project/whole_file.h (which
// every file is read through): a whole-file write with the messages such
// writes have always given, and a file's date. Every call opens its own handle
// and shares nothing, so any number of threads may call at once.
class TrkFileUtils {
 public:
  // Writes `data` to `path`, creating missing parent folders. Without `append`
  // the file is replaced atomically (a temporary file beside it, then renamed), so
  // a crash or a full disk never leaves a truncated file. Throws TrkError
  // "Cannot open file "%s". %s", "Cannot create file "%s". %s" or "Stream write error".
  // No program path writes through it.
  static void WriteAll(const std::string& path, std::string_view data, int element_size = 1,
                       bool append = false);

  // The file's or folder's creation (else last-write) time as a DOS date-time
  // number, in UTC or local time; -1 when not found or not representable.
  static int32_t FileDate(const std::string& path, bool creation, bool utc);
};
