// The stat record's file and index: every entry kept is found again after a
// save and a load, whatever their number, unless its file left the record; a
// cut file loses only its cut entry.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>

#include "project/output_buffer.h"
#include "support/temp_dir.h"
#include "sync/file_stat.h"
#include "sync/md5.h"
#include "sync/stat_record.h"

namespace {

std::string Hex(size_t number) { return TrkMD5().DigestHex(std::to_string(number)); }

TrkFileStat StatOf(size_t number) {
  const auto value = static_cast<int64_t>(number);
  return {value, value + 1, value + 2, number + 3, number + 4, value + 3'000'000'000};
}

TEST(StatRecordTest, EntriesSurviveASaveAndALoadWhateverTheirNumber) {
  const struct Row {
    // The last `removed` are removed, the first `unrecorded` left the record;
    // the file loses `cut_bytes`.
    size_t entries, removed, unrecorded, cut_bytes;
  } rows[] = {{0, 0, 0, 0},    {1, 0, 0, 0},    {9, 0, 0, 0},
              {3000, 7, 0, 0}, {3000, 0, 1, 1}, {40, 0, 0, TrkStatRecord::kEntryBytes}, {40, 0, 40, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.entries << " entries, " << row.removed << " removed, " << row.unrecorded
                                    << " unrecorded, " << row.cut_bytes << " bytes cut");
    TrkStatRecord kept;
    for (size_t i = 0; i < row.entries; ++i) kept.Put(Hex(i), Hex(i + 1), StatOf(i));
    for (size_t i = row.entries - row.removed; i < row.entries; ++i) kept.Remove(Hex(i));
    std::set<std::string> unrecorded;
    for (size_t i = 0; i < row.unrecorded; ++i) unrecorded.insert(Hex(i));
    std::string bytes;
    TrkOutputBuffer out([&bytes](std::string_view piece) { bytes += piece; });
    kept.Write(out, [&](const TrkStatRecord::Digest& key) { return !unrecorded.contains(TrkMD5::HexOf(key.data())); });
    out.Flush();
    TrkStatRecord loaded;
    loaded.Assign(std::string_view(bytes).substr(0, bytes.size() - row.cut_bytes));
    const size_t end = row.entries - row.removed - (row.cut_bytes > 0 ? 1 : 0);
    EXPECT_EQ(loaded.Count(), end - std::min(end, row.unrecorded));
    for (size_t i = 0; i < row.entries; ++i) {
      EXPECT_EQ(kept.Unchanged(Hex(i), Hex(i + 1), StatOf(i)), i < row.entries - row.removed) << i;
      EXPECT_EQ(loaded.Unchanged(Hex(i), Hex(i + 1), StatOf(i)), i >= row.unrecorded && i < end) << i;
    }
  }
}

TEST(FileStatWatchTest, AReadKeepsItsStatDataOnlyWhenTheFileWasTheSameAtBothEnds) {
  const struct Row {
    const char* name;
    bool written_meanwhile;
    bool ended;
    bool kept;
  } rows[] = {{"unchanged", false, true, true}, {"written during the read", true, true, false},
              {"a read that never ended", false, false, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testing_support::TempDir dir;
    const std::string path = dir.Write("page.html", "bytes");
    const int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    TrkFileStatWatch watch;
    struct stat info;
    ASSERT_EQ(fstat(fd, &info), 0);
    watch.Seen(info);
    if (row.written_meanwhile) {
      EXPECT_EQ(1, pwrite(fd, "x", 1, 5));
    }
    if (row.ended && fstat(fd, &info) == 0) watch.Seen(info);
    close(fd);
    EXPECT_EQ(row.kept, watch.Result().has_value());
  }
}

}  // namespace
