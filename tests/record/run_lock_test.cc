#include "record/run_lock.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace {

TEST(RunLockTest, OneHolderAtATimeAndAFolderThatCannotHoldItCountsAsTaken) {
  testing_support::TempDir folder;
  const std::string file = folder.dir() + "site.batch-dropvan.ini.lock";
  TrkRunLock first, second;
  EXPECT_TRUE(first.Take(file));
  EXPECT_FALSE(second.Take(file)) << "two holders at once";
  EXPECT_TRUE(first.Take(file)) << "a holder may take its own lock again";
  first.Release();
  EXPECT_TRUE(second.Take(file)) << "a released lock stays held";
  // The record's save tells what is wrong with such a folder.
  EXPECT_TRUE(first.Take(folder.dir() + "missing/site.batch-dropvan.ini.lock"));
}

}  // namespace
