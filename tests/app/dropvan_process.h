#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace testing_support {

// How one run of the program ended.
struct ProcessResult {
  int exit_code = -1;   // 128 + signal when it was killed
  bool timed_out = false;
  std::string out;      // standard output
  std::string err;      // standard error
  std::chrono::milliseconds elapsed{0};
};

// A private copy of build/dropvan in a temporary folder of its own. The program
// keeps its side files beside itself (default project, recent list ".log", usage
// counters ".ext"), so each test gets them in its own folder, never in build/.
//
// Runs never see a display, so no link reaches a real browser; RecordLinks puts a
// fake xdg-open on the program's PATH that writes every link it gets to a file.
class DropvanCopy {
 public:
  DropvanCopy();

  const std::filesystem::path& dir() const { return dir_.path(); }
  std::string exe() const;
  std::string DefaultProject() const;  // dropvan.batch-dropvan beside the copy
  std::string RecentList() const;      // dropvan.log
  std::string CounterStore() const;    // dropvan.ext
  // A usage counter read back through the program's own store code ("" if missing).
  std::string Counter(const std::string& name) const;

  // Writes `lines` as a project file (CR LF lines) and returns its path.
  std::string WriteProject(const std::string& path, const std::vector<std::string>& lines) const;

  // Runs the copy with `args` in the folder `cwd` (the copy's folder when empty).
  // A run longer than `limit` is killed and reported as timed out.
  ProcessResult Run(const std::vector<std::string>& args, const std::string& cwd = "",
                    std::chrono::seconds limit = std::chrono::seconds(120)) const;

  // From now on runs have a display and a fake xdg-open that records links.
  void RecordLinks();
  // Puts the window library beside the copy, as the build has it beside
  // build/dropvan, when this build has one (builds without the window do not).
  void AddWindowLibrary() const;
  static bool WindowLibraryBuilt();
  // Adds NAME=VALUE to the environment of later runs.
  void SetEnv(const std::string& entry) { extra_env_.push_back(entry); }
  // The links recorded so far; waits up to `wait` for at least `expected` of them
  // (the opener is detached, so a link may arrive just after the program ended).
  std::vector<std::string> Links(size_t expected = 0,
                                 std::chrono::milliseconds wait = std::chrono::milliseconds(3000)) const;

 private:
  TempDir dir_;
  TempDir work_;  // fake tools, captured output
  bool record_links_ = false;
  std::vector<std::string> extra_env_;
};

// The lines of a CR LF text file; the last line break ends the last line.
std::vector<std::string> ReadCrLfLines(const std::string& path);
std::string ReadWholeFile(const std::string& path);

}  // namespace testing_support
