#pragma once

#include <iosfwd>
#include <string>

struct TrkWindowRun;

// Why no window can be opened in this session: no display named (an SSH login,
// cron) or the named one does not answer. Empty when the toolkit may go ahead;
// a platform the user chose explicitly (QT_QPA_PLATFORM other than the desktop
// ones) is left to the toolkit.
std::string TrkNoDisplayReason();

// The window run through the window library: looked for beside the program,
// then in the install's library folder (../lib/dropvan/). Says on `err` why,
// and gives 1, when there is no display or the library (or the toolkit it
// needs) cannot be loaded; otherwise gives the window run's exit code.
int TrkRunWindowLibrary(const TrkWindowRun& run, const std::string& exe_name, std::ostream& err);
