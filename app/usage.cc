#include "app/usage.h"

#include <ostream>

#include "app/program.h"

std::string TrkUsageText() {
  return std::string("Usage: ") + kTrkProgramKey + R"( [PROJECT.batch-dropvan | "-P:NAME=VALUE,..." | FOLDER | -I | -U]
       dropvan --check PROJECT.batch-dropvan
       dropvan --break-lock PROJECT.batch-dropvan
       dropvan --help | --version

  PROJECT.batch-dropvan  run the project file (name=value lines); with PureConsole=True
                         a console run: upload, write the log, exit
  -P:NAME=VALUE,...      the options themselves, separated by "," or ";"
  FOLDER or FILE         open the window with it as the source
  (nothing)              open the window with the default project
  -I, -U                 the install and uninstall notices
  --check PROJECT        check the project's server: login, data connections, a probe
                         file stored, renamed and deleted in Target, the connection
                         limit; a verdict and the settings to use (exit 0 or 1)
  --break-lock PROJECT   remove the lock (ServerLock) on the project's server, whoever
                         holds it: for a lock whose run was killed
  --help                 this text
  --version              the program's version

Main options (all of them: man dropvan, or README.md):
  Source=/srv/site/*.*   what to upload (folder and file mask)   Subdir=True  walk subfolders
  Target=/www/           server directory                        Server, Port, User, Password
  ThreadsCount=4|Auto    workers, one connection each           TryTimes=3   retries per file
  LogFile=PATH           one line per file                      PureConsole=True  no window
  Server=sftp://HOST     SFTP (host key in ~/.ssh/known_hosts)   KeyFile=PATH  its key
  Server=ftps://HOST     FTP over TLS from the first byte (990)  Secure=True  AUTH TLS first
  Passive=True|Auto      passive data connections, or active until they fail
  ServerLock=True        one run at a time on the destination   LockWait=60  seconds

Files: the upload record beside the project file (.ini, .ini.old, .ini.lock, .log,
and .servers, what was learnt of FTP servers);
the recent list dropvan.log, usage counters dropvan.ext and default project
dropvan.batch-dropvan beside the program, or in $XDG_CONFIG_HOME/dropvan
(~/.config/dropvan) for an installed program or one whose folder cannot be written.

Files that failed: one line per reason on standard error at the end ("2 files failed: 553 ...").
Exit code 1: an error ended the run (the message is on standard error); man dropvan has all codes.
)";
}

bool TrkWriteUsageAnswer(const std::string& first_arg, std::ostream& out) {
  if (first_arg == "--help") {
    out << TrkUsageText();
  } else if (first_arg == "--version") {
    out << kTrkTitle << " " << kTrkVersion << "\n";
  } else {
    return false;
  }
  out.flush();
  return true;
}
