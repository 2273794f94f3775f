#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fake_control.h"
#include "project/project.h"
#include "support/temp_dir.h"

namespace {

using project_testing::MakeProject;
using testing_support::TempDir;

TEST(IsProjectFile, TheFirstOccurrenceOfTheExtensionMustEndThePath) {
  TempDir dir;
  auto project = MakeProject(dir);
  EXPECT_TRUE(project->IsProjectFile("/p/site.batch-dropvan"));
  EXPECT_TRUE(project->IsProjectFile(".batch-dropvan"));
  EXPECT_FALSE(project->IsProjectFile("/p/site.batch-dropvan.bak"));
  EXPECT_FALSE(project->IsProjectFile("/p/x.batch-dropvan.batch-dropvan"));
  EXPECT_FALSE(project->IsProjectFile("/p/a.batch-dropvan/b.batch-dropvan"));
  EXPECT_FALSE(project->IsProjectFile("/p/site.BATCH-DROPVAN")) << "letter case counts";
  EXPECT_FALSE(project->IsProjectFile("/p/site.batch-dropva"));
  EXPECT_FALSE(project->IsProjectFile(""));
}

TEST(DefaultProjectName, ReplacesTheProgramsExtension) {
  TempDir dir;
  auto plain = MakeProject(dir);
  EXPECT_EQ(plain->DefaultProjectName(), dir.dir() + "dropvan.batch-dropvan");
  TrkProject with_ext(dir.dir() + "run.exe");
  with_ext.ProjectExt = ".batch-dropvan";
  EXPECT_EQ(with_ext.DefaultProjectName(), dir.dir() + "run.batch-dropvan");
  EXPECT_EQ(with_ext.RecentListName(), dir.dir() + "run.exe.log");
}

TEST(TypedGetters, FallBackToTheirDefaults) {
  TempDir dir;
  auto project = MakeProject(dir);
  EXPECT_EQ(project->GetSource(), "");
  EXPECT_FALSE(project->GetSubdir());
  EXPECT_EQ(project->GetThreadsCount(), 1);
  EXPECT_EQ(project->GetDaemon(), 0);
  EXPECT_FALSE(project->GetPureConsole());
  EXPECT_TRUE(project->GetKeepTargetSubdirs());

  project->Options().SetLines({"subdir=1", "THREADSCOUNT=4", "Daemon=x", "KeepTargetSubdirs=false"});
  EXPECT_TRUE(project->GetSubdir());
  EXPECT_EQ(project->GetThreadsCount(), 4);
  EXPECT_EQ(project->GetDaemon(), 0);
  EXPECT_FALSE(project->GetKeepTargetSubdirs());
  EXPECT_EQ(project->GetOption("threadscount"), "4");
}

TEST(IsAutoRun, AnyOfRunAndClosePureConsoleOrAPositiveDaemon) {
  TempDir dir;
  auto project = MakeProject(dir);
  EXPECT_FALSE(project->IsAutoRun());
  for (const char* line : {"RunAndClose=True", "PureConsole=1", "Daemon=500"}) {
    project->Options().SetLines({line});
    EXPECT_TRUE(project->IsAutoRun()) << line;
  }
  for (const char* line : {"RunAndClose=False", "PureConsole=no", "Daemon=-5", "Daemon=0", "Daemon=1e3"}) {
    project->Options().SetLines({line});
    EXPECT_FALSE(project->IsAutoRun()) << line;
  }
}

TEST(GetTargetDir, EndsInTheDelimiterAndCreatesNothingForFtpPaths) {
  TempDir dir;
  auto project = MakeProject(dir);
  EXPECT_EQ(project->GetTargetDir(), "") << "no target gives no directory";
  project->Options().Set("Target", "/www");
  EXPECT_EQ(project->GetTargetDir(), "/www/");
  project->Options().Set("Target", "/www/");
  EXPECT_EQ(project->GetTargetDir(), "/www/");
  project->Options().Set("Target", dir.dir() + "remote/site");
  EXPECT_EQ(project->GetTargetDir(), dir.dir() + "remote/site/");
  EXPECT_FALSE(std::filesystem::exists(dir.dir() + "remote")) << "an FTP path is never created locally";
}

TEST(GetTargetDir, WithBackslashDelimiterCreatesTheLocalFolderSilently) {
  TempDir dir;
  auto project = MakeProject(dir);
  project->PathDelimiter = '\\';
  project->Options().Set("Target", dir.dir() + "out/deep");
  EXPECT_EQ(project->GetTargetDir(), dir.dir() + "out/deep\\");
  EXPECT_TRUE(std::filesystem::is_directory(dir.dir() + "out/deep"));

  std::string file = dir.Write("plain", "x");
  project->Options().Set("Target", file + "/below");
  EXPECT_EQ(project->GetTargetDir(), file + "/below\\") << "a folder that cannot be made is no error";
}

}  // namespace
