// The progress line's text, as the console and the window show it.

#include "report/progress.h"

#include <gtest/gtest.h>

#include "batch/batch.h"
#include "project/project.h"

namespace {

using std::chrono::seconds;

TEST(ProgressTest, TextSaysOnlyWhatIsKnown) {
  struct Row {
    TrkProgressFigures figures;
    const char* text;
  } rows[] = {
      {{0, false, 0, 0, 0, seconds(0)}, "0 of 0+ files"},
      {{40, false, 10, 0, 0, seconds(5)}, "10 of 40+ files"},                         // still listing: no guess
      {{40, true, 10, 1, 0, seconds(5)}, "10 of 40 files, 1 failed, 0:15 left"},      // the rest at the same pace
      {{40, true, 10, 0, 3 << 20, seconds(2)}, "10 of 40 files, 3.0 MiB sent at 1.5 MiB/s, 0:06 left"},
      {{40, true, 10, 0, 512, seconds(0)}, "10 of 40 files, 512 B sent"},             // no rate within a second
      {{5, true, 3, 0, 1024, seconds(1)}, "3 of 5 files, 1.0 KiB sent at 1.0 KiB/s, 0:01 left"},  // 0.67 s
      {{2, true, 1, 0, 0, seconds(3600)}, "1 of 2 files, 1:00:00 left"},
      {{4, true, 4, 0, 0, seconds(9)}, "4 of 4 files"},                               // nothing left
      {{7201, true, 1, 0, 0, seconds(2)}, "1 of 7201 files, 4:00:00 left"},
  };
  for (const Row& row : rows) EXPECT_EQ(TrkProgressText(row.figures), row.text);
}

// A failed file is done as well: the time left must not wait for it.
TEST(ProgressTest, FiguresOfABatchCountFailedFilesAsDone) {
  TrkProject project("");
  std::shared_ptr<TrkBatch> batch = TrkBatch::Create(project, nullptr);
  batch->MarkSearchDone();
  batch->RecordSuccess();
  batch->RecordFailure("[Error]x");
  batch->AddBytesSent(2048);
  const TrkProgressFigures figures = TrkProgressOf(*batch, std::chrono::steady_clock::now());
  EXPECT_TRUE(figures.listing_done);
  EXPECT_EQ(figures.done, 2);
  EXPECT_EQ(figures.failed, 1);
  EXPECT_EQ(figures.bytes_sent, 2048u);
}

TEST(ProgressTest, ByteSizesUseBinaryUnits) {
  EXPECT_EQ(TrkByteSize(1023), "1023 B");
  EXPECT_EQ(TrkByteSize(1024), "1.0 KiB");
  EXPECT_EQ(TrkByteSize(1536ull << 20), "1.5 GiB");
  EXPECT_EQ(TrkByteSize(5ull << 50), "5120.0 TiB");
}

}  // namespace
