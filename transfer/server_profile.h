#pragma once

#include <memory>
#include <mutex>
#include <string>

// What was learnt about reaching FTP servers: whether a server's data
// connections must be passive (a program behind NAT or a firewall that the
// server cannot connect back through), and whether it reads commands while a
// transfer runs. Kept beside the project's record, in FileName + ".servers",
// one line per destination ("ftp://user@host:21=Passive Queued": the facts
// known, in any order), so that a later run starts in the mode that worked
// instead of waiting for an active data connection that will never come, and
// without asking again what the server does with commands.
//
// One object describes one destination and is shared by the sessions of a run.
// Threads: every member may be called from any thread; mu_ guards the facts,
// write_mu_ orders the writes, which happen outside mu_.
class TrkServerProfile {
 public:
  enum class DataMode { kUnknown, kActive, kPassive };
  // What a server does with a command that comes while a transfer runs. One
  // that queues it (vsftpd) answers after the transfer's final reply, as if it
  // had come after it, so a session may send its next commands with the data.
  // One that reads it at once (pyftpdlib, proftpd) may answer before the file
  // is whole, refuse it, or end the transfer for it (a new passive port).
  enum class Commands { kUnknown, kQueued, kConcurrent };

  // Empty (nothing kept) for a project without a file.
  static std::string FileName(const std::string& project_file) {
    return project_file.empty() ? "" : project_file + ".servers";
  }

  // What `file` says of `destination`. A missing file, or one that cannot be
  // read, knows nothing: the next transfer learns again. With `read_only`
  // nothing is ever written (a dry run).
  static std::shared_ptr<TrkServerProfile> Load(const std::string& file, const std::string& destination,
                                                bool read_only = false);
  // A profile that remembers nothing beyond the object (tests, one-off sessions).
  TrkServerProfile() = default;

  DataMode Data() const;
  Commands DuringTransfers() const;
  // Notes what was learnt, and writes the file when it changed (the other
  // destinations' lines kept). A failed write is kept for SaveFailure and
  // costs only a relearning at a later run.
  void Learn(DataMode mode);
  void Learn(Commands commands);
  // Empty, or why the last write failed.
  std::string SaveFailure() const;

  static const char* Text(DataMode mode);

 private:
  TrkServerProfile(std::string file, std::string destination, bool read_only);
  // The line's facts, after "destination=".
  std::string FactsText() const;
  void Save();

  const std::string file_, destination_;  // file_ empty: nothing is written
  const bool read_only_ = false;
  mutable std::mutex mu_;
  DataMode data_ = DataMode::kUnknown;  // guarded by mu_
  Commands commands_ = Commands::kUnknown;  // guarded by mu_
  std::string save_failure_;            // guarded by mu_
  std::mutex write_mu_;                 // held while the file is read back and replaced
};
