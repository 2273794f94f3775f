// Deleting on the server what was removed locally (DeleteRemoved): a site is
// uploaded, some of its files are removed locally, and a second run must take
// exactly those off the server, or nothing at all when anything about the run
// makes that doubtful.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "dropvan_run.h"
#include "support/as_ordinary_user.h"
#include "sync/removals.h"
#include "record/upload_store.h"

namespace {

using dropvan_testing::RunResult;
using dropvan_testing::SyncProject;
using testing_support::FtpFaults;
using testing_support::FtpServer;
using testing_support::TempDir;

namespace fs = std::filesystem;

// Every file and folder (with a closing "/") below `root`, relative to it.
std::set<std::string> EntriesBelow(const fs::path& root) {
  std::set<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    entries.insert(fs::relative(entry.path(), root).string() + (entry.is_directory() ? "/" : ""));
  }
  return entries;
}

FtpFaults Answering(const std::string& answer) {
  FtpFaults faults;
  faults.answers = {answer};
  return faults;
}

struct RemovalRow {
  const char* name = "";
  std::vector<std::pair<std::string, std::string>> options = {};  // of both runs
  std::vector<std::pair<std::string, std::string>> second_run_options = {};
  FtpFaults faults = {};                  // the server's during the second run's deletions
  std::vector<std::string> removed = {};  // local files removed before the second run
  std::set<std::string> on_server = {};   // afterwards, below the server's root
  // Of the second run's items for the removed files, then the added ones, in order.
  std::vector<std::string> results = {};
  int failed = 0;
  int deleted_next = 0;  // files the next run deletes (what this one failed or only showed)
  std::string second_source = "";  // the folder the later runs list, below the site's
  std::string gone_from_server = "";  // taken off the server before the second run
  std::vector<std::string> added = {};  // local files written before the second run
  std::vector<std::string> also_in_site = {};  // beside the usual files, from the first run on
  // A local folder that the second run's user may enter but not list.
  std::string unlistable = "";
};

// What a run's items say it deleted or would delete, each as "REMOTE" or
// "REMOTE -> MOVED_TO", and its refusal, sorted: a dry run must show exactly
// what a real run does.
std::vector<std::string> Deletions(const RunResult& run) {
  std::vector<std::string> deletions;
  for (const auto& [path, item] : run.items) {
    std::string text = item.text;
    for (const char* prefix : {"Deleted => ", "Would delete ", "[Error]Delete file failure ("}) {
      if (!text.starts_with(prefix)) continue;
      text = text.substr(std::string(prefix).size());
      if (text.ends_with(")") && text.find(" (") == std::string::npos) text.pop_back();
      for (const char* move : {" (moved to ", " (move to "}) {
        if (const size_t at = text.find(move); at != std::string::npos) {
          text = text.substr(0, at) + " -> " + text.substr(at + std::string(move).size());
          text.pop_back();
        }
      }
      deletions.push_back(text);
    }
    if (text.starts_with("[Error]Deletion refused")) deletions.push_back(text);
  }
  std::sort(deletions.begin(), deletions.end());
  return deletions;
}

// The run of `project` by user 65534 in a process of its own (root lists
// every folder), its items and counters sent back as lines.
RunResult RunAsOrdinaryUser(SyncProject& project, const std::string& source) {
  const fs::path folder = fs::path(project.project().FileName()).parent_path();
  testing_support::LetOrdinaryUserIn(folder);
  for (const auto& entry : fs::directory_iterator(folder)) fs::permissions(entry.path(), fs::perms::all);
  TrkUploadStore::Process().EndRun();  // the run lock this process holds would keep the other out
  const std::string lines = testing_support::RunAsOrdinaryUser([&] {
    const RunResult run = project.RunFolder(source, "/www/");
    std::string text = std::to_string(run.failed) + "\n";
    for (const auto& [path, item] : run.items) text += path + "\t" + std::to_string(item.state) + "\t" + item.text + "\n";
    return text;
  });
  RunResult run;
  std::istringstream in(lines);
  std::string line;
  if (!(in >> run.failed)) ADD_FAILURE() << lines;
  std::getline(in, line);
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t'), second = line.find('\t', tab + 1);
    run.items[line.substr(0, tab)] = {std::stoi(line.substr(tab + 1, second - tab - 1)), line.substr(second + 1)};
  }
  return run;
}

TEST(RemovalTest, DeletesWhatTheRunUploadedAndIsGoneLocallyAndNothingWhenInDoubt) {
  const std::set<std::string> untouched = {"www/",        "www/a.html",      "www/sub/",        "www/sub/b.html",
                                           "www/sub/c.html", "www/keep/", "www/keep/b.html", "www/foreign.html"};
  const std::set<std::string> kept = {"www/", "www/keep/", "www/keep/b.html", "www/foreign.html"};
  const std::vector<std::string> three = {"a.html", "sub/b.html", "sub/c.html"};
  const std::vector<RemovalRow> rows = {
      {"removed files go with the folder they leave empty; a foreign file stays",
       {},
       {},
       {},
       three,
       kept,
       {"Deleted => /www/a.html", "Deleted => /www/sub/b.html", "Deleted => /www/sub/c.html"}},
      {"a folder that still holds a file stays",
       {},
       {},
       {},
       {"sub/b.html"},
       {"www/", "www/a.html", "www/sub/", "www/sub/c.html", "www/keep/", "www/keep/b.html", "www/foreign.html"},
       {"Deleted => /www/sub/b.html"}},
      {"off by default", {{"DeleteRemoved", "False"}}, {}, {}, three, untouched, {}},
      {"more than DeleteLimit: nothing, and the run fails",
       {{"DeleteLimit", "2"}},
       {},
       {},
       three,
       untouched,
       {"[Error]Deletion refused: 3 uploaded files are gone locally, more than DeleteLimit=2"},
       1},
      {"DeleteLimit=0 sets no limit",
       {{"DeleteLimit", "0"}},
       {},
       {},
       three,
       kept,
       {"Deleted => /www/a.html", "Deleted => /www/sub/b.html", "Deleted => /www/sub/c.html"}},
      {"DeleteTo moves them below the same relative path",
       {{"DeleteTo", "/attic"}},
       {},
       {},
       {"a.html", "sub/b.html"},
       {"www/", "www/sub/", "www/sub/c.html", "www/keep/", "www/keep/b.html", "www/foreign.html", "attic/",
        "attic/a.html", "attic/sub/", "attic/sub/b.html"},
       {"Deleted => /www/a.html (moved to /attic/a.html)", "Deleted => /www/sub/b.html (moved to /attic/sub/b.html)"}},
      {"a refused deletion fails and keeps the file",
       {},
       {},
       Answering("DELE#2=550 Permission denied."),
       {"a.html", "sub/b.html"},
       {"www/", "www/sub/", "www/sub/b.html", "www/sub/c.html", "www/keep/", "www/keep/b.html", "www/foreign.html"},
       {"Deleted => /www/a.html", "[Error]Delete file failure (/www/sub/b.html)"},
       1,
       1},
      {"a file already gone from the server counts as deleted",
       {},
       {},
       Answering("DELE=550 No such file."),
       {"sub/b.html"},
       {"www/", "www/a.html", "www/sub/", "www/sub/c.html", "www/keep/", "www/keep/b.html", "www/foreign.html"},
       {"Deleted => /www/sub/b.html"},
       0,
       0,
       "",
       "www/sub/b.html"},
      {"a dry run says what it would delete",
       {},
       {{"DryRun", "True"}},
       {},
       {"a.html"},
       untouched,
       {"Would delete /www/a.html"},
       0,
       1},
      {"a file from outside the listed folder stays",
       {},
       {},
       {},
       {"a.html"},
       untouched,
       {},
       0,
       0,
       "sub/"},
      {"files adopted with NoUpload stay",
       {{"NoUpload", "True"}},
       {{"NoUpload", "False"}},
       {},
       three,
       {"www/", "www/foreign.html"},
       {}},
      {"a source that lists nothing deletes nothing",
       {},
       {},
       {},
       {"a.html", "sub/b.html", "sub/c.html", "keep/b.html"},
       untouched,
       {}},
      {"a server file another local file still goes to stays",
       {{"KeepTargetSubdirs", "False"}},
       {},
       {},
       three,
       {"www/", "www/b.html", "www/foreign.html"},
       {"Deleted => /www/a.html", "Deleted => /www/c.html"}},
      {"a server file the run itself uploaded from another local file stays",
       {{"KeepTargetSubdirs", "False"}},
       {},
       {},
       {"a.html"},
       {"www/", "www/a.html", "www/b.html", "www/c.html", "www/foreign.html"},
       {"/www/a.html"},
       0,
       0,
       "",
       "",
       {"new/a.html"}},
      {.name = "a file whose place a folder took goes before the folder's files go up",
       .removed = {"a.html"},
       .on_server = {"www/", "www/a.html/", "www/a.html/x.html", "www/sub/", "www/sub/b.html", "www/sub/c.html",
                     "www/keep/", "www/keep/b.html", "www/foreign.html"},
       .results = {"Deleted => /www/a.html", "/www/a.html/x.html"},
       .added = {"a.html/x.html"}},
      {.name = "... moved to DeleteTo as any deleted file",
       .options = {{"DeleteTo", "/attic"}},
       .removed = {"a.html"},
       .on_server = {"www/", "www/a.html/", "www/a.html/x.html", "www/sub/", "www/sub/b.html", "www/sub/c.html",
                     "www/keep/", "www/keep/b.html", "www/foreign.html", "attic/", "attic/a.html"},
       .results = {"Deleted => /www/a.html (moved to /attic/a.html)", "/www/a.html/x.html"},
       .added = {"a.html/x.html"}},
      {.name = "... and without DeleteRemoved stays, the failure naming it",
       .second_run_options = {{"DeleteRemoved", "False"}},
       .removed = {"a.html"},
       .on_server = untouched,
       .results = {"[Error]Upload file failure (a file a.html is in the way of folder a.html/; "
                   "DeleteRemoved=True replaces it)",
                   "[Error]Upload file failure (a file a.html is in the way of folder a.html/; "
                   "DeleteRemoved=True replaces it)"},
       .failed = 2,
       .added = {"a.html/x.html", "a.html/y.html"}},
      {.name = "a folder whose place a file took goes, and the file follows the next run",
       .removed = {"sub/b.html", "sub/c.html", "sub"},
       .on_server = {"www/", "www/a.html", "www/keep/", "www/keep/b.html", "www/foreign.html"},
       .results = {"Deleted => /www/sub/b.html", "Deleted => /www/sub/c.html", "[Error]Upload file failure"},
       .failed = 1,
       .added = {"sub"}},
      {.name = "nothing below a folder the run could not list",
       .removed = {"sub/b.html"},
       .on_server = untouched,
       .deleted_next = 1,  // by root, who lists every folder
       .unlistable = "sub"},
      {.name = "a DeleteTo inside Target refuses every file, whoever started the run",
       .second_run_options = {{"DeleteTo", "/www/attic"}},
       .removed = {"a.html"},
       .on_server = untouched,
       .failed = 3},
      {"names like options, home folders, comments, or ending in a blank go too",
       {},
       {},
       {},
       {"-a.html", "~a.html", "#a.html", "sub/a.html ", "sub/-b/#c.html"},
       untouched,
       {"Deleted => /www/-a.html", "Deleted => /www/~a.html", "Deleted => /www/#a.html", "Deleted => /www/sub/a.html ",
        "Deleted => /www/sub/-b/#c.html"},
       0,
       0,
       "",
       "",
       {},
       {"-a.html", "~a.html", "#a.html", "sub/a.html ", "sub/-b/#c.html"}},
  };
  for (const RemovalRow& row : rows) {
    SCOPED_TRACE(row.name);
    FtpServer server(FtpServer::Kind::kPyftpdlib, row.faults);
    DROPVAN_REQUIRE_FTP_SERVER(server);
    TempDir site;
    for (const char* name : {"a.html", "sub/b.html", "sub/c.html", "keep/b.html"}) site.Write(name, name);
    for (const std::string& name : row.also_in_site) site.Write(name, name);
    fs::create_directories(server.root() / "www");
    std::ofstream(server.root() / "www" / "foreign.html") << "not ours";
    SyncProject project(&server);
    project.Set("DeleteRemoved", "True");
    for (const auto& [key, value] : row.options) project.Set(key, value);
    ASSERT_EQ(0, project.RunFolder(site.dir(), "/www/").failed);

    for (const std::string& name : row.removed) fs::remove(site.path() / name);
    for (const std::string& name : row.added) site.Write(name, "new " + name);
    if (!row.gone_from_server.empty()) fs::remove(server.root() / row.gone_from_server);
    const std::string source = site.dir() + row.second_source;
    auto run = [&] {
      if (row.unlistable.empty()) return project.RunFolder(source, "/www/");
      testing_support::LetOrdinaryUserIn(site.path());
      fs::permissions(site.path() / row.unlistable, fs::perms::owner_exec | fs::perms::others_exec);
      const RunResult as_user = RunAsOrdinaryUser(project, source);
      fs::permissions(site.path() / row.unlistable, fs::perms::owner_all);
      return as_user;
    };
    for (const auto& [key, value] : row.second_run_options) project.Set(key, value);
    const std::string dry_run = project.project().GetOption("DryRun");
    project.Set("DryRun", "True");
    const RunResult dry = run();
    project.Set("DryRun", dry_run);
    const RunResult second = run();
    EXPECT_EQ(Deletions(second), Deletions(dry)) << "a dry run shows what a run deletes, and nothing else";

    EXPECT_EQ(row.on_server, EntriesBelow(server.root()));
    std::vector<std::string> results;
    for (const std::string& item : row.removed) results.push_back(site.dir() + item);
    for (const std::string& item : row.added) {
      if (std::find(row.removed.begin(), row.removed.end(), item) == row.removed.end()) results.push_back(site.dir() + item);
    }
    results.push_back(site.dir());  // a refusal's item
    std::erase_if(results, [&](const std::string& item) { return second.items.count(item) == 0; });
    for (std::string& item : results) item = second[item].text;
    EXPECT_EQ(row.results, results);
    EXPECT_EQ(row.failed, second.failed);

    // A deleted file left the record; a failed or shown one did not.
    project.Set("DryRun", "False");
    int deleted_next = 0;
    for (const auto& [path, item] : project.RunFolder(source, "/www/").items) {
      deleted_next += item.text.starts_with("Deleted => ");
      EXPECT_FALSE(item.text.starts_with("[Error]Delete file failure")) << "deleted twice: " << path;
    }
    EXPECT_EQ(row.deleted_next, deleted_next);
  }
}

// Names like options, home folders or comments, or ending in a blank, are
// files like any other: found unchanged while they stay, deleted when gone.
TEST(RemovalTest, OverSftpTheFilesAndTheFolderTheyLeaveEmptyGo) {
  testing_support::SshServer server;
  DROPVAN_REQUIRE_SSH_SERVER(server);
  TempDir site;
  const std::vector<std::string> odd = {"-a.html", "~a.html", "#a.html", "a.html "};
  for (const char* name : {"a.html", "sub/b.html", "keep/b.html"}) site.Write(name, name);
  for (const std::string& name : odd) site.Write(name, name), site.Write("keep/" + name, name);
  SyncProject project;
  project.UseSftp(server);
  project.Set("DeleteRemoved", "True");
  const fs::path www = server.root() / "www";
  ASSERT_EQ(0, project.RunFolder(site.dir(), www.string() + "/").failed);
  fs::remove(site.path() / "a.html");
  fs::remove(site.path() / "sub/b.html");
  for (const std::string& name : odd) fs::remove(site.path() / name);
  const RunResult second = project.RunFolder(site.dir(), www.string() + "/");
  EXPECT_EQ(0, second.failed);
  for (const std::string& name : odd) {
    EXPECT_EQ(second[site.dir() + name].text, "Deleted => " + (www / name).string());
    EXPECT_EQ(second[site.dir() + "keep/" + name].text, "File identical.") << name;
  }
  EXPECT_EQ((std::set<std::string>{"keep/", "keep/b.html", "keep/-a.html", "keep/~a.html", "keep/#a.html",
                                   "keep/a.html "}),
            EntriesBelow(www));
}

}  // namespace
