#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "sync/lock_holder.h"

class TrkOptions;
class TrkUploader;

// The lock that keeps two runs off one destination at once (ServerLock): the
// folder kFolderName in Target, which only one client can make (FTP's MKD and
// SFTP's mkdir refuse a folder that is there), holding one file whose
// name says who holds it (TrkLockHolder). Its holder renames that file every
// minute at most, so a lock whose name has not changed for LockStale minutes
// is stale: its holder was killed. A run that finds the lock waits LockWait
// seconds for it, then is refused; nothing removes a lock another process
// made but Break (--break-lock).
//
// One per run (TrkSyncRun), over a connection of its own that is made for each
// step and let go after it, so that the lock keeps none of the server's
// connections from the workers.
//
// Threads: Take from any worker (the first takes the lock, the others wait for
// its outcome); Release once every Take has returned; while the lock is held,
// a thread of its own refreshes it. Destroying a lock releases it.
class TrkServerLock {
 public:
  struct Options {
    bool enabled = false;            // ServerLock, and not a dry run
    std::chrono::seconds wait{60};   // LockWait, 0 or more
    std::chrono::minutes stale{30};  // LockStale, 1 or more
    static Options Read(const TrkOptions& options);
  };
  static constexpr char kFolderName[] = ".dropvan-lock";

  // `uploader` has the run's account (TrkAccount::SetUp); null when
  // ServerLock is off. The lock goes in `target`, the run's Target ("/"
  // ended, absolute or from the login folder).
  TrkServerLock(Options options, std::unique_ptr<TrkUploader> uploader, std::string target);
  ~TrkServerLock();
  TrkServerLock(const TrkServerLock&) = delete;
  TrkServerLock& operator=(const TrkServerLock&) = delete;

  // Empty once the lock is this run's (or when ServerLock is off), else why
  // the run must not go on: "the server is locked by deploy@ci-runner-7 since
  // 12:03:41 (2 min ago)", a stale lock, a lock that could not be made. The
  // first call tries; the others wait for it and answer as it did. A stop
  // ends the wait with "stopped".
  std::string Take(std::stop_token stop);
  // Why Take refused the run, once it has; empty before, when it took the
  // lock, and when a stop ended it.
  std::string Outcome() const;
  // Lets the lock go: the refresher stops, and the holder's file and the
  // folder go if they are still this run's. Never fails.
  void Release();

  // Removes the lock of `target` whoever holds it (--break-lock); says what
  // was removed. Throws TrkError when the server would not.
  static std::string Break(TrkUploader& uploader, const std::string& target);

  // How often the holder says it is alive.
  static std::chrono::seconds RefreshEvery(std::chrono::minutes stale);

 private:
  enum class State { kUntried, kTaking, kTried };
  std::string TryTake(const std::stop_token& stop);
  // Puts the holder's file in the folder this run made; empty when it went.
  std::string Hold();
  std::string Refusal(const std::optional<TrkLockHolder>& holder, bool stale) const;
  void Refresh(const std::stop_token& stop);
  void Connect();

  const Options options_;
  const std::string target_;
  mutable std::mutex mu_;
  std::condition_variable_any tried_;  // state_ left kTaking (mu_)
  State state_ = State::kUntried;      // mu_
  std::string outcome_;                // with kTried (mu_)
  // Used by one step at a time: the taking worker, then the refresher, then
  // Release (steps_).
  std::mutex steps_;
  std::unique_ptr<TrkUploader> uploader_;  // steps_
  std::string folder_;                     // absolute, once taken (steps_)
  TrkLockHolder me_;                       // steps_
  bool held_ = false;                      // the folder and file are this run's (steps_)
  std::jthread refresher_;                 // while held; stopped and joined first
};
