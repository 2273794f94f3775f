// The stat data kept beside the record's lines: every one kept is found again
// after a save and a load, whatever their number, unless its line left the
// record or took another digest; a cut file loses only its cut entry.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "project/output_buffer.h"
#include "project/text_file.h"
#include "support/temp_dir.h"
#include "record/file_stat.h"
#include "digest/md5.h"
#include "record/stat_file.h"
#include "record/upload_record.h"

namespace {

std::string Hex(size_t number) { return TrkMD5().DigestHex(std::to_string(number)); }

TrkFileStat StatOf(size_t number) {
  const auto value = static_cast<int64_t>(number);
  return {value, value + 1, value + 2, number + 3, number + 4, value + 3'000'000'000};
}

TEST(RecordStatsTest, StatDataSurviveASaveAndALoadWhileTheirDigestIsTheRecords) {
  const struct Row {
    // The last `removed` lines are removed, the first `revalued` take another
    // digest after their stat data were kept; the file loses `cut_bytes`.
    size_t entries, removed, revalued, cut_bytes;
  } rows[] = {{0, 0, 0, 0},    {1, 0, 0, 0},    {9, 0, 0, 0},
              {3000, 7, 0, 0}, {3000, 0, 5, 1}, {40, 0, 0, trk_stat_file::kEntryBytes}, {40, 0, 40, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.entries << " entries, " << row.removed << " removed, " << row.revalued
                                    << " revalued, " << row.cut_bytes << " bytes cut");
    TrkUploadRecord kept;
    for (size_t i = 0; i < row.entries; ++i) {
      kept.Put(Hex(i), Hex(i + 1));
      EXPECT_FALSE(kept.PutStat(Hex(i), Hex(i + 2), StatOf(i))) << "kept only beside the line's own digest";
      EXPECT_TRUE(kept.PutStat(Hex(i), Hex(i + 1), StatOf(i)));
      kept.Put(Hex(i), Hex(i + 1));  // the same digest again keeps them
    }
    for (size_t i = row.entries - row.removed; i < row.entries; ++i) kept.Remove(Hex(i));
    for (size_t i = 0; i < row.revalued; ++i) kept.Put(Hex(i), Hex(i + 2));
    const std::string bytes = TrkOutputBuffer::Collect([&kept](TrkOutputBuffer& out) { kept.WriteStats(out); });
    const std::string text = kept.Text();
    TrkUploadRecord loaded;
    loaded.Assign(SplitLineViews(text));
    loaded.AssignStats(std::string_view(bytes).substr(0, bytes.size() - row.cut_bytes));
    const size_t end = row.entries - row.removed - (row.cut_bytes > 0 ? 1 : 0);
    EXPECT_EQ(kept.StatCount(), row.entries - row.removed - std::min(row.entries - row.removed, row.revalued));
    EXPECT_EQ(loaded.StatCount(), end - std::min(end, row.revalued));
    for (size_t i = 0; i < row.entries; ++i) {
      const std::string digest = Hex(i < row.revalued ? i + 2 : i + 1);
      EXPECT_EQ(kept.Unchanged(Hex(i), digest, StatOf(i)), i >= row.revalued && i < row.entries - row.removed) << i;
      EXPECT_EQ(loaded.Unchanged(Hex(i), digest, StatOf(i)), i >= row.revalued && i < end) << i;
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
