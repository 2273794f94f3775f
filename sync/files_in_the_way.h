#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

// A file this program uploaded whose local path has become a folder stands,
// on the server, where that folder must be made: none of the folder's files
// could go up ("550 Not a directory" at every store, run after run) until
// it goes. The first worker of a run that needs such a folder clears the way
// (with DeleteRemoved it deletes the file, or moves it to DeleteTo, as the
// run's deletions would); a worker that needs the same folder meanwhile waits
// for that outcome, so the file is removed once and nothing is stored into a
// folder that is not there yet.
//
// One per run, shared by its workers. Thread safety: every member may be
// called from any worker's thread.
class TrkFilesInTheWay {
 public:
  // Runs `clear` for the server file `remote` unless a worker of the run did
  // or does; then waits for that outcome. Returns, as `clear` does, empty when
  // the way is clear, else why it is not. An exception `clear` throws reaches
  // its own caller; the waiters get the same question again, so one of them
  // tries anew.
  std::string ClearOnce(const std::string& remote, const std::function<std::string()>& clear);

  // What stops the folder's files, as a failed upload below it tells it: "a
  // file a is in the way of folder a/", for `remote` below `target_dir`.
  static std::string Cause(const std::string& remote, const std::string& target_dir);

 private:
  // Keeps `outcome` for `remote` (none: forgets it) and wakes the waiters.
  void Settle(const std::string& remote, std::optional<std::string> outcome);

  std::mutex mutex_;
  std::condition_variable settled_;  // an outcome was kept or forgotten (mutex_)
  // Every server file cleared or being cleared (no value while being
  // cleared): its outcome. Guarded by mutex_.
  std::map<std::string, std::optional<std::string>> outcomes_;
};
