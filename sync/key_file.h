#pragma once

#include <string>

// What stands in the way of an SFTP login with a private key file (option
// KeyFile), found by reading the file before any connection: a file that is
// missing, a folder, a file that holds no private key (a public key, say), or
// a key locked by a passphrase. The login cannot ask for a passphrase; it
// tries the key file, then ssh-agent, then the password, so a locked key is
// fine when a running ssh-agent holds it: its public half, which OpenSSH's
// own format keeps unlocked (other formats: the ".pub" file beside it), is
// looked for among the agent's keys. A locked key whose public half is
// nowhere to be read is let through when the agent holds any key at all.
//
// Threads: any; nothing is kept.
class TrkKeyFile {
 public:
  // Empty when the key file at `path` may log in as far as can be told
  // without the server; else what is wrong, for the user, naming the file:
  // "KeyFile /home/u/.ssh/id_x: no such file".
  static std::string Problem(const std::string& path);
};
