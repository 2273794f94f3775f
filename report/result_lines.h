#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "project/whole_file.h"

// How one finished work item is told: its status word and its result line.
// Every field is inserted as it is, except that control characters of the file
// name and the result text are written as escapes (LF as \n, see
// EscapeControlChars), so that one item is always one line of a log. Nothing is
// interpreted as a format.

// "Success" for state 1, "Failure" for state 2, "Running" for anything else
// (not processed yet, or processing did not finish).
const char* TrkStatusWord(int state);

// "<word> => <file> => <result>": the console run's line.
std::string TrkConsoleLine(int state, std::string_view file_name, std::string_view result_text);
// Appends TrkConsoleLine(...) and CR LF to `out`: a run log of many files is
// built in one text, not line by line.
void TrkAppendConsoleLine(std::string& out, int state, std::string_view file_name, std::string_view result_text);
// "[<word>] => <file> => <result>": the window list's line.
std::string TrkListLine(int state, std::string_view file_name, std::string_view result_text);

// Writes `lines` to `path` as a run log: each line followed by CR LF, no lines
// giving an empty file. The file is replaced whole and atomically; it is never
// appended to. A relative path is taken from the current folder. The folder must
// exist: a log aimed at a missing folder is a mistake the user should hear about,
// so it is not created. Throws TrkError when the file cannot be written.
void TrkWriteLogFile(const std::string& path, const std::vector<std::string>& lines);
// The same for a log whose lines are joined already (each followed by CR LF).
void TrkWriteLogText(const std::string& path, std::string_view text);
// The same for a log handed over in pieces (see ReplaceFileFrom).
void TrkWriteLogFrom(const std::string& path, const std::function<void(const TrkBytesSink& sink)>& source);

// The Index of each finished item of a run, in the order in which the items
// finished: what the console run's lines are built from at its end, so that a
// run of many files does not hold every line twice.
//
// Thread safety: Append may be called from any number of worker threads at once;
// the lock is held for the append alone.
class TrkFinishOrder {
 public:
  void Append(int index);
  // A copy of the indices so far.
  std::vector<int> Indices() const;
  size_t Count() const;

 private:
  mutable std::mutex mu_;
  std::vector<int> indices_;  // guarded by mu_
};
