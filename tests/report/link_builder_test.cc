#include "report/link_builder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

TrkProductIdentity Dropvan() { return {"Dropvan", "dropvan", "2024.16.1026.3528"}; }

const char kTail[] = "p=dropvan&v=2024.16.1026.3528&c=r12c3h1&i=1234567";

class LinkBuilderTest : public ::testing::Test {
 protected:
  testing_support::TempDir dir_;
  std::string exe_ = dir_.dir() + "dropvan";
  TrkLinkBuilder links_{Dropvan(), exe_, 1234567};

  std::string Build(const std::string& page, const std::string& report, const std::string& extra) {
    return links_.Build(page, report, extra, "r12c3h1");
  }
};

TEST_F(LinkBuilderTest, SupportMailCarriesTitleVersionAndStamp) {
  EXPECT_EQ("mailto:support@dropvan.example?subject=Support required for Dropvan 2024.16.1026.3528 - 1234567",
            Build("supports", "", ""));
}

TEST(LinkBuilderSubjectTest, OnlyTheFirstAmpersandOfTheTitleBecomesAnd) {
  TrkLinkBuilder links({"A & B & C", "abc", "1.0"}, "/opt/abc/abc", -1);
  EXPECT_EQ("?subject=Support required for A And B & C 1.0 - -1", links.SupportSubject());
}

TEST_F(LinkBuilderTest, HomeLinkHasNoPageAndNoReport) {
  EXPECT_EQ(std::string("https://dropvan.example?") + kTail, Build("", "", ""));
}

TEST_F(LinkBuilderTest, UpdatePageIsUnderTheProductKey) {
  EXPECT_EQ(std::string("https://dropvan.example/en/dropvan/download.htm?") + kTail, Build("download", "", ""));
}

TEST_F(LinkBuilderTest, ReportGoesToNetWithReportFirstAndUnescaped) {
  EXPECT_EQ(std::string("https://dropvan.example/net/?a=err&e=msg&") + kTail, Build("", "err&e=msg", ""));
}

TEST_F(LinkBuilderTest, DoubleQuotesAreRemovedButQuestionMarksKept) {
  EXPECT_EQ(std::string("https://dropvan.example/net/?a=err&e=Cannot open x.txt? really&") + kTail,
            Build("", "err&e=Cannot open \"x.txt\"? really", ""));
}

TEST_F(LinkBuilderTest, InstallNoticeEndsWithExtraText) {
  EXPECT_EQ(std::string("https://dropvan.example/net/?a=ins&") + kTail + "&from=setup\"1\"",
            Build("", "ins", "from=setup\"1\""));
  EXPECT_EQ(std::string("https://dropvan.example/net/?a=uni&") + kTail, Build("", "uni", ""));
}

TEST_F(LinkBuilderTest, EmptyCounterTextLeavesOutTheParameter) {
  EXPECT_EQ("https://dropvan.example?p=dropvan&v=2024.16.1026.3528&i=1234567", links_.Build("", "", "", ""));
}

TEST_F(LinkBuilderTest, NegativeStampIsWrittenWithItsSign) {
  TrkLinkBuilder links(Dropvan(), exe_, -1);
  EXPECT_EQ("https://dropvan.example?p=dropvan&v=2024.16.1026.3528&c=r1&i=-1", links.Build("", "", "", "r1"));
}

// The help file is the first that exists of the .chm and the .pdf beside the
// program (a build) and the installed manual; the .pdf beside it when none does.
TEST(LinkBuilderHelpTest, HelpIsTheFirstHelpFileThatExists) {
  const char kManual[] = "share/doc/dropvan/dropvan.pdf";
  struct Row {
    std::vector<const char*> present;
    std::string help;
  } rows[] = {
      {{}, "bin/dropvan.pdf"},
      {{kManual}, kManual},
      {{kManual, "bin/dropvan.pdf"}, "bin/dropvan.pdf"},
      {{kManual, "bin/dropvan.pdf", "bin/dropvan.chm"}, "bin/dropvan.chm"},
  };
  for (const Row& row : rows) {
    testing_support::TempDir dir;
    for (const char* file : row.present) dir.Write(file, "help");
    TrkLinkBuilder links(Dropvan(), dir.dir() + "bin/dropvan", 0);
    EXPECT_EQ(dir.dir() + row.help, links.Build("h", "", "", "")) << row.present.size() << " present";
  }
}

TEST(LinkBuilderHelpTest, ProgramExtensionIsReplaced) {
  testing_support::TempDir dir;
  TrkLinkBuilder links(Dropvan(), dir.dir() + "dropvan.exe", 0);
  EXPECT_EQ(dir.dir() + "dropvan.pdf", links.HelpFile());
}

}  // namespace
