#pragma once

#include <stdexcept>
#include <string>

// The program's one error class. Modules throw it with a message meant for the
// user; the per-file operation turns it into an item's result, the console run
// into exit code 1, and the window into an error report. Immutable; it may be
// caught and read on any thread.
//
// Beside its message, an error may carry the reason behind it, in the words of
// the server or the library that gave it: the message stays the program's own
// (a failed file's result), the reason tells the user what to mend.
class TrkError : public std::runtime_error {
 public:
  explicit TrkError(const std::string& message, std::string reason = {})
      : std::runtime_error(message), reason_(std::move(reason)) {}
  // Empty when there is nothing to add to the message.
  const std::string& Reason() const { return reason_; }

 private:
  std::string reason_;
};
