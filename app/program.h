#pragma once

#include <iosfwd>
#include <memory>

#include "app/app.h"
#include "report/link_builder.h"

class TrkInfo;
class TrkMain;
class TrkMatch;
class TrkProject;

// The program's identity, fixed at start-up.
inline constexpr const char* kTrkTitle = "Dropvan";
inline constexpr const char* kTrkProgramKey = "dropvan";
inline constexpr const char* kTrkVersion = "2024.16.1026.3528";

// The product identity as the links show it.
TrkProductIdentity TrkDropvanIdentity();
// Sets the project identity: the FTP convertor, the ".batch-dropvan" project
// extension, the title and version, and "/" as the target delimiter with
// AutoTarget off, so the target is a server path and is never created locally.
void TrkSetProjectIdentity(TrkProject& project);

enum class TrkRunMode { kConsole, kWindow };
// The console run when PureConsole is true and Source does not contain "http"
// (exact letter case: a Source "HTTPDOCS/*.*" still runs in the console);
// every other project goes to the window.
TrkRunMode TrkChooseRunMode(const TrkProject& project);

// The process's own objects, made in start-up order, and the run that follows.
//
// Ownership: owns every process-wide object; they go in the reverse order of
// making, so the console runner (and with it the run's workers) goes before the
// name filter and the project, and the product information goes last, writing
// the usage counters. The project writes its recent list as it goes.
//
// Threads: the main thread only; the runs it starts bring their own.
class TrkProgram {
 public:
  // Start-up up to the command line: the application helper, the product
  // information, the project, the console runner, the upload record and the
  // project identity.
  TrkProgram(int argc, const char* const* argv);
  ~TrkProgram();
  TrkProgram(const TrkProgram&) = delete;
  TrkProgram& operator=(const TrkProgram&) = delete;

  // Reads the command line (the install and uninstall notices end here with 0),
  // makes the name filter, chooses the run mode and runs. Returns the exit code.
  // Errors that escape the console run reach the caller.
  int Run(std::ostream& err);
  // "--check PROJECT": checks the project's server (TrkServerCheck), telling
  // each finding on `out`. Returns 0 when an upload would work as configured,
  // else 1 (a missing project is said on `err`).
  int Check(std::ostream& out, std::ostream& err);
  // "--break-lock PROJECT": removes the lock on the project's server
  // (ServerLock) whoever holds it, saying on `out` whose it was. Returns 0, or
  // 1 when the server would not (said on `err`).
  int BreakLock(std::ostream& out, std::ostream& err);

 private:
  // The window run, from the window library. Gives 1, said on `err`, when no
  // window can be opened.
  int RunWindow(std::ostream& err);
  // A finished console run's exit code: 128 + the signal that stopped it, else
  // 0, or FailureExitCode when a file failed (a value outside 0-255 gives 1, so
  // a failure never passes for success).
  int ConsoleExitCode() const;

  const TrkApp app_;
  std::unique_ptr<TrkInfo> info_;
  std::unique_ptr<TrkProject> project_;
  std::unique_ptr<TrkMatch> filter_;
  std::unique_ptr<TrkMain> main_;
};

// The body of main(): the program's run, with the top-level error handler. An
// error that escapes is written to `err` as "Dropvan: <message>" after the
// program's objects have gone (so the recent list and the counters are written),
// and gives exit code 1.
int TrkProgramMain(int argc, const char* const* argv, std::ostream& err);
