// Credentials from a .netrc file, read as ftp, curl and lftp read it.

#include "sync/netrc.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "support/temp_dir.h"

namespace {

using testing_support::TempDir;

TEST(NetrcTest, TheEntryForAHostFollowsTheUsualRules) {
  const std::string text =
      "# deploy keys\n"
      "machine ftp.example.org login web password s3cret\n"
      "machine FTP.example.org\n  login other\n  password second\n"
      "macdef init\nmachine ftp.example.org login macro password wrong\n\n"
      "machine quoted.example.org login \"a b\" password \"p\\\"q\"\n"
      "default login anonymous password me@example.org\n";
  struct Row {
    const char* host;
    const char* user;
    bool found;
    const char* login;
    const char* password;
  } rows[] = {
      {"ftp.example.org", "", true, "web", "s3cret"},            // the first entry for the host
      {"FTP.EXAMPLE.ORG", "other", true, "other", "second"},     // case ignored; the login decides
      {"ftp.example.org", "macro", false, "", ""},  // a macro's words are no entry
      {"quoted.example.org", "", true, "a b", "p\"q"},
      {"elsewhere.org", "", true, "anonymous", "me@example.org"},  // the default entry
      {"elsewhere.org", "nobody", false, "", ""},                  // the default's login differs
  };
  for (const Row& row : rows) {
    const TrkNetrcEntry entry = TrkParseNetrc(text, row.host, row.user);
    EXPECT_EQ(entry.found, row.found) << row.host << " as " << row.user;
    EXPECT_EQ(entry.login, row.login) << row.host << " as " << row.user;
    EXPECT_EQ(entry.password, row.password) << row.host << " as " << row.user;
  }
  EXPECT_FALSE(TrkParseNetrc("machine a login b password c", "other", "").found) << "no default entry";
}

TEST(NetrcTest, AFileOthersMayReadIsIgnoredWithAWarning) {
  TempDir dir;
  const std::string path = dir.dir() + "netrc";
  dir.Write("netrc", "machine ftp.example.org login web password s3cret\n");
  setenv("NETRC", path.c_str(), 1);
  struct Row {
    mode_t mode;
    const char* host;
    bool found;
    bool warned;
  } rows[] = {
      {0600, "ftp.example.org", true, false},
      {0644, "ftp.example.org", false, true},
      {0660, "ftp.example.org", false, true},
      {0644, "elsewhere.org", false, false},  // nothing for this host: nothing to warn about
  };
  for (const Row& row : rows) {
    chmod(path.c_str(), row.mode);
    const TrkNetrcLookup lookup = TrkReadNetrc(row.host, "");
    EXPECT_EQ(lookup.entry.found, row.found) << std::oct << row.mode << " " << row.host;
    EXPECT_EQ(!lookup.warning.empty(), row.warned) << std::oct << row.mode << " " << row.host << ": " << lookup.warning;
  }
  setenv("NETRC", (dir.dir() + "missing").c_str(), 1);
  EXPECT_FALSE(TrkReadNetrc("ftp.example.org", "").entry.found) << "a missing file says nothing";
  unsetenv("NETRC");
}

}  // namespace
