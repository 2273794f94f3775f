#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_control.h"
#include "project/control.h"
#include "project/project.h"
#include "support/temp_dir.h"

namespace {

using project_testing::FakeControl;
using project_testing::MakeProject;
using project_testing::WindowControls;
using testing_support::TempDir;
using Lines = std::vector<std::string>;

class Binding : public ::testing::Test {
 protected:
  void SetUp() override {
    project_ = MakeProject(dir_);
    controls_.BindTo(*project_);
  }
  void Load(Lines lines) {
    project_->Options().SetLines(std::move(lines));
    project_->OptionsToControls();
  }

  TempDir dir_;
  WindowControls controls_;
  std::unique_ptr<TrkProject> project_;
};

TEST_F(Binding, OptionsFillTheBoundProperties) {
  Load({"Source=/s/*.*", "subdir=true", "Target=/www/", "Server=127.0.0.1", "User=me", "Password=pw", "Port=2121"});
  EXPECT_EQ(controls_.eSource.Get("Text"), "/s/*.*");
  EXPECT_EQ(controls_.cSubdir.Get("Checked"), "True");
  EXPECT_EQ(controls_.eTarget.Get("Text"), "/www/");
  EXPECT_EQ(controls_.eServer.Get("Text"), "127.0.0.1");
  EXPECT_EQ(controls_.ePort.Get("Text"), "2121");
}

TEST_F(Binding, MissingOptionsEmptyEditsAndUncheckBoxes) {
  controls_.eSource.Put("Text", "old");
  controls_.cSubdir.Put("Checked", "True");
  Load({});
  EXPECT_EQ(controls_.eSource.Get("Text"), "");
  EXPECT_EQ(controls_.cSubdir.Get("Checked"), "False");
}

TEST_F(Binding, ANumericCheckBoxOptionLeavesTheBoxButCountsForTheConsole) {
  controls_.cSubdir.Put("Checked", "False");
  Load({"Subdir=1"});
  EXPECT_TRUE(project_->GetSubdir());
  EXPECT_EQ(controls_.cSubdir.Get("Checked"), "False");
  project_->ControlsToOptions();
  EXPECT_EQ(project_->GetOption("Subdir"), "False");
}

TEST_F(Binding, LegacyKeyFillsTheControlAndIsRemoved) {
  Load({"eTarget.Text=/www/", "cSubdir.Checked=True", "Note"});
  EXPECT_EQ(controls_.eTarget.Get("Text"), "/www/");
  EXPECT_EQ(controls_.cSubdir.Get("Checked"), "True");
  EXPECT_EQ(project_->Options().Lines(), Lines{"Note"});
}

TEST_F(Binding, LegacyKeyStaysWhenTheNewKeyHasAValue) {
  Load({"Target=/new/", "eTarget.Text=/old/"});
  EXPECT_EQ(controls_.eTarget.Get("Text"), "/new/");
  EXPECT_EQ(project_->Options().Lines(), (Lines{"Target=/new/", "eTarget.Text=/old/"}));
}

TEST_F(Binding, SavingANewProjectWritesTheBoundKeysInBindingOrder) {
  project_->NewProject();
  controls_.ePort.Put("Text", "21");
  controls_.eUser.Put("Text", "me");
  controls_.eSource.Put("Text", "/s/*.*");
  controls_.eTarget.Put("Text", "/www/");
  project_->SetFileName(dir_.dir() + "new.batch-dropvan");
  project_->Save();
  EXPECT_EQ(dir_.Read("new.batch-dropvan"), "Source=/s/*.*\r\nSubdir=False\r\nTarget=/www/\r\nUser=me\r\nPort=21\r\n");
}

TEST_F(Binding, ControlsReplaceOptionsInPlaceAndKeepOtherLines) {
  Load({"# job", "Port=21", "ThreadsCount=4", "Source=/s/*.*"});
  controls_.ePort.Put("Text", "2121");
  controls_.eSource.Put("Text", "");
  project_->UpdateOptions(false);
  EXPECT_EQ(project_->Options().Lines(), (Lines{"# job", "Port=2121", "ThreadsCount=4", "Subdir=False"}));
}

TEST_F(Binding, AccessorIsMadeOnceAndClearedWhenUnbound) {
  project_->OptionsToControls();
  TrkPropList* accessor = controls_.eSource.Accessor();
  ASSERT_NE(accessor, nullptr);
  EXPECT_EQ(accessor->Instance(), &controls_.eSource);
  EXPECT_EQ(accessor->PropCount(), 3);
  project_->ControlsToOptions();
  EXPECT_EQ(controls_.eSource.Accessor(), accessor);

  project_->UnbindControls();
  EXPECT_EQ(controls_.eSource.Accessor(), nullptr);
  controls_.eSource.Put("Text", "kept");
  project_->Options().Set("Source", "/other/");
  project_->OptionsToControls();
  EXPECT_EQ(controls_.eSource.Get("Text"), "kept") << "an unbound control is no longer filled";
}

TEST(BindingLifetime, DestroyingTheProjectUnbindsItsControls) {
  TempDir dir;
  FakeControl edit("eSource", "Text");
  {
    auto project = MakeProject(dir);
    project->BindControl(&edit);
    project->OptionsToControls();
    ASSERT_NE(edit.Accessor(), nullptr);
  }
  EXPECT_EQ(edit.Accessor(), nullptr);
}

TEST(PropList, EnumerationsTakeIdentifiersInAnyLetterCaseAndEmptyAsFalse) {
  FakeControl box("cSubdir", "Checked");
  TrkPropList accessor(&box);
  accessor.SetValue("Checked", "tRUE");
  EXPECT_EQ(box.Get("Checked"), "True");
  accessor.SetValue("Checked", "maybe");
  EXPECT_EQ(box.Get("Checked"), "True") << "a text naming no identifier changes nothing";
  accessor.SetValue("Checked", "1");
  EXPECT_EQ(box.Get("Checked"), "True");
  accessor.SetValue("Checked", "");
  EXPECT_EQ(box.Get("Checked"), "False");
  EXPECT_EQ(accessor.GetValue("Checked"), "False");
}

TEST(PropList, IntegersNeedADecimalNumber) {
  FakeControl edit("eWidth", "Width");
  TrkPropList accessor(&edit);
  accessor.SetValue("Width", "120");
  EXPECT_EQ(accessor.GetValue("Width"), "120");
  for (const char* bad : {"", "wide", "12px", "1.5"}) {
    accessor.SetValue("Width", bad);
    EXPECT_EQ(edit.Get("Width"), "120") << bad;
  }
}

TEST(PropList, ControlErrorsAreSwallowed) {
  FakeControl edit("eSource", "Text");
  TrkPropList accessor(&edit);
  edit.Put("Text", "before");
  edit.fail_writes = true;
  EXPECT_NO_THROW(accessor.SetValue("Text", "after"));
  EXPECT_EQ(edit.Get("Text"), "before");
  edit.fail_reads = true;
  EXPECT_EQ(accessor.GetValue("Text"), "");
  EXPECT_EQ(accessor.GetValue("NoSuchProperty"), "");
  EXPECT_NO_THROW(accessor.SetValue("NoSuchProperty", "x"));
}

}  // namespace
