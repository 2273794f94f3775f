// The progress line's text, as the console and the window show it.

#include "report/progress.h"

#include <gtest/gtest.h>

#include "batch/batch.h"
#include "project/project.h"

namespace {

using std::chrono::seconds;

using Stage = TrkProgressFigures::Stage;

// Figures of a batch's first run, which did and sent all the batch did.
TrkProgressFigures First(int found, bool listing_done, int done, int failed, uint64_t bytes, seconds elapsed) {
  return {Stage::kRunning, found, listing_done, done, failed, bytes, done, bytes, elapsed};
}

// `figures` at `stage`, of a resumed run that finished `run_done` files and sent `run_bytes` of the batch's.
TrkProgressFigures Resumed(TrkProgressFigures figures, Stage stage, int run_done, uint64_t run_bytes) {
  figures.stage = stage;
  figures.run_done = run_done;
  figures.run_bytes = run_bytes;
  return figures;
}

TEST(ProgressTest, TextSaysOnlyWhatIsKnown) {
  struct Row {
    TrkProgressFigures figures;
    const char* text;
  } rows[] = {
      {First(0, false, 0, 0, 0, seconds(0)), "0 of 0+ files"},
      {First(40, false, 10, 0, 0, seconds(5)), "10 of 40+ files"},                         // still listing: no guess
      {First(40, true, 10, 1, 0, seconds(5)), "10 of 40 files, 1 failed, 0:15 left"},      // the rest at the same pace
      {First(40, true, 10, 0, 3 << 20, seconds(2)), "10 of 40 files, 3.0 MiB sent at 1.5 MiB/s, 0:06 left"},
      {First(40, true, 10, 0, 512, seconds(0)), "10 of 40 files, 512 B sent"},             // no rate within a second
      {First(5, true, 3, 0, 1024, seconds(1)), "3 of 5 files, 1.0 KiB sent at 1.0 KiB/s, 0:01 left"},  // 0.67 s
      {First(2, true, 1, 0, 0, seconds(3600)), "1 of 2 files, 1:00:00 left"},
      {First(4, true, 4, 0, 0, seconds(9)), "4 of 4 files"},                               // nothing left
      {First(7201, true, 1, 0, 0, seconds(2)), "1 of 7201 files, 4:00:00 left"},
      // Resumed after a pause: 3 MiB of the 4 went before it; the rate and the pace are the resumed run's.
      {Resumed(First(40, true, 20, 0, 4 << 20, seconds(4)), Stage::kRunning, 5, 1 << 20),
       "20 of 40 files, 4.0 MiB sent at 256.0 KiB/s, 0:16 left"},
      {Resumed(First(40, true, 20, 0, 4 << 20, seconds(4)), Stage::kRunning, 0, 0), "20 of 40 files, 4.0 MiB sent"},
      // Ended (paused, stopped, finished): no time left, the rate over the run's own time.
      {Resumed(First(40, true, 20, 1, 4 << 20, seconds(4)), Stage::kEnded, 5, 1 << 20),
       "20 of 40 files, 1 failed, 4.0 MiB sent at 256.0 KiB/s"},
      // A new listing: only what was found.
      {Resumed(First(301, true, 0, 0, 0, seconds(0)), Stage::kListed, 0, 0), "301 files found"},
      {Resumed(First(12, false, 0, 0, 0, seconds(0)), Stage::kListed, 0, 0), "12+ files found"},
  };
  for (const Row& row : rows) EXPECT_EQ(TrkProgressText(row.figures), row.text);
}

// A failed file is done as well: the time left must not wait for it. A run
// counts from its start: what the batch did before is not its own.
TEST(ProgressTest, FiguresOfABatchCountFailedFilesAsDoneAndTheRunFromItsStart) {
  TrkProject project("");
  std::shared_ptr<TrkBatch> batch = TrkBatch::Create(project, nullptr);
  batch->MarkSearchDone();
  batch->RecordSuccess();
  batch->AddBytesSent(1024);
  const TrkProgressStart resumed = TrkProgressStartOf(*batch);
  batch->RecordSuccess();
  batch->RecordFailure("[Error]x");
  batch->AddBytesSent(2048);
  const TrkProgressFigures figures = TrkProgressOf(*batch, resumed, Stage::kEnded);
  EXPECT_TRUE(figures.listing_done);
  EXPECT_EQ(figures.stage, Stage::kEnded);
  EXPECT_EQ(figures.done, 3);
  EXPECT_EQ(figures.failed, 1);
  EXPECT_EQ(figures.bytes_sent, 3072u);
  EXPECT_EQ(figures.run_done, 2);
  EXPECT_EQ(figures.run_bytes, 2048u);
}

TEST(ProgressTest, ByteSizesUseBinaryUnits) {
  EXPECT_EQ(TrkByteSize(1023), "1023 B");
  EXPECT_EQ(TrkByteSize(1024), "1.0 KiB");
  EXPECT_EQ(TrkByteSize(1536ull << 20), "1.5 GiB");
  EXPECT_EQ(TrkByteSize(5ull << 50), "5120.0 TiB");
}

}  // namespace
