#pragma once

#include <iosfwd>
#include <string>

// The answers to "--help" and "--version", given before any of the program's
// objects exist: they load no project and write no file.

// Writes the answer for `first_arg` to `out` and returns true when it is
// "--help" or "--version" (exact spelling); returns false, writing nothing, for
// every other argument, which the project's command line then reads.
bool TrkWriteUsageAnswer(const std::string& first_arg, std::ostream& out);

// The text "--help" prints: the command-line forms, the main options in brief,
// and where the program keeps its files.
std::string TrkUsageText();
