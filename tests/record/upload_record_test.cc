#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "project/error.h"
#include "project/output_buffer.h"
#include "project/text_file.h"
#include "project/whole_file.h"
#include "support/temp_dir.h"
#include "record/upload_store.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;

const std::string kKey(32, 'A');
const std::string kOtherKey(32, 'B');

// ---- The record's lines and index ----------------------------------------------

TEST(UploadRecordTest, FindUsesTheFirstLineWithTheNameInAnyCase) {
  TrkUploadRecord record;
  record.Assign({"; comment", "", "aaaa=first", "AAAA=second", "no equals sign", "=empty name"});
  EXPECT_EQ(record.Find("AAAA"), "first");
  EXPECT_EQ(record.Find("aAaA"), "first");
  EXPECT_EQ(record.Find("no equals sign"), "") << "a line without \"=\" has no name";
  EXPECT_EQ(record.Find("BBBB"), "");
}

TEST(UploadRecordTest, PutRewritesTheMatchingLineInPlaceOrAppends) {
  TrkUploadRecord record;
  record.Assign({"# kept", "aaaa=old", "AAAA=shadowed", "x"});
  record.Put("AAAA", "new");
  record.Put("CCCC", "added");
  std::vector<std::string> expected = {"# kept", "AAAA=new", "AAAA=shadowed", "x", "CCCC=added"};
  EXPECT_EQ(record.Lines(), expected);
  EXPECT_EQ(record.Find("cccc"), "added");
  record.Put("cccc", "again");
  EXPECT_EQ(record.Lines().back(), "cccc=again");
  EXPECT_EQ(record.Lines().size(), 5u);
}

// Has answers as Find does without making the value: a name whose value is
// empty or whose line was removed is not recorded.
TEST(UploadRecordTest, HasAgreesWithFind) {
  const std::string digits(32, '1'), lower(32, 'c');
  TrkUploadRecord record;
  record.Assign({kKey + "=" + digits, "name=value", "empty=", lower + "=", kOtherKey + "=" + digits});
  record.Remove(kOtherKey);
  const struct Row {
    std::string name;
    bool recorded;
  } rows[] = {{kKey, true},  {"NAME", true}, {"empty", false}, {std::string(32, 'C'), false},
              {kOtherKey, false}, {"absent", false},
              // kKey's first nine bytes, so the table looks for it where kKey is.
              {std::string(18, 'A') + std::string(14, 'B'), false}};
  for (const Row& row : rows) {
    EXPECT_EQ(record.Has(row.name), row.recorded) << row.name;
    EXPECT_EQ(!record.Find(row.name).empty(), row.recorded) << row.name;
    std::array<uint8_t, 16> bytes;
    if (row.name.size() != 32) continue;
    for (size_t i = 0; i < 16; ++i) bytes[i] = static_cast<uint8_t>(std::stoi(row.name.substr(2 * i, 2), nullptr, 16));
    EXPECT_EQ(record.HasDigestName(bytes), row.recorded) << row.name;
  }
}

TEST(UploadRecordTest, ValueKeepsEverythingAfterTheFirstEquals) {
  TrkUploadRecord record;
  record.Assign({"k=a=b"});
  EXPECT_EQ(record.Find("K"), "a=b");
}

// Digest lines are kept in a compact form; every other spelling must still come
// back byte for byte and be found by any spelling of its name.
TEST(UploadRecordTest, DigestLinesInAnySpellingComeBackExactly) {
  const std::string lower(32, 'a'), upper(32, 'A'), digits(32, '1');
  TrkUploadRecord record;
  record.Assign({lower + "=" + digits, upper + "=" + lower, kOtherKey + "=" + digits, kOtherKey + "=shadowed"});
  EXPECT_EQ(record.Find(upper), digits) << "a lower-case name is found by its upper-case spelling";
  EXPECT_EQ(record.Find(kOtherKey), digits);
  struct Step {
    std::string key, value, want_line;
    size_t at;
  } steps[] = {
      {upper, "not a digest", upper + "=not a digest", 0},  // the first line of the name is rewritten
      {upper, digits, upper + "=" + digits, 0},              // back to a digest
      {lower, lower, lower + "=" + lower, 0},                // lower-case digits stay as written
      {std::string(31, 'C') + "g", digits, std::string(31, 'C') + "g=" + digits, 4},  // no digest: appended
      {std::string(32, 'c'), digits, std::string(32, 'c') + "=" + digits, 5},
      {std::string(32, 'C'), upper, std::string(32, 'C') + "=" + upper, 5},
  };
  for (const Step& step : steps) {
    record.Put(step.key, step.value);
    const std::vector<std::string> lines = record.Lines();
    ASSERT_GT(lines.size(), step.at);
    EXPECT_EQ(lines[step.at], step.want_line) << "after Put(" << step.key << ", " << step.value << ")";
    EXPECT_EQ(record.Find(step.key), step.value);
  }
  EXPECT_EQ(record.Lines()[1], upper + "=" + lower) << "a shadowed line is never touched";
  EXPECT_EQ(record.Lines()[3], kOtherKey + "=shadowed");
  EXPECT_EQ(record.Text(), JoinLines(record.Lines()));
}

// ---- Loading and saving ----------------------------------------------------------

class UploadStoreTest : public ::testing::Test {
 protected:
  TempDir folder;
  std::string project = (folder.path() / "site.batch-dropvan").string();
  std::string record_file = project + ".ini";
  TrkUploadStore& store = TrkUploadStore::Process();
};

TEST_F(UploadStoreTest, MissingRecordStartsEmptyWithoutABackup) {
  store.Load(project);
  EXPECT_TRUE(store.Refusal().empty());
  EXPECT_TRUE(store.UploadRecord.Lines().empty());
  EXPECT_FALSE(fs::exists(project + ".ini.old"));
}

TEST_F(UploadStoreTest, LoadReadsEveryLineEndAndBacksUpByteForByte) {
  const std::string bytes = "one=1\r\ntwo=2\nthree=3\rfour=4";
  std::ofstream(record_file, std::ios::binary) << bytes;
  std::vector<std::string> expected = {"one=1", "two=2", "three=3", "four=4"};
  for (const std::string& older : {std::string("an older backup that is much longer"), std::string(bytes.size(), '=')}) {
    std::ofstream(project + ".ini.old", std::ios::binary) << older;
    store.Load(project);
    EXPECT_EQ(store.UploadRecord.Lines(), expected);
    EXPECT_EQ(ReadFileBytes(project + ".ini.old"), bytes) << "over " << older;
  }
  // A backup that holds the record already is left as it is, not written again.
  const auto inode = [&] {
    struct stat info {};
    EXPECT_EQ(stat((project + ".ini.old").c_str(), &info), 0);
    return info.st_ino;
  };
  const auto before = inode();
  store.Load(project);
  EXPECT_EQ(inode(), before);
}

TEST_F(UploadStoreTest, LoadStartsANewUploadList) {
  store.Load(project);
  store.Recorded(kKey, "D1", "/src/a");
  store.Flush();
  store.Load(project);
  EXPECT_TRUE(store.UploadList.Lines().empty());
  EXPECT_EQ(store.Find(kKey), "D1");
  EXPECT_EQ(SplitLines(ReadFileBytes(project + ".log")), std::vector<std::string>{"/src/a"})
      << "the list file keeps the earlier run's list until the next save";
}

TEST_F(UploadStoreTest, SavesAreSpacedOutAndFlushWritesTheRest) {
  store.Load(project);
  for (int i = 0; i < 50; ++i) store.Recorded(std::to_string(1000 + i), "D", "/src/" + std::to_string(i));
  // The first record is saved at once, most of the burst after it is not.
  std::vector<std::string> on_disk = SplitLines(ReadFileBytes(record_file));
  EXPECT_GE(on_disk.size(), 1u);
  EXPECT_LT(on_disk.size(), 50u);
  store.Flush();
  EXPECT_EQ(SplitLines(ReadFileBytes(record_file)), store.UploadRecord.Lines());
  EXPECT_EQ(SplitLines(ReadFileBytes(project + ".log")), store.UploadList.Lines());
  EXPECT_EQ(store.UploadList.Lines().size(), 50u);
}

// A save whose bytes cannot all be produced (a list kept aside that cannot be
// read back) leaves its file as it was, with no temporary file beside it.
TEST(ReplaceFileFromTest, AWriterThatFailsPartWayLeavesTheFileAsItWas) {
  TempDir dir;
  const std::string file = dir.Write("project.batch-dropvan.ini", "before\r\n");
  auto fail_half_way = [](const TrkBytesSink& sink) {
    sink("half");
    throw TrkError("cut short");
  };
  EXPECT_THROW(ReplaceFileFrom(file, fail_half_way), TrkError);
  EXPECT_EQ(ReadFileBytes(file), "before\r\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
}

// Writes fail once a file would grow beyond `limit` bytes, for the scope of
// the object. Works for root too, unlike permissions.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, SIG_IGN);  // a failing write() instead of a killed process
    rlimit lowered = saved_;
    lowered.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};

// A large run's list is kept aside in an unnamed file; what it hands on is the
// same whichever way it was kept, a full disk included, and nothing named is
// ever left behind.
TEST(UploadListTest, HandsOnEveryPathInOrderWhereverItKeepsThem) {
  TempDir dir;
  std::vector<std::string> paths;
  for (int i = 0; i < 300; ++i) paths.push_back("/src/" + std::string(i % 7 * 20, 'x') + std::to_string(i));
  const struct Row {
    const char* name;
    size_t spill_at;
    std::string folder;  // empty: kept in memory
    rlim_t room = 0;     // bytes a file may grow to (0: no limit)
  } rows[] = {{"in memory", TrkUploadList::kSpillAt, ""},
              {"aside at every line", 1, dir.dir()},
              {"aside in pieces of lines", 1000, dir.dir()},
              {"no folder to keep them in", 1, dir.dir() + "/missing"},
              {"aside until the disk is full", 1000, dir.dir(), 3000}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::optional<FileSizeLimit> full_disk;
    if (row.room > 0) full_disk.emplace(row.room);
    TrkUploadList list(row.spill_at);
    for (int run = 0; run < 2; ++run) {
      row.folder.empty() ? list.Clear() : list.Start(row.folder);
      for (const std::string& path : paths) list.Append(path);
      EXPECT_EQ(TrkOutputBuffer::Collect([&list](TrkOutputBuffer& out) { list.Write(out); }), JoinLines(paths))
          << "run " << run << ": only this run's paths";
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  }
}

TEST_F(UploadStoreTest, FailedWriteKeepsThePreviousFileAndTheLinesInMemory) {
  store.Load(project);
  store.Recorded(kKey, std::string(32, '1'), "/src/a");
  store.Flush();
  const std::string before = ReadFileBytes(record_file);
  for (int i = 0; i < 40; ++i) store.Recorded(std::to_string(i) + kOtherKey, std::string(32, '2'), "/src/b");
  {
    FileSizeLimit limit(before.size() + 100);
    store.Flush();
  }
  EXPECT_EQ(ReadFileBytes(record_file), before) << "a failed save must leave the previous record whole";
  for (const auto& entry : fs::directory_iterator(folder.path())) {
    EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << "stray " << entry.path();
  }
  store.Flush();  // still unsaved: the next save writes everything
  EXPECT_EQ(SplitLines(ReadFileBytes(record_file)).size(), 41u);
  EXPECT_EQ(SplitLines(ReadFileBytes(project + ".log")).size(), 41u);
}

TEST_F(UploadStoreTest, StatDataThatCannotBeWrittenLeaveTheRecordSavedAndSaySo) {
  fs::create_directories(project + ".ini.stat");  // cannot be replaced by a file
  store.Load(project);
  store.Recorded(kKey, std::string(32, '1'), "/src/a");
  store.Flush();
  EXPECT_EQ(SplitLines(ReadFileBytes(record_file)).size(), 1u);
  const std::string said = store.EndRun();
  EXPECT_NE(said.find("stat data"), std::string::npos) << said;
  EXPECT_EQ(said.find("uploaded again"), std::string::npos) << said;
}

TEST_F(UploadStoreTest, UnreadableRecordRefusesAndIsNeverWritten) {
  fs::create_directories(record_file);  // exists, cannot be read as a file
  store.Load(project);
  EXPECT_NE(store.Refusal().find(record_file), std::string::npos) << store.Refusal();
  store.Recorded(kKey, "D", "/src/a");
  store.Flush();
  EXPECT_TRUE(fs::is_directory(record_file));
  EXPECT_FALSE(fs::exists(project + ".log"));
  store.Load((folder.path() / "other").string());
  EXPECT_TRUE(store.Refusal().empty()) << "the next run starts afresh";
}

}  // namespace

namespace {

// What Load makes of a record file written for some destination, when the run
// goes to "ftp://u@h:21/www/".
TEST_F(UploadStoreTest, RecordOfAnotherDestinationStartsEmptyAndAnOldOneIsKept) {
  const std::string here = "ftp://u@h:21/www/";
  struct Row {
    const char* name;
    std::string on_disk;
    std::string found;  // what Find(kKey) gives after the load
  };
  const Row rows[] = {
      {"same destination", "Destination: " + here + "\r\n" + kKey + "=D\r\n", "D"},
      {"no destination line (an earlier version)", "; note\r\n" + kKey + "=D\r\n", "D"},
      {"other target", "Destination: ftp://u@h:21/old/\r\n; note\r\n" + kKey + "=D\r\n", ""},
      {"other server", "Destination: ftp://u@other:21/www/\r\n" + kKey + "=D\r\n", ""},
      {"this destination as an earlier version spelled it", "Destination: ftp://u@H:21/www/\r\n" + kKey + "=D\r\n",
       "D"},
  };
  for (const Row& row : rows) {
    std::ofstream(record_file, std::ios::binary | std::ios::trunc) << row.on_disk;
    store.Load(project, here, false, "ftp://u@H:21/www/");
    EXPECT_EQ(store.Find(kKey), row.found) << row.name;
    EXPECT_EQ(ReadFileBytes(record_file), row.on_disk) << row.name << ": a load alone writes nothing";
    store.Flush();
    EXPECT_TRUE(SplitLines(ReadFileBytes(record_file)).front().starts_with("Destination: "))
        << row.name << ": a run that records nothing leaves a record naming its destination";
    store.Recorded(kOtherKey, "E", "/src/b");
    store.Flush();
    const std::vector<std::string> before = SplitLines(row.on_disk);
    const std::vector<std::string> saved = SplitLines(ReadFileBytes(record_file));
    EXPECT_EQ(saved.front(), "Destination: " + here) << row.name;
    EXPECT_EQ(std::count(saved.begin(), saved.end(), "; note"), std::count(before.begin(), before.end(), "; note"))
        << row.name << ": lines of no entry stay";
  }
}

TEST_F(UploadStoreTest, LoadRemovesOnlyTheTemporariesOfAnInterruptedSave) {
  const std::vector<std::string> stale = {record_file + ".tmp4242-0", project + ".ini.old.tmp1-7",
                                          project + ".log.tmp99-3"};
  const std::vector<std::string> kept = {record_file + ".tmp-notes", project + ".tmp5-1",
                                         (folder.path() / "other.ini.tmp1-1").string()};
  for (const auto& name : stale) std::ofstream(name) << "half";
  for (const auto& name : kept) std::ofstream(name) << "mine";
  store.Load(project);
  for (const auto& name : stale) EXPECT_FALSE(fs::exists(name)) << name << " was left";
  for (const auto& name : kept) EXPECT_TRUE(fs::exists(name)) << name << " is not the record's";
}

TEST_F(UploadStoreTest, UploadListKeepsAPathWithALineBreakOnOneLine) {
  store.Load(project);
  store.Recorded(kKey, "D", "/src/a\nSuccess => forged");
  store.Flush();
  EXPECT_EQ(SplitLines(ReadFileBytes(project + ".log")), std::vector<std::string>{"/src/a\\nSuccess => forged"});
}

TEST_F(UploadStoreTest, PathsFileKeepsEachPathOneFieldOfOneLineAndReadsItBack) {
  const std::string local = "/src/a\tb\r\n100%", remote = "/www/a\tb\r\n100%";
  store.Load(project);
  store.Recorded(kKey, "D", local, remote);
  store.Flush();
  EXPECT_EQ(ReadFileBytes(TrkUploadStore::PathsFileName(project)),
            kKey + "\t/src/a%09b%0D%0A100%25\t/www/a%09b%0D%0A100%25\n");
  store.Load(project);
  const std::optional<TrkUploadPaths::Entry> entry = store.RecordedPath(kKey);
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->local, local);
  EXPECT_EQ(entry->remote, remote);
}

}  // namespace
