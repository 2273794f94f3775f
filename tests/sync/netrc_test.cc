// Credentials from a .netrc file, read as ftp, curl and lftp read it, and
// where an account's parts come from: the project, the environment, .netrc.

#include "sync/netrc.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "project/options.h"
#include "support/temp_dir.h"
#include "sync/account.h"

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

// The project's own values win; what it leaves out comes from the
// environment (a CI job's secrets), then, for a still missing password, .netrc.
TEST(AccountTest, WhatTheProjectLeavesOutComesFromTheEnvironmentThenNetrc) {
  TempDir dir;
  const std::string netrc = dir.Write("netrc", "machine ftp.example.org login web password from-netrc\n");
  chmod(netrc.c_str(), 0600);
  setenv("NETRC", netrc.c_str(), 1);
  struct Row {
    const char* what;
    const char *user, *password, *key_file;              // the project's
    const char *env_user, *env_password, *env_key_file;  // the environment's; null: unset
    const char *user_is, *password_is, *key_file_is;
  } rows[] = {
      {"the project's", "site", "pw", "/k", "ci", "secret", "/ci-key", "site", "pw", "/k"},
      {"the environment's", "", "", "", "ci", "secret", "/ci-key", "ci", "secret", "/ci-key"},
      {"the user's own, the password from the environment", "site", "", "", "ci", "secret", nullptr, "site",
       "secret", ""},
      {"neither: .netrc", "", "", "", nullptr, nullptr, nullptr, "web", "from-netrc", ""},
      {"the environment's user, .netrc has none for it", "", "", "", "ci", nullptr, nullptr, "ci", "", ""},
      {"empty in the environment counts as unset", "", "", "", "", "", "", "web", "from-netrc", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TrkOptions options;
    options.Set("Server", "ftp.example.org");
    options.Set("User", row.user);
    options.Set("Password", row.password);
    options.Set("KeyFile", row.key_file);
    const std::pair<const char*, const char*> environment[] = {
        {"DROPVAN_USER", row.env_user}, {"DROPVAN_PASSWORD", row.env_password}, {"DROPVAN_KEYFILE", row.env_key_file}};
    for (const auto& [name, value] : environment) {
      if (value != nullptr) {
        setenv(name, value, 1);
      } else {
        unsetenv(name);
      }
    }
    const TrkAccount account = TrkAccount::FromOptions(options);
    EXPECT_EQ(account.user, row.user_is);
    EXPECT_EQ(account.password, row.password_is);
    EXPECT_EQ(account.settings.KeyFile, row.key_file_is);
  }
  for (const char* name : {"DROPVAN_USER", "DROPVAN_PASSWORD", "DROPVAN_KEYFILE", "NETRC"}) unsetenv(name);
}

}  // namespace
