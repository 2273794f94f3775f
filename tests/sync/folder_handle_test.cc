// A folder handle tells of every path what a stat of the whole path tells,
// whichever folder the path before it was in.
#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.h"
#include "sync/folder_handle.h"

namespace {

using testing_support::TempDir;

TEST(FolderHandleTest, StatsEachPathAsAStatOfTheWholePath) {
  TempDir root;
  // The same names in two folders, at different sizes, so that a name found in
  // the wrong folder shows.
  root.Write("a/x", "1");
  root.Write("a/y", "22");
  root.Write("b/x", "333");
  root.Write("b/sub/x", "4444");
  const std::string a = root.dir() + "a/", b = root.dir() + "b/";
  const std::string visits[] = {a + "x", a + "y", b + "x", a + "x", a + "missing", b + "sub/x", b + "sub",
                                b + "x", root.dir() + "gone/x", a + "y", "/", a};
  TrkFolderHandle handle;
  for (const std::string& path : visits) {
    SCOPED_TRACE(path);
    const std::optional<TrkFileStat> expected = TrkFileStat::Of(path);
    const std::optional<TrkFileStat> seen = handle.Stat(path);
    ASSERT_EQ(seen.has_value(), expected.has_value());
    if (expected) {
      EXPECT_TRUE(seen->SameFile(*expected));
    }
  }
}

}  // namespace
