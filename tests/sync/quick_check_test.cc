// Option "QuickCheck": a recorded file whose stat data are those kept when its
// bytes were last read is not opened at all; a change that could hide from a
// quick look, and any doubt about the kept data, makes it read.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "dropvan_run.h"
#include "project/output_buffer.h"
#include "record/stat_file.h"

namespace {

namespace fs = std::filesystem;
using dropvan_testing::RunResult;
using dropvan_testing::SyncProject;
using testing_support::FtpServer;
using testing_support::TempDir;
using Names = std::set<std::string>;

// The files of one folder opened while it is watched, as the kernel tells.
class OpenWatch {
 public:
  explicit OpenWatch(const std::string& folder) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    inotify_add_watch(fd_, folder.c_str(), IN_OPEN);
  }
  ~OpenWatch() { close(fd_); }
  Names Opened() const {
    Names names;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = read(fd_, buffer, sizeof buffer)) > 0;) {
      for (char* at = buffer; at < buffer + n;) {
        const auto* event = reinterpret_cast<inotify_event*>(at);
        if (event->len > 0) names.insert(event->name);  // none: the folder itself, listed
        at += sizeof(inotify_event) + event->len;
      }
    }
    return names;
  }

 private:
  int fd_;
};

struct Site {
  SyncProject& project;
  TempDir& source;
  std::string Path(const std::string& name) const { return source.dir() + name; }
};

// Same size, same modification time: only the change time, the bytes and,
// when renamed over it from a new file, the inode tell.
void Rewrite(const Site& site, const std::string& name, const std::string& content, bool rename = false) {
  const auto time = fs::last_write_time(site.Path(name));
  const std::string written = site.source.Write(rename ? "new.tmp" : name, content);
  fs::last_write_time(written, time);
  fs::rename(written, site.Path(name));
}

// Gives `name`'s record line the digest `digest`, or takes it out when empty.
void EditRecord(const Site& site, const std::string& name, const std::string& digest) {
  std::string text = ReadFileBytes(site.project.RecordFile());
  const std::string key = dropvan_testing::Md5(trk_platform::PathKeyText(site.Path(name)));
  const size_t at = text.find(key + "=");
  text.replace(digest.empty() ? at : at + key.size() + 1, digest.empty() ? key.size() + 35 : 32, digest);
  ReplaceFile(site.project.RecordFile(), text);
}

std::string StatFile(const Site& site) { return site.project.RecordFile() + ".stat"; }

// The kept stat data as if taken within the timestamp granularity after each
// file's last write: a write in that same timestamp would not have shown.
void TakeStatsRightAfterTheWrites(const Site& site) {
  const std::string bytes = ReadFileBytes(StatFile(site));
  ReplaceFile(StatFile(site), TrkOutputBuffer::Collect([&bytes](TrkOutputBuffer& out) {
                out.Append(trk_stat_file::kHeader);
                trk_stat_file::ForEach(bytes, [&out](trk_stat_file::Entry entry) {
                  entry.stat.taken_ns = entry.stat.mtime_ns + TrkFileStat::kGranularityNs / 2;
                  trk_stat_file::Append(out, entry);
                });
              }));
}

struct Row {
  const char* name;
  std::function<void(const Site&)> change;  // between the recording run and the one checked
  Names opened;                             // by the checked run
  Names changed;                            // uploaded again (or would be, in a dry run)
  std::vector<std::pair<std::string, std::string>> options = {};
  bool fresh = false;    // a.txt modified (as its time says) no earlier than it is recorded
  bool settled = true;   // a run after the checked one opens nothing
  bool stats_kept = false;  // the checked run leaves the stat file as it was
};

TEST(QuickCheckTest, ChangedOrDoubtfulFilesAreReadAndOnlyThose) {
  const std::vector<Row> rows = {
      {"nothing changed", [](const Site&) {}, {}, {}, {}, false, true, true},
      {"content changed at the same size, time put back",
       [](const Site& s) { Rewrite(s, "a.txt", "ALPHA content"); }, {"a.txt"}, {"a.txt"}},
      {"replaced by a file of the same size and time (renamed over it)",
       [](const Site& s) { Rewrite(s, "a.txt", "ALPHA content", true); }, {"a.txt"}, {"a.txt"}},
      {"modified as late as it was recorded (or later: a clock ahead)", [](const Site&) {}, {"a.txt"}, {}, {}, true, false},
      {"stat data taken within the timestamp granularity after the last write", TakeStatsRightAfterTheWrites,
       {"a.txt", "b.txt"}, {}},
      {"stat file missing", [](const Site& s) { fs::remove(StatFile(s)); }, {"a.txt", "b.txt"}, {}},
      {"stat file cut short", [](const Site& s) { fs::resize_file(StatFile(s), 8 + 40); }, {"a.txt", "b.txt"}, {}},
      {"stat file of another version",
       [](const Site& s) { ReplaceFile(StatFile(s), "DVSTAT2\n" + ReadFileBytes(StatFile(s)).substr(8)); },
       {"a.txt", "b.txt"}, {}},
      {"record's digest not the one kept (record from elsewhere)",
       [](const Site& s) { EditRecord(s, "a.txt", dropvan_testing::Md5("other")); }, {"a.txt"}, {"a.txt"}},
      {"record line gone", [](const Site& s) { EditRecord(s, "a.txt", ""); }, {"a.txt"}, {"a.txt"}},
      {"QuickCheck off", [](const Site&) {}, {"a.txt", "b.txt"}, {}, {{"QuickCheck", "False"}}, false, false, true},
      {"IsSyncAll", [](const Site&) {}, {"a.txt", "b.txt"}, {"a.txt", "b.txt"}, {{"IsSyncAll", "True"}}, false, false},
      {"IsSyncAll without uploads", [](const Site&) {}, {"a.txt", "b.txt"}, {"a.txt", "b.txt"},
       {{"IsSyncAll", "True"}, {"NoUpload", "True"}}, false, false},
      {"dry run, nothing changed", [](const Site&) {}, {}, {}, {{"DryRun", "True"}}},
      {"dry run, content changed", [](const Site& s) { Rewrite(s, "a.txt", "ALPHA content"); }, {"a.txt"}, {"a.txt"},
       {{"DryRun", "True"}}, false, false},
  };
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  int number = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SyncProject project(&server);
    TempDir source;
    const Site site{project, source};
    const std::string target = "/row" + std::to_string(++number) + "/";
    for (const char* name : {"a.txt", "b.txt"}) {
      source.Write(name, std::string(name) + " content");
      // Out of the racy window, so that only a row's change makes it read.
      const bool fresh = row.fresh && name == std::string("a.txt");
      fs::last_write_time(site.Path(name), fs::file_time_type::clock::now() + std::chrono::seconds(fresh ? 5 : -10));
    }
    ASSERT_EQ(project.RunFolder(source.dir(), target).succeeded, 2);
    row.change(site);
    for (const auto& [key, value] : row.options) project.Set(key, value);
    const OpenWatch watch(source.dir());
    struct stat before {};
    ::stat(StatFile(site).c_str(), &before);
    const RunResult run = project.RunFolder(source.dir(), target);
    EXPECT_EQ(watch.Opened(), row.opened);
    struct stat after {};
    ::stat(StatFile(site).c_str(), &after);
    if (row.stats_kept) {
      EXPECT_EQ(after.st_ino, before.st_ino) << "the stat file was written again";
    }
    const bool dry = project.project().Options().GetBool("DryRun", false);
    for (const char* name : {"a.txt", "b.txt"}) {
      const std::string content = source.Read(name);
      const bool changed = row.changed.count(name) > 0;
      EXPECT_EQ(run[site.Path(name)].text,
                changed ? (dry ? "Would upload to " : "") + target + name : "File identical.") << name;
      if (dry) continue;
      EXPECT_EQ(ReadFileBytes((server.root() / target.substr(1) / name).string()), content) << name;
      const std::vector<std::string> lines = project.RecordLines();
      EXPECT_NE(std::find(lines.begin(), lines.end(), dropvan_testing::RecordLine(site.Path(name), content)),
                lines.end()) << name;
    }
    if (!row.settled) continue;
    const OpenWatch again(source.dir());
    project.RunFolder(source.dir(), target);
    EXPECT_EQ(again.Opened(), Names{}) << "the run after the change";
  }
}

}  // namespace
