#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_control.h"
#include "project/project.h"
#include "support/temp_dir.h"

namespace {

using project_testing::MakeProject;
using testing_support::TempDir;
using Lines = std::vector<std::string>;
using Result = TrkProject::CommandLineResult;

struct LinkCall {
  std::string page, report, extra;
};

// A program folder whose default project file holds one known line.
class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write("dropvan.batch-dropvan", "Source=/default/*.*\r\n");
    project_ = MakeProject(dir_);
    project_->OpenLink = [this](const std::string& page, const std::string& report, const std::string& extra) {
      links_.push_back({page, report, extra});
    };
  }

  void ExpectDefaultProjectLoaded(const std::string& arg) {
    EXPECT_EQ(project_->ParseCommandLine(arg), Result::kContinue) << arg;
    EXPECT_EQ(project_->FileName(), dir_.dir() + "dropvan.batch-dropvan") << arg;
    EXPECT_EQ(project_->Options().Lines(), Lines{"Source=/default/*.*"}) << arg;
    EXPECT_EQ(project_->ParamOptions(), "") << arg;
    EXPECT_TRUE(links_.empty()) << arg;
  }

  TempDir dir_;
  std::unique_ptr<TrkProject> project_;
  std::vector<LinkCall> links_;
};

TEST_F(CommandLine, InstallSwitchSendsTheNoticeAndEnds) {
  EXPECT_EQ(project_->ParseCommandLine("-iSetup 2.0"), Result::kExit);
  ASSERT_EQ(links_.size(), 1u);
  EXPECT_EQ(links_[0].page, "");
  EXPECT_EQ(links_[0].report, "ins");
  EXPECT_EQ(links_[0].extra, "Setup 2.0");
  EXPECT_TRUE(project_->Options().Lines().empty()) << "no project is loaded";
  EXPECT_EQ(project_->FileName(), "");
}

TEST_F(CommandLine, UninstallSwitchSendsTheNoticeWithoutExtraText) {
  EXPECT_EQ(project_->ParseCommandLine("-Uninstall"), Result::kExit);
  ASSERT_EQ(links_.size(), 1u);
  EXPECT_EQ(links_[0].report, "uni");
  EXPECT_EQ(links_[0].extra, "");
  EXPECT_TRUE(project_->Options().Lines().empty());
}

TEST_F(CommandLine, NoticeSwitchesEndEvenWithoutALinkHandler) {
  project_->OpenLink = nullptr;
  EXPECT_EQ(project_->ParseCommandLine("-I"), Result::kExit);
  EXPECT_EQ(project_->ParseCommandLine("-u"), Result::kExit);
}

TEST_F(CommandLine, OptionSwitchGivesTheOptionsInsteadOfAFile) {
  EXPECT_EQ(project_->ParseCommandLine("-P:Source=/srv/site/*.*,Target=/www/,PureConsole=True"),
            Result::kContinue);
  EXPECT_EQ(project_->ParamOptions(), "Source=/srv/site/*.*\r\nTarget=/www/\r\nPureConsole=True");
  EXPECT_EQ(project_->Options().Lines(), (Lines{"Source=/srv/site/*.*", "Target=/www/", "PureConsole=True"}));
  EXPECT_EQ(project_->FileName(), "");
  EXPECT_TRUE(project_->GetPureConsole());
}

TEST_F(CommandLine, OptionSwitchTakesCommasAndSemicolonsInAnyLetterCase) {
  project_->ParseCommandLine("-p:PureConsole=1;Source=/a/*.*;Target=/www/");
  EXPECT_EQ(project_->Options().Lines(), (Lines{"PureConsole=1", "Source=/a/*.*", "Target=/www/"}));
  EXPECT_TRUE(project_->GetPureConsole());
  EXPECT_EQ(project_->FileName(), "");
}

TEST_F(CommandLine, OptionSwitchWithoutColonKeepsTheWholeText) {
  project_->ParseCommandLine("-P::Port=21");
  EXPECT_EQ(project_->Options().Lines(), Lines{":Port=21"}) << "only one leading colon is removed";
  auto bare = MakeProject(dir_);
  bare->ParseCommandLine("-PPort=2121");
  EXPECT_EQ(bare->Options().Lines(), Lines{"Port=2121"});
}

TEST_F(CommandLine, EmptyOptionSwitchLoadsTheDefaultProject) { ExpectDefaultProjectLoaded("-P"); }
TEST_F(CommandLine, OptionSwitchWithOnlyAColonLoadsTheDefaultProject) { ExpectDefaultProjectLoaded("-P:"); }
TEST_F(CommandLine, UnknownSwitchLoadsTheDefaultProject) { ExpectDefaultProjectLoaded("-X"); }
TEST_F(CommandLine, DoubleDashLoadsTheDefaultProject) { ExpectDefaultProjectLoaded("--help"); }
TEST_F(CommandLine, OneCharacterArgumentIsIgnored) { ExpectDefaultProjectLoaded("x"); }
TEST_F(CommandLine, LoneDashIsIgnored) { ExpectDefaultProjectLoaded("-"); }
TEST_F(CommandLine, NoArgumentLoadsTheDefaultProject) { ExpectDefaultProjectLoaded(""); }

TEST_F(CommandLine, ProjectFileArgumentIsLoaded) {
  std::string name = dir_.Write("site.batch-dropvan", "Source=/site/*.*\r\nTarget=/www/\r\n");
  EXPECT_EQ(project_->ParseCommandLine(name), Result::kContinue);
  EXPECT_EQ(project_->FileName(), name);
  EXPECT_EQ(project_->GetSource(), "/site/*.*");
  EXPECT_EQ(project_->RecentFiles(), Lines{name});
}

TEST_F(CommandLine, OtherArgumentBecomesTheSourceWithoutProjectFile) {
  EXPECT_EQ(project_->ParseCommandLine("/srv/site"), Result::kContinue)
      << "a leading slash starts an absolute path, not a switch";
  EXPECT_EQ(project_->FileName(), "");
  EXPECT_EQ(project_->Options().Lines(), Lines{"Source=/srv/site"});
  EXPECT_TRUE(links_.empty());
}

TEST_F(CommandLine, SlashLettersArePathsOnPosix) {
  project_->ParseCommandLine("/I");
  EXPECT_TRUE(links_.empty());
  EXPECT_EQ(project_->GetSource(), "/I");
  auto other = MakeProject(dir_);
  other->ParseCommandLine("/P:Source=/a/*.*");
  EXPECT_EQ(other->ParamOptions(), "");
  EXPECT_EQ(other->GetSource(), "/P:Source=/a/*.*");
}

TEST_F(CommandLine, ArgumentEndingInABackupExtensionIsNoProject) {
  std::string backup = dir_.Write("site.batch-dropvan.bak", "Source=/backup/*.*\r\n");
  project_->ParseCommandLine(backup);
  EXPECT_EQ(project_->FileName(), "");
  EXPECT_EQ(project_->GetSource(), backup);
}

}  // namespace
