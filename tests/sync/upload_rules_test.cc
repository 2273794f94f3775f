// The upload rules against servers that answer as a script says (see
// support/recording_session.h): what the uploader asks of the server, in
// order, and what comes of it. The real servers of uploader_test.cc show the
// rules at work; these rows pin down each rule's requests, including answers
// a real server gives only by accident.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "digest/md5.h"
#include "project/error.h"
#include "support/recording_session.h"
#include "support/temp_dir.h"
#include "sync/uploader.h"

namespace {

using testing_support::SessionScript;

struct Row {
  const char* name = "";
  std::vector<std::string> script = {};
  std::vector<std::string> put = {};  // PutFile of a 3-byte file to each in turn, whatever the last did
  std::string remove = "", to = "";   // else RemoveFile(remove, to)
  int tries = 0;
  std::string mask = "";              // RenameMask
  bool large = false;                 // the file counts as large (ResumeAbove)
  bool digested = false;              // PutFile digests what it sends
  bool changed = false;               // the local file is written to as the second session opens
  std::string calls = "";             // every request, after the first session's OPEN and LOGIN
  std::string outcome = "";           // "stored N" (the last PutFile's), "removed", or "error | reason"
};

// The first session's opening, which every row starts with.
const std::string kIn = "OPEN; LOGIN u:p@h:21; ";

const Row kRows[] = {
    {.name = "a store SIZE finds short fails, naming both counts",
     .script = {"STOR=held 2"}, .put = {"/a.txt"},
     .calls = "STOR /a.txt",
     .outcome = "[Error]Upload file failure (the server holds 2 of 3 bytes of \"/a.txt\") | "
                "the server holds 2 of 3 bytes of \"/a.txt\""},
    {.name = "SIZE looks for the temporary name, and a file it cannot find is not renamed",
     .script = {"STOR=missing"}, .put = {"/a.exe"},
     .calls = "STOR /a.exe_",
     .outcome = "[Error]Upload file failure (the server cannot find the stored file \"/a.exe_\") | "
                "the server cannot find the stored file \"/a.exe_\""},
    {.name = "a server without SIZE is trusted",
     .script = {"STOR=unknown"}, .put = {"/a.txt"},
     .calls = "STOR /a.txt", .outcome = "stored 3"},
    {.name = "a program, any case, goes up under a temporary name renamed over the live one",
     .put = {"/a.EXE"},
     .calls = "STOR /a.EXE_; RENAME /a.EXE_ /a.EXE", .outcome = "stored 3"},
    {.name = "a server that will not rename over a file: the live one is moved aside, then deleted",
     .script = {"RENAME /a.exe_ /a.exe#1=550 File exists."}, .put = {"/a.exe"},
     .calls = "STOR /a.exe_; RENAME /a.exe_ /a.exe; DELE /a.exe~dropvan; RENAME /a.exe /a.exe~dropvan; "
              "RENAME /a.exe_ /a.exe; DELE /a.exe~dropvan",
     .outcome = "stored 3"},
    {.name = "the live file is put back when the new one still cannot take its place",
     .script = {"RENAME /a.exe_=550 Refused."}, .put = {"/a.exe"},
     .calls = "STOR /a.exe_; RENAME /a.exe_ /a.exe; DELE /a.exe~dropvan; RENAME /a.exe /a.exe~dropvan; "
              "RENAME /a.exe_ /a.exe; RENAME /a.exe~dropvan /a.exe",
     .outcome = "[Error]Upload file failure (the server refused to rename \"/a.exe_\" to \"/a.exe\") | "
                "the server refused to rename \"/a.exe_\" to \"/a.exe\""},
    {.name = "a live file that cannot be moved aside stays where it is",
     .script = {"RENAME /a.exe_=550 File exists.", "RENAME /a.exe=550 Busy."}, .put = {"/a.exe"},
     .calls = "STOR /a.exe_; RENAME /a.exe_ /a.exe; DELE /a.exe~dropvan; RENAME /a.exe /a.exe~dropvan",
     .outcome = "[Error]Upload file failure (the server refused to rename \"/a.exe_\" to \"/a.exe\") | "
                "the server refused to rename \"/a.exe_\" to \"/a.exe\""},
    {.name = "a rename the connection cut is a broken store, whose reason is the connection's",
     .script = {"RENAME=cut Connection reset by peer"}, .put = {"/a.exe"},
     .calls = "STOR /a.exe_; RENAME /a.exe_ /a.exe",
     .outcome = "[Error]Upload file failure | Connection reset by peer"},
    {.name = "a RenameMask name whose temporary name is refused takes short ones, .new and .old",
     .script = {"STOR /index.html_=553 File name too long.", "RENAME#1=550 File exists."},
     .put = {"/index.html"}, .mask = "*.php; *.html",
     .calls = "STOR /index.html_; STOR /~dvD1546D731A9F30CC.new; RENAME /~dvD1546D731A9F30CC.new /index.html; "
              "DELE /~dvD1546D731A9F30CC.old; RENAME /index.html /~dvD1546D731A9F30CC.old; "
              "RENAME /~dvD1546D731A9F30CC.new /index.html; DELE /~dvD1546D731A9F30CC.old",
     .outcome = "stored 3"},
    {.name = "a known folder is not asked for again, until a failed store forgets it",
     .script = {"STOR /www/b.txt#1=451 Try again."}, .put = {"/www/a.txt", "/www/b.txt"}, .tries = 1,
     .calls = "CWD /www; STOR /www/a.txt; STOR /www/b.txt; OPEN; LOGIN u:p@h:21; CWD /www; STOR /www/b.txt",
     .outcome = "stored 3"},
    {.name = "a store into folders that could not be made names the highest one refused",
     .script = {"CWD=550 No such folder.", "MKD=550 Permission denied.", "STOR=553 No such folder."},
     .put = {"/www/sub/a.txt"},
     .calls = "CWD /www/sub; CWD /www; MKD /www; CWD /www; MKD /www/sub; CWD /www/sub; STOR /www/sub/a.txt",
     .outcome = "[Error]Upload file failure (the server refused to make the folder \"/www\": "
                "550 Permission denied.) | the server refused to make the folder \"/www\": 550 Permission denied."},
    {.name = "a refused store is tried tries + 1 times, each on a fresh session, and fails with its reason",
     .script = {"STOR=451 Local error."}, .put = {"/a.txt"}, .tries = 2,
     .calls = "STOR /a.txt; OPEN; LOGIN u:p@h:21; STOR /a.txt; OPEN; LOGIN u:p@h:21; STOR /a.txt",
     .outcome = "[Error]Upload file failure | 451 Local error."},
    {.name = "a store whose SIZE went unanswered is retried",
     .script = {"STOR#1=unanswered"}, .put = {"/a.txt"}, .tries = 1,
     .calls = "STOR /a.txt; OPEN; LOGIN u:p@h:21; STOR /a.txt", .outcome = "stored 3"},
    {.name = "a refused login is tried again on the same session",
     .script = {"LOGIN#1=530 Login incorrect."}, .put = {"/a.txt"}, .tries = 1,
     .calls = "LOGIN u:p@h:21; STOR /a.txt", .outcome = "stored 3"},
    {.name = "a connect given up after tries + 1 logins names the server and the refusal",
     .script = {"LOGIN=530 Login incorrect."}, .put = {"/a.txt"}, .tries = 1,
     .calls = "LOGIN u:p@h:21", .outcome = "[Error]Connect to h failure | 530 Login incorrect."},
    {.name = "a large store that broke goes on from what the server holds, sending the rest alone",
     .script = {"STOR=broke 2", "SIZE=held 1"}, .put = {"/a.txt"}, .tries = 1, .large = true,
     .calls = "STOR /a.txt; OPEN; LOGIN u:p@h:21; SIZE /a.txt; APPE /a.txt from 1", .outcome = "stored 2"},
    {.name = "a resume that breaks again goes on from where the server then stands",
     .script = {"STOR=broke 2", "SIZE#1=held 1", "APPE#1=broke 1", "SIZE#2=held 2"}, .put = {"/a.txt"},
     .tries = 2, .large = true,
     .calls = "STOR /a.txt; OPEN; LOGIN u:p@h:21; SIZE /a.txt; APPE /a.txt from 1; OPEN; LOGIN u:p@h:21; "
              "SIZE /a.txt; APPE /a.txt from 2",
     .outcome = "stored 1"},
    {.name = "a program resumes its temporary name, then takes the live one's place",
     .script = {"STOR=broke 2", "SIZE=held 1"}, .put = {"/a.exe"}, .tries = 1, .large = true,
     .calls = "STOR /a.exe_; OPEN; LOGIN u:p@h:21; SIZE /a.exe_; APPE /a.exe_ from 1; RENAME /a.exe_ /a.exe",
     .outcome = "stored 2"},
    {.name = "a resumed store counts only when the server holds the whole file",
     .script = {"STOR=broke 2", "SIZE=held 1", "APPE=held 2"}, .put = {"/a.txt"}, .tries = 1, .large = true,
     .calls = "STOR /a.txt; OPEN; LOGIN u:p@h:21; SIZE /a.txt; APPE /a.txt from 1",
     .outcome = "[Error]Upload file failure (the server holds 2 of 3 bytes of \"/a.txt\") | "
                "the server holds 2 of 3 bytes of \"/a.txt\""},
    {.name = "a server that will not append gets the whole file again at once",
     .script = {"STOR#1=broke 2", "SIZE=held 1", "APPE=502 Command not implemented."}, .put = {"/a.txt"},
     .tries = 1, .large = true,
     .calls = "STOR /a.txt; OPEN; LOGIN u:p@h:21; SIZE /a.txt; APPE /a.txt from 1; STOR /a.txt",
     .outcome = "stored 3"},
    {.name = "a server holding more than the broken store can have sent starts over",
     .script = {"STOR#1=broke 1", "SIZE=held 2"}, .put = {"/a.txt"}, .tries = 1, .large = true,
     .calls = "STOR /a.txt; OPEN; LOGIN u:p@h:21; SIZE /a.txt; STOR /a.txt", .outcome = "stored 3"},
    {.name = "a store that broke before any byte went has nothing to build on",
     .script = {"STOR#1=broke 0"}, .put = {"/a.txt"}, .tries = 1, .large = true,
     .calls = "STOR /a.txt; OPEN; LOGIN u:p@h:21; STOR /a.txt", .outcome = "stored 3"},
    {.name = "a store that broke in an earlier PutFile is no store to go on from",
     .script = {"STOR#1=broke 2", "SIZE=held 1"}, .put = {"/a.txt", "/a.txt"}, .large = true,
     .calls = "STOR /a.txt; STOR /a.txt", .outcome = "stored 3"},
    {.name = "a file no larger than ResumeAbove starts over",
     .script = {"STOR#1=broke 2"}, .put = {"/a.txt"}, .tries = 1,
     .calls = "STOR /a.txt; OPEN; LOGIN u:p@h:21; STOR /a.txt", .outcome = "stored 3"},
    {.name = "a file digested as it is sent starts over",
     .script = {"STOR#1=broke 2"}, .put = {"/a.txt"}, .tries = 1, .large = true, .digested = true,
     .calls = "STOR /a.txt; OPEN; LOGIN u:p@h:21; STOR /a.txt", .outcome = "stored 3"},
    {.name = "a file written to since the store broke starts over",
     .script = {"STOR#1=broke 2", "SIZE=held 1"}, .put = {"/a.txt"}, .tries = 1, .large = true, .changed = true,
     .calls = "STOR /a.txt; OPEN; LOGIN u:p@h:21; STOR /a.txt", .outcome = "stored 3"},
    {.name = "a refused deletion names the file and the server's reason",
     .script = {"DELE=550 Permission denied."}, .remove = "/old.txt",
     .calls = "DELE /old.txt; SIZE /old.txt",
     .outcome = "[Error]Delete file failure (/old.txt) | 550 Permission denied."},
    {.name = "a file moved where the server will not rename over one replaces it",
     .script = {"RENAME#1=550 File exists."}, .remove = "/www/a.txt", .to = "/attic/a.txt",
     .calls = "CWD /attic; RENAME /www/a.txt /attic/a.txt; DELE /attic/a.txt; RENAME /www/a.txt /attic/a.txt",
     .outcome = "removed"},
};

// What came of the row's calls.
std::string Outcome(TrkUploader& uploader, const Row& row, const std::string& local) {
  const auto outcome_of = [](const std::function<std::string()>& call) {
    try {
      return call();
    } catch (const TrkError& error) {
      return std::string(error.what()) + " | " + error.Reason();
    }
  };
  if (!row.remove.empty()) return outcome_of([&] {
    uploader.RemoveFile(row.remove, row.to, row.tries);
    return std::string("removed");
  });
  std::string outcome;
  TrkMD5 digest;
  for (const std::string& remote : row.put) {
    outcome = outcome_of([&] {
      return "stored " + std::to_string(uploader.PutFile(local, remote, row.tries, row.digested ? &digest : nullptr));
    });
  }
  return outcome;
}

TEST(UploadRulesTest, EachRuleAsksTheServerWhatItSaysAndNothingElse) {
  testing_support::TempDir dir;
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    // Dated an hour back, as a file not being written to is.
    const auto write_settled = [&dir](const std::string& content) {
      const std::string path = dir.Write("f", content);
      std::filesystem::last_write_time(path, std::filesystem::last_write_time(path) - std::chrono::hours(1));
      return path;
    };
    const std::string local = write_settled("abc");
    SessionScript script(row.script);
    int sessions = 0;
    TrkUploader uploader([&](const TrkSessionSettings&) {
      if (++sessions == 2 && row.changed) write_settled("xyz");
      return script.NewSession();
    });
    uploader.ResumeAbove = row.large ? 2 : 3;  // the file's 3 bytes are above 2, not above 3
    uploader.Server = "h";
    uploader.User = "u";
    uploader.Password = "p";
    uploader.RetryWait = std::chrono::milliseconds(0);
    uploader.RenameMask = TrkMaskList(row.mask);
    EXPECT_EQ(Outcome(uploader, row, local), row.outcome);
    EXPECT_EQ(script.Log(), kIn + row.calls);
  }
}

}  // namespace
