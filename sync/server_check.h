#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sync/account.h"

class TrkLocalNote;
class TrkProject;
class TrkTransferSession;

// A check of the server a project uploads to, step by step, without
// uploading anything of the project: it logs in as a run would, reads what the
// server offers, counts how many connections the server takes at once, up to
// ThreadsCount, tries a data connection in each mode (FTP), and stores, sizes,
// renames over and deletes a small probe file in the Target folder. Each
// finding is told as a line ("login: ...", "active data connection: ...") and
// the last line is the verdict, with the settings to use where others would
// work better. With Passive=Auto, what it finds of the data connections is
// kept in the destination's server profile, as a run would keep it.
//
// Threads: the caller's alone.
class TrkServerCheck {
 public:
  using Say = std::function<void(const std::string& line)>;

  TrkServerCheck(const TrkProject& project, Say say);
  ~TrkServerCheck();
  TrkServerCheck(const TrkServerCheck&) = delete;
  TrkServerCheck& operator=(const TrkServerCheck&) = delete;

  // Runs every step; true when an upload would work as the project is set.
  bool Run();

 private:
  // Why the project's deletion options refuse any run (a DeleteTo that could
  // reach Target, a DeleteLimit or DryRun that does not read); empty if none.
  std::string RefusedOptions() const;
  // A logged-in session in the configured mode; null, with the reason said,
  // when the login failed. `what` names the connection in what is said.
  std::unique_ptr<TrkTransferSession> LogIn(const std::string& what);
  // What the login found: the folder, TLS, the features.
  void TellLogin(const TrkTransferSession& session);
  // Opens connections beside `first`, the check's first login, until the
  // server turns one away or ThreadsCount are open. Counted before the check
  // lets any connection go: a server counts one that closed for a moment
  // after (vsftpd until it has reaped the session's process), and a count
  // made then would come out short.
  void CheckConnectionLimit(std::unique_ptr<TrkTransferSession> first);
  // Stores the probe as a run would, once per data connection mode (FTP): true
  // when the configured mode works. Passive=Auto learns what was found.
  bool CheckStores();
  // Keeps in the server profile which mode worked, as a run in auto mode would.
  void Remember(bool active);
  // One store of the probe in `data` mode, said as `what`.
  bool StoreProbe(TrkDataConnection data, const std::string& what);
  // Deletes the probe; a refusal is told, but uploads do not need deletes.
  void CheckDelete();

  const TrkProject& project_;
  const Say say_;
  TrkAccount account_;
  std::string target_;  // as given, ending in "/"
  std::string probe_;   // the probe's remote path, unique to this process
  std::unique_ptr<TrkLocalNote> probe_file_;  // the local file stored as the probe
  bool stored_ = false;  // the probe is on the server
  std::vector<std::string> advice_;  // the settings to use instead, said with the verdict
};
