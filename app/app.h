#pragma once

#include <string>

// The program's own path and its first command-line argument, recorded once at
// start-up before any other object of the program exists.
//
// Thread safety: filled in the constructor and never changed afterwards, so any
// thread may read it.
class TrkApp {
 public:
  // `argv` as main() receives it; only the program name and the first argument
  // are looked at.
  TrkApp(int argc, const char* const* argv);

  // The full path of the running program file.
  const std::string& ExeName() const { return exe_name_; }
  // The first argument after the program name; empty when there is none.
  const std::string& Param() const { return param_; }

  // The running program's full path: what the system reports for the process,
  // else `argv0` made absolute.
  static std::string ResolveExeName(const char* argv0);

 private:
  std::string exe_name_;
  std::string param_;
};
