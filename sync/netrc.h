#pragma once

#include <string>
#include <string_view>

// Credentials kept outside the project file, in the .netrc format that ftp,
// curl and lftp read: "machine <host> login <user> password <secret>" entries
// (tokens separated by blanks or line breaks, in any order after "machine"),
// one "default" entry for any other host, and "macdef" macros (skipped to the
// next empty line). A token may be double-quoted with backslash escapes. The
// functions below keep no state; any thread may call them.
struct TrkNetrcEntry {
  std::string login;
  std::string password;
  bool found = false;
};

// The entry for `host` in `text`: the first "machine" entry naming it (ASCII
// letter case ignored) whose login is `user`, or has none, when `user` is set;
// else the first entry naming it; else the "default" entry under the same rule.
TrkNetrcEntry TrkParseNetrc(std::string_view text, std::string_view host, std::string_view user);

// What the user's .netrc says for `host`: the file named by $NETRC, else
// $HOME/.netrc. A missing or unreadable file says nothing. A file that others
// than its owner may read or write is not used, as other clients refuse it:
// `warning` then says so (only when it has an entry for `host`).
struct TrkNetrcLookup {
  TrkNetrcEntry entry;
  std::string warning;
};
TrkNetrcLookup TrkReadNetrc(std::string_view host, std::string_view user);
