#pragma once

#include <iosfwd>

class TrkInfo;
class TrkMatchBase;
class TrkProject;

// The boundary between the program and its window. The window is a library of
// its own (with Qt) that only a window run loads, so a console run never maps a
// GUI library and a headless server needs none installed. Nothing here names a
// Qt type.

// What the program hands its window: the process-wide objects, all owned by the
// program and outliving the window run, which uses them on its GUI thread.
struct TrkWindowRun {
  TrkProject* project = nullptr;
  TrkInfo* info = nullptr;
  const TrkMatchBase* filter = nullptr;  // the name filter; null lets every file pass
  const char* exe_name = "";             // argv[0] for the toolkit
  std::ostream* err = nullptr;           // where a run that cannot go on says why
};

// The window library's file name, looked for beside the program first.
inline constexpr const char* kTrkWindowLibrary = "dropvan-window.so";
// The name of its entry point, of type TrkWindowEntry.
inline constexpr const char* kTrkWindowEntryName = "TrkWindowMain";
using TrkWindowEntry = int (*)(const TrkWindowRun& run);

// The window run: the main window and the about window, then the event loop
// until the main window closes. Returns the exit code: 0, or 1 when an
// unattended run could not write its log (said on `err`).
extern "C" int TrkWindowMain(const TrkWindowRun& run);
