#include "select/regex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "select/match.h"
#include "select/name_filter.h"
#include "select/search.h"

namespace {

// A listing's decision for a path under a mask and an optional RegExt.
bool Accepts(const std::string& path, const std::string& mask, const std::string& reg_ext = "") {
  return TrkNameFilter(mask, reg_ext, "").Accepts(path);
}

TEST(MaskToPatternTest, ReplacementsInTheirOrder) {
  EXPECT_EQ(MaskToPattern("*.*"), ".*\\..*$");
  EXPECT_EQ(MaskToPattern("*.txt"), ".*\\.txt$");
  EXPECT_EQ(MaskToPattern("?.txt"), ".?\\.txt$");
  EXPECT_EQ(MaskToPattern(""), "$");
  EXPECT_EQ(MaskToPattern("a+b^c$d(e)[f]{g}"), "a\\+b\\^c\\$d\\(e\\)\\[f\\]\\{g\\}$");
  // Characters the replacements leave alone pass through as they are; a
  // backslash, an ordinary character of a file name, is escaped.
  EXPECT_EQ(MaskToPattern("a|b\\c"), "a|b\\\\c$");
}

TEST(NameFilterTest, StarDotStarNeedsADotSomewhereInThePath) {
  EXPECT_FALSE(Accepts("/srv/site/Makefile", "*.*"));
  EXPECT_TRUE(Accepts("/srv/site.old/Makefile", "*.*"));
}

TEST(NameFilterTest, MaskIgnoresLetterCaseAndAnchorsAtTheEnd) {
  EXPECT_TRUE(Accepts("/srv/a/NOTES.TXT", "*.txt"));
  EXPECT_FALSE(Accepts("/srv/a/notes.txtx", "*.txt"));
}

TEST(NameFilterTest, EmptyMaskPassesEveryPath) {
  EXPECT_TRUE(Accepts("/srv/a/b", ""));
  EXPECT_TRUE(Accepts("", ""));
}

TEST(NameFilterTest, QuestionMarkMayMatchNothingInThePatternTest) {
  EXPECT_TRUE(Accepts("/srv/long-name.txt", "?.txt"));
  EXPECT_TRUE(Accepts(".txt", "?.txt"));
}

TEST(NameFilterTest, RegExtIsTestedAfterTheMask) {
  const std::string web = "\\.(html|css)$";
  EXPECT_TRUE(Accepts("/srv/INDEX.HTML", "*.*", web));
  EXPECT_FALSE(Accepts("/srv/app.js", "*.*", web));
  EXPECT_FALSE(Accepts("/srv/Makefile.html/x", "*.*", web));
  EXPECT_FALSE(Accepts("/srv/noext", "*.*", "noext")) << "the mask refuses it before RegExt is asked";
}

TEST(NameFilterTest, UnanchoredRegExtMatchesAnywhereInThePath) {
  EXPECT_TRUE(Accepts("/srv/images/logo.png", "*.*", "images"));
  EXPECT_TRUE(Accepts("/srv/a/my-images.png", "*.*", "images"));
  EXPECT_FALSE(Accepts("/srv/a/logo.png", "*.*", "images"));
}

TEST(NameFilterTest, AnyRegexErrorLetsTheFileThrough) {
  EXPECT_TRUE(Accepts("/srv/a.js", "*.*", "(unclosed"));
  EXPECT_TRUE(Accepts("/srv/a.js", "*.*", "[z-a]"));
  EXPECT_TRUE(Accepts("/srv/a.js", "*.*", "*quantifier first"));
  EXPECT_TRUE(Accepts("/srv/a.js", "*.*", std::string(200000, '(')));
  EXPECT_FALSE(Accepts("/srv/Makefile", "*.*", "(unclosed")) << "the mask still decides first";
}

TEST(NameFilterTest, PassesEveryFileTheListingTakesForTheMask) {
  struct Case {
    const char* mask;
    const char* folder;
    const char* name;
  };
  const Case cases[] = {
      {"*", "/srv/", "r\xe9sum\xe9"},                  // Latin-1 bytes that are no UTF-8
      {"caf*.txt", "/srv/", "caf\xe9.txt"},
      {"a?b.txt", "/srv/caf\xe9/", "a\xc3\xa9" "b.txt"},  // a UTF-8 name below a Latin-1 folder
      {"\\d.txt", "/srv/", "\\d.txt"},                 // a backslash stands for itself
      {"a*", "/srv/", "a\nb.txt"},                      // a line break is a character of the name
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(WildcardMatch(c.mask, c.name)) << c.mask;
    EXPECT_TRUE(Accepts(std::string(c.folder) + c.name, c.mask)) << "mask " << c.mask << " dropped " << c.name;
  }
  EXPECT_FALSE(Accepts("/srv/5.txt", "\\d.txt")) << "a backslash in a mask is no regex escape";
  EXPECT_FALSE(Accepts("/srv/a.txt", "*\\8..")) << "a pattern that did not compile would let every file through";
  EXPECT_FALSE(Accepts("/srv/r\xe9sum\xe9.doc", "*.txt"));
}

TEST(NameFilterTest, BaseFilterPassesEverything) {
  TrkMatchBase base;
  EXPECT_TRUE(base.Match("/srv/a", "nothing-like-it"));
}

TEST(NameFilterTest, OneFilterServesSeveralPatternsInTurn) {
  // Each call tests its own pattern, whichever came before.
  TrkMatch filter;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 8; ++i) {
      std::string pattern = "x" + std::to_string(i) + "$";
      EXPECT_TRUE(filter.Match("/srv/x" + std::to_string(i), pattern)) << pattern;
      EXPECT_FALSE(filter.Match("/srv/x" + std::to_string(i + 1), pattern)) << pattern;
    }
  }
}

TEST(RegexTest, CompileErrorsCarryTheEngineCodeAndWhere) {
  try {
    Regex::Create("ab(cd", kRegexNone);
    FAIL() << "an unclosed group must be refused";
  } catch (const ERegexException& error) {
    EXPECT_GT(error.ErrorCode, 0);
    EXPECT_NE(std::string(error.what()).find("offset 5"), std::string::npos) << error.what();
  }
  EXPECT_THROW(Regex::IsMatch("a{2,1}", kRegexNone, "aa"), ERegexException);
  EXPECT_THROW(Regex::Replace("+", "text", "x"), ERegexException);
}

TEST(RegexTest, CatastrophicBacktrackingStopsAtTheLimit) {
  const std::string text = std::string(40, 'a') + "!";
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(Regex::IsMatch("^(a|aa)+$", kRegexNone, text), ERegexException);
  EXPECT_THROW(Regex::IsMatch("^(\\w+\\s?)*$", kRegexNone, text), ERegexException);
  TrkMatch filter;
  EXPECT_TRUE(filter.Match(text, "^(a|aa)+$")) << "a match over the limits counts as a match in the filter";
  EXPECT_TRUE(TrkNameFilter("*", "", "^(a|aa)+$").Accepts(text)) << "an exclusion over the limits hides nothing";
  // Not a timing test: only a guard so that a missing limit fails instead of hanging.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST(RegexTest, IsMatchSearchesAndKeepsItsOptions) {
  TRegex regex = Regex::Create("b+", kRegexIgnoreCase | kRegexMultiline);
  EXPECT_EQ(regex.Pattern(), "b+");
  EXPECT_TRUE(regex.IgnoreCase());
  EXPECT_TRUE(regex.Multiline());
  EXPECT_TRUE(regex.IsMatch("aBBa"));
  EXPECT_FALSE(Regex::IsMatch("b+", kRegexNone, "aBBa"));
}

TEST(RegexTest, DialectOfAnchorsAndClasses) {
  EXPECT_FALSE(Regex::IsMatch("a$", kRegexNone, "a\n")) << "$ is the very end without Multiline";
  EXPECT_TRUE(Regex::IsMatch("^b$", kRegexMultiline, "a\r\nb\r\nc"));
  EXPECT_TRUE(Regex::IsMatch("^b$", kRegexMultiline, "a\rb\rc"));
  EXPECT_FALSE(Regex::IsMatch("^b$", kRegexNone, "a\nb\nc"));
  EXPECT_TRUE(Regex::IsMatch("a[^]c", kRegexNone, "a\nc"));
  EXPECT_FALSE(Regex::IsMatch("a[]c", kRegexNone, "abc"));
  EXPECT_TRUE(Regex::IsMatch("\\u0041", kRegexNone, "A"));
  EXPECT_TRUE(Regex::IsMatch("(x)?\\1y", kRegexNone, "y")) << "a group that took no part matches empty";
}

TEST(RegexTest, Utf8TextsAreCharactersNotBytes) {
  EXPECT_TRUE(Regex::IsMatch("^caf.$", kRegexNone, "caf\xc3\xa9"));
  EXPECT_TRUE(Regex::IsMatch("\xc3\x89T\xc3\x89", kRegexIgnoreCase, "\xc3\xa9t\xc3\xa9"));
  // Bytes that are no UTF-8 neither break the search nor the pattern.
  EXPECT_TRUE(Regex::IsMatch("\\.txt$", kRegexNone, "/srv/caf\xe9/a.txt"));
  EXPECT_TRUE(Regex::IsMatch("caf\xe9", kRegexNone, "/srv/caf\xe9/a.txt"));
  EXPECT_TRUE(Regex::IsMatch("^r.sum.$", kRegexNone, "r\xe9sum\xe9")) << "read byte by byte";
  EXPECT_TRUE(Regex::IsMatch("^a...b$", kRegexNone, "a\xed\xa0\x80" "b")) << "a surrogate is no UTF-8 either";
  EXPECT_FALSE(Regex::IsMatch("^..$", kRegexNone, "\xc3\xa9")) << "valid UTF-8 is read as characters only";
}

TEST(RegexTest, ReplaceChangesTheFirstMatchOnly) {
  EXPECT_EQ(Regex::Replace("o", "foo boo", "0"), "f0o boo");
  EXPECT_EQ(Regex::Replace("z", "foo", "0"), "foo");
  EXPECT_EQ(Regex::Replace("^file:///", "file:///srv/x", "/"), "/srv/x");
  EXPECT_EQ(Regex::Replace("(\\w+)@(\\w+)", "x a@b y c@d", "$2 at $1"), "x b at a y c@d");
  EXPECT_EQ(Regex::Replace("b", "abc", "[$&|$`|$'|$$|$3]"), "a[b|a|c|$|$3]c");
  EXPECT_EQ(Regex::Replace("(a)?b", "b", "<$1>"), "<>");
}

}  // namespace
