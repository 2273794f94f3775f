#include "project/options.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

TEST(OptionKeys, MatchWithoutRegardToLetterCaseButNotToBlanks) {
  TrkOptions options;
  options.SetLines({"source=D:\\x\\*.*"});
  EXPECT_EQ(options.Get("Source"), "D:\\x\\*.*");
  EXPECT_EQ(options.Get("SOURCE"), "D:\\x\\*.*");

  TrkOptions blank;
  blank.SetLines({" source=D:\\x\\*.*"});
  EXPECT_EQ(blank.Get("Source"), "") << "a leading blank is part of the key";
}

TEST(OptionKeys, FirstMatchingLineWins) {
  TrkOptions options;
  options.SetLines({"Target=/first/", "TARGET=/second/"});
  EXPECT_EQ(options.Get("target"), "/first/");
  options.Set("Target", "/third/");
  EXPECT_EQ(options.Lines(), (Lines{"Target=/third/", "TARGET=/second/"}));
}

TEST(OptionValues, AreNotTrimmedAndMayHoldEqualsSigns) {
  TrkOptions options;
  options.SetLines({"Target= /www/ ", "RegExt=a=b", "Key ==x"});
  EXPECT_EQ(options.Get("Target"), " /www/ ");
  EXPECT_EQ(options.Get("RegExt"), "a=b");
  EXPECT_EQ(options.Get("Key "), "=x");
  EXPECT_EQ(options.Get("Key"), "");
}

TEST(OptionValues, LinesWithoutEqualsSignStayButNeverMatch) {
  TrkOptions options;
  options.SetLines({"# note", "Port", "Port=21"});
  EXPECT_EQ(options.Get("Port"), "21");
  EXPECT_EQ(options.Get("# note"), "");
  options.Set("# note", "x");
  options.Remove("Port");
  EXPECT_EQ(options.Lines(), (Lines{"# note", "Port", "# note=x"}));
}

TEST(OptionChanges, SetReplacesInPlaceOrAppends) {
  TrkOptions options;
  options.SetLines({"a=1", "b=2", "c=3"});
  options.Set("B", "20");
  options.Set("d", "4");
  EXPECT_EQ(options.Lines(), (Lines{"a=1", "B=20", "c=3", "d=4"}));
}

TEST(OptionChanges, EmptyValueRemovesOnlyTheFirstMatchingLine) {
  TrkOptions options;
  options.SetLines({"Target=/a/", "x", "target=/b/"});
  options.Set("Target", "");
  EXPECT_EQ(options.Lines(), (Lines{"x", "target=/b/"}));
  options.Set("Missing", "");
  EXPECT_EQ(options.Lines(), (Lines{"x", "target=/b/"}));
}

TEST(OptionChanges, BooleansAreWrittenAsTrueAndFalse) {
  TrkOptions options;
  options.SetBool("Subdir", true);
  options.SetBool("IsSyncAll", false);
  EXPECT_EQ(options.Lines(), (Lines{"Subdir=True", "IsSyncAll=False"}));
}

TEST(OptionBytes, NulBytesAndHighBytesArePassedThrough) {
  std::string nul_key("Sou\0rce=x", 9);
  std::string nul_value("Target=/w\0w/", 12);
  TrkOptions options;
  options.SetLines({nul_key, nul_value, "Name=\xC3\xA9t\xC3\xA9"});
  EXPECT_EQ(options.Get("Source"), "");
  EXPECT_EQ(options.Get("Target"), std::string("/w\0w/", 5));
  EXPECT_EQ(options.Get("NAME"), "\xC3\xA9t\xC3\xA9");
  // Letter case folds for ASCII only; other bytes compare exactly.
  TrkOptions utf8;
  utf8.SetLines({"\xC3\xA9=1"});
  EXPECT_EQ(utf8.Get("\xC3\x89"), "");
}

TEST(IntegerOptions, UsualDecimalNotationElseDefault) {
  EXPECT_EQ(TrkParseInt("12", 1), 12);
  EXPECT_EQ(TrkParseInt("-3", 1), -3);
  EXPECT_EQ(TrkParseInt("+4", 1), 4);
  EXPECT_EQ(TrkParseInt("007", 1), 7);
  EXPECT_EQ(TrkParseInt("2147483647", 1), 2147483647);
  EXPECT_EQ(TrkParseInt("-2147483648", 1), -2147483647 - 1);
  for (const char* bad : {"", " 5", "5 ", "0x10", "1.5", "1e3", "-", "+", "2147483648", "99999999999999999999",
                          "12abc", "--1"}) {
    EXPECT_EQ(TrkParseInt(bad, 21), 21) << "\"" << bad << "\" is no decimal integer";
  }
}

// A safety limit read as the user meant it or not at all: a fallback to the
// default would lift the limit the user set.
TEST(CountOptions, WholeNumbersOfZeroOrMoreWithBlanksAroundElseNothing) {
  const std::pair<const char*, int> counts[] = {{"0", 0}, {"3", 3}, {"3 ", 3}, {" \t7\t ", 7}, {"007", 7},
                                                {"2147483647", 2147483647}};
  for (const auto& [text, count] : counts) EXPECT_EQ(TrkReadCount(text), count) << "\"" << text << "\"";
  for (const char* bad : {"", "  ", "-1", "-0", "+3", "3 4", "1.5", "1e3", "0x10", "three", "2147483648", "3\n"}) {
    EXPECT_EQ(TrkReadCount(bad), std::nullopt) << "\"" << bad << "\"";
  }
}

TEST(BooleanOptions, NumbersTrueFalseAnyCaseElseDefault) {
  for (const char* yes : {"1", "-2", "42", "1.5", "0.001", "True", "TRUE", "tRuE", "1e3"}) {
    EXPECT_TRUE(TrkParseBool(yes, false)) << yes;
  }
  for (const char* no : {"0", "-0", "0.0", "000", "False", "FALSE", "false", "0e5"}) {
    EXPECT_FALSE(TrkParseBool(no, true)) << no;
  }
  for (const char* other : {"", "yes", " True", "True ", "T", "1x", ".", "e1"}) {
    EXPECT_TRUE(TrkParseBool(other, true)) << other;
    EXPECT_FALSE(TrkParseBool(other, false)) << other;
  }
}

TEST(TypedReads, MissingAndUnreadableValuesGiveTheReadersDefault) {
  TrkOptions options;
  options.SetLines({"ThreadsCount=four", "Daemon=500", "Subdir=1", "NoUpload=maybe"});
  EXPECT_EQ(options.GetInt("ThreadsCount", 1), 1);
  EXPECT_EQ(options.GetInt("Daemon", 0), 500);
  EXPECT_EQ(options.GetInt("Port", 21), 21);
  EXPECT_TRUE(options.GetBool("Subdir", false));
  EXPECT_TRUE(options.GetBool("NoUpload", true));
  EXPECT_TRUE(options.GetBool("KeepTargetSubdirs", true));
}

TEST(OptionThreads, ReadersSeeWholeValuesWhileTheListChanges) {
  const std::string one(100, 'a'), other(100, 'b');
  TrkOptions options;
  options.SetLines({"Target=" + one});
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!stop) {
      std::string target = options.Get("Target");
      if (target != one && target != other) ++torn;
    }
  });
  // Growing and shrinking the list moves its lines around in memory; a read
  // that is not guarded sees freed or half-written text.
  for (int round = 0; round < 200; ++round) {
    for (int i = 0; i < 50; ++i) options.Set("Extra" + std::to_string(i), other);
    options.Set("Target", round % 2 ? one : other);
    options.SetLines({"Target=" + (round % 2 ? other : one)});
  }
  stop = true;
  reader.join();
  EXPECT_EQ(torn, 0);
}

}  // namespace
