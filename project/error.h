#pragma once

#include <stdexcept>
#include <string>

// The program's one error class. Modules throw it with a message meant for the
// user; the per-file operation turns it into an item's result, the console run
// into exit code 1, and the window into an error report. Immutable; it may be
// caught and read on any thread.
class TrkError : public std::runtime_error {
 public:
  explicit TrkError(const std::string& message) : std::runtime_error(message) {}
};
