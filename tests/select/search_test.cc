#include "select/search.h"

#include "select/mask_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/as_ordinary_user.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::IsEmpty;

// Runs one walk and returns the paths in the order they were handed on,
// relative to the walked folder (the walk gives them with the folder in front).
std::vector<std::string> Walk(const std::string& folder, const std::string& mask, bool recurse,
                              bool skip_hidden, bool enter_hidden = false) {
  std::vector<std::string> found;
  std::atomic<bool> stop{false};
  SearchFolder(folder, mask, recurse, skip_hidden, [&](const std::string& path) {
    EXPECT_EQ(path.rfind(folder, 0), 0u) << path << " does not start with the walked folder";
    found.push_back(path.substr(folder.size()));
  }, stop, {}, enter_hidden);
  return found;
}

class SearchTest : public testing::Test {
 protected:
  // root: a.txt b.txt .hidden.txt notes
  //       sub/c.txt sub/.h.txt sub/deeper/d.txt
  //       .hiddir/e.txt .hiddir/.g.txt  zsub/f.txt
  void SetUp() override {
    for (const char* name : {"b.txt", "a.txt", ".hidden.txt", "notes", "sub/c.txt", "sub/.h.txt",
                             "sub/deeper/d.txt", ".hiddir/e.txt", ".hiddir/.g.txt", "zsub/f.txt"}) {
      dir_.Write(name, name);
    }
  }
  testing_support::TempDir dir_;
};

TEST_F(SearchTest, OwnFilesFirstThenSubfoldersDepthFirstInNameOrder) {
  EXPECT_THAT(Walk(dir_.dir(), "*.*", true, false),
              ElementsAre(".hidden.txt", "a.txt", "b.txt", "notes", "sub/.h.txt", "sub/c.txt", "sub/deeper/d.txt",
                          "zsub/f.txt"));
}

TEST_F(SearchTest, WithoutRecurseOnlyTheFolderItself) {
  EXPECT_THAT(Walk(dir_.dir(), "*.txt", false, true), ElementsAre("a.txt", "b.txt"));
}

TEST_F(SearchTest, SkipHiddenLeavesHiddenFilesOutAndHiddenFoldersAreEnteredOnlyWhenAsked) {
  struct Row {
    bool recurse, skip_hidden, enter_hidden;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {true, true, false, {"a.txt", "b.txt", "sub/c.txt", "sub/deeper/d.txt", "zsub/f.txt"}},
      {true, false, false, {".hidden.txt", "a.txt", "b.txt", "sub/.h.txt", "sub/c.txt", "sub/deeper/d.txt",
                            "zsub/f.txt"}},
      {true, false, true, {".hidden.txt", "a.txt", "b.txt", ".hiddir/.g.txt", ".hiddir/e.txt", "sub/.h.txt",
                           "sub/c.txt", "sub/deeper/d.txt", "zsub/f.txt"}},
      {true, true, true, {"a.txt", "b.txt", ".hiddir/e.txt", "sub/c.txt", "sub/deeper/d.txt", "zsub/f.txt"}},
      {false, false, true, {".hidden.txt", "a.txt", "b.txt"}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Walk(dir_.dir(), "*.txt", row.recurse, row.skip_hidden, row.enter_hidden), row.expected)
        << "recurse " << row.recurse << ", skip hidden " << row.skip_hidden << ", enter hidden " << row.enter_hidden;
  }
}

TEST_F(SearchTest, PlainNameMaskFindsTheFileInEveryFolder) {
  dir_.Write("sub/a.txt", "");
  dir_.Write("zsub/deep/A.TXT", "");
  EXPECT_THAT(Walk(dir_.dir(), "a.txt", true, false), ElementsAre("a.txt", "sub/a.txt", "zsub/deep/A.TXT"));
}

TEST_F(SearchTest, EmptyMaskListsNoFileAtAll) {
  EXPECT_THAT(Walk(dir_.dir(), "", true, false), IsEmpty());
  EXPECT_THAT(Walk(dir_.dir(), "", false, false), IsEmpty());
}

TEST_F(SearchTest, MissingOrRefusedFolderYieldsNothing) {
  EXPECT_THAT(Walk(dir_.dir() + "missing/", "*.*", true, false), IsEmpty());
  EXPECT_THAT(Walk(dir_.dir() + "a.txt/", "*.*", true, false), IsEmpty());
  EXPECT_THAT(Walk(std::string(5000, 'x') + "/", "*.*", true, false), IsEmpty());
}

TEST_F(SearchTest, AnEmptyFolderTextIsTheCurrentFolder) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir_.path());
  std::vector<std::string> found = Walk("", "*.txt", true, true);
  fs::current_path(previous);
  EXPECT_THAT(found, ElementsAre("a.txt", "b.txt", "sub/c.txt", "sub/deeper/d.txt", "zsub/f.txt"));
}

TEST_F(SearchTest, StopEndsTheWalkAfterTheEntryInHand) {
  std::vector<std::string> found;
  std::atomic<bool> stop{false};
  SearchFolder(dir_.dir(), "*.*", true, false, [&](const std::string& path) {
    found.push_back(path);
    if (found.size() == 2) stop = true;
  }, stop);
  EXPECT_EQ(found.size(), 2u);

  // A stop in a subfolder also ends the folders above it.
  dir_.Write("sub/deeper/c.txt", "");
  dir_.Write("zsub/c.txt", "");
  found.clear();
  stop = false;
  SearchFolder(dir_.dir(), "c.txt", true, false, [&](const std::string& path) {
    found.push_back(path);
    stop = true;
  }, stop);
  EXPECT_EQ(found.size(), 1u);
}

TEST_F(SearchTest, ItemsAreHandedOnWhileTheWalkGoes) {
  // The first file arrives before later folders are listed: a folder made
  // inside a folder not yet walked, from inside the callback, is still found.
  std::vector<std::string> found;
  std::atomic<bool> stop{false};
  SearchFolder(dir_.dir(), "*.txt", true, true, [&](const std::string& path) {
    if (found.empty()) dir_.Write("zsub/late/g.txt", "");
    found.push_back(path.substr(dir_.dir().size()));
  }, stop);
  EXPECT_EQ(found.back(), "zsub/late/g.txt");
}

TEST(MaskListTest, ANameFitsWhenItFitsAnyMaskOfTheList) {
  struct Row {
    const char *list, *path;
    bool fits;
  };
  const Row rows[] = {
      {"", "/www/index.php", false},         {"index.php", "/www/INDEX.PHP", true},
      {"*.html;index.php", "a/index.php", true}, {" *.html ; *.php ", "/www/a.html", true},
      {"*.html;;", "/www/a.css", false},      {";", "/www/a", false},
      {"*.php", "/www/x.php/readme", false},  {"*.php", "a.php", true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(TrkMaskList(row.list).MatchesName(row.path), row.fits) << '"' << row.list << "\" " << row.path;
  }
}

TEST(SearchLinksTest, LinkedFilesAreReadThroughLinkedFoldersNeverEntered) {
  testing_support::TempDir dir;
  dir.Write("real/inside.txt", "");
  dir.Write("top.txt", "");
  fs::create_symlink(dir.path() / "top.txt", dir.path() / "link.txt");
  fs::create_symlink(dir.path() / "real", dir.path() / "linked-folder");
  fs::create_symlink(dir.path(), dir.path() / "real" / "loop");
  fs::create_symlink(dir.path() / "gone.txt", dir.path() / "dangling.txt");
  EXPECT_THAT(Walk(dir.dir(), "*.*", true, false), ElementsAre("link.txt", "top.txt", "real/inside.txt"));
}

TEST(SearchLinksTest, FifosAreSkippedWithoutBlocking) {
  testing_support::TempDir dir;
  dir.Write("plain.txt", "");
  ASSERT_EQ(mkfifo((dir.path() / "pipe.txt").c_str(), 0600), 0);
  EXPECT_THAT(Walk(dir.dir(), "*.txt", true, false), ElementsAre("plain.txt"));
}

TEST(SearchAccessTest, UnreadableSubfoldersAreSkippedAndTold) {
  testing_support::TempDir dir;
  testing_support::LetOrdinaryUserIn(dir.path());
  dir.Write("a/one.txt", "");
  dir.Write("b/two.txt", "");
  dir.Write("c/three.txt", "");
  dir.Write("d/four.txt", "");
  fs::permissions(dir.path() / "b", fs::perms::none);
  fs::permissions(dir.path() / "d", fs::perms::owner_all | fs::perms::others_exec);  // entered, never listed
  // Root lists every folder, so the walk runs as an ordinary user.
  std::string walked = testing_support::RunAsOrdinaryUser([&] {
    std::string names;
    std::atomic<bool> stop{false};
    SearchFolder(dir.dir(), "*.txt", true, false, [&](const std::string& path) { names += path.substr(dir.dir().size()) + " "; },
                 stop, {}, false, [&](const std::string& folder, int error) {
                   names += "<" + folder.substr(dir.dir().size()) + ": " + std::strerror(error) + "> ";
                 });
    return names;
  });
  EXPECT_EQ(walked, "a/one.txt <b/: Permission denied> c/three.txt <d/: Permission denied> ");
}

TEST(WildcardTest, StarQuestionMarkAndLetterCase) {
  EXPECT_TRUE(WildcardMatch("*.txt", "notes.TXT"));
  EXPECT_FALSE(WildcardMatch("*.txt", "notes.txtx"));
  EXPECT_TRUE(WildcardMatch("*.txt", ".txt"));
  EXPECT_TRUE(WildcardMatch("?.txt", "a.txt"));
  EXPECT_FALSE(WildcardMatch("?.txt", ".txt")) << "? stands for exactly one character";
  EXPECT_FALSE(WildcardMatch("?.txt", "ab.txt"));
  EXPECT_TRUE(WildcardMatch("?.txt", "\xc3\xa9.txt")) << "a two-byte letter is one character";
  EXPECT_TRUE(WildcardMatch("a*b*c", "aXbYbZc"));
  EXPECT_FALSE(WildcardMatch("a*b*c", "aXbYbZ"));
  EXPECT_TRUE(WildcardMatch("index.html", "INDEX.html"));
  EXPECT_FALSE(WildcardMatch("index.html", "index.html5"));
  EXPECT_FALSE(WildcardMatch("", "a"));
}

TEST(WildcardTest, StarDotStarMatchesEveryNameEvenWithoutADot) {
  EXPECT_TRUE(WildcardMatch("*.*", "Makefile"));
  EXPECT_TRUE(WildcardMatch("*.*", "a.b.c"));
  EXPECT_TRUE(WildcardMatch("*", "anything"));
}

TEST(WildcardTest, HugeMasksFinishQuickly) {
  std::string name(255, 'a');
  EXPECT_FALSE(WildcardMatch(std::string(100000, '*') + "b", name));
  std::string stars_and_letters;
  for (int i = 0; i < 50000; ++i) stars_and_letters += "*a";
  EXPECT_FALSE(WildcardMatch(stars_and_letters + "b", name));
  EXPECT_TRUE(WildcardMatch(std::string(100000, '*'), name));
}

}  // namespace
