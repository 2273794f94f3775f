#include "project/platform.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "support/as_ordinary_user.h"
#include "support/temp_dir.h"

namespace {

using trk_platform::ChangeExtension;
using trk_platform::LastSeparator;
using trk_platform::SideFilePath;

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(ChangeExtension, ReplacesTheNamesExtensionOrAppends) {
  EXPECT_EQ(ChangeExtension("/opt/tools/run.exe", ".batch-dropvan"), "/opt/tools/run.batch-dropvan");
  EXPECT_EQ(ChangeExtension("build/dropvan", ".batch-dropvan"), "build/dropvan.batch-dropvan");
  EXPECT_EQ(ChangeExtension("/a.b/dropvan", ".ext"), "/a.b/dropvan.ext") << "a dot in a folder is no extension";
  EXPECT_EQ(ChangeExtension("/a/x.tar.gz", ".ext"), "/a/x.tar.ext");
  EXPECT_EQ(ChangeExtension("/a/.dropvan", ".ext"), "/a/.dropvan.ext") << "a leading dot marks a hidden name";
  EXPECT_EQ(ChangeExtension("dropvan", ".pdf"), "dropvan.pdf");
}

TEST(PathSeparators, OnlySlashOnPosix) {
  EXPECT_EQ(LastSeparator("/srv/site/*.*"), 9u);
  EXPECT_EQ(LastSeparator("D:\\site\\*.*"), std::string::npos);
  EXPECT_EQ(LastSeparator("name"), std::string::npos);
  EXPECT_FALSE(trk_platform::IsPathSeparator(':'));
}

TEST(PathKey, KeepsLetterCaseWhereTheFileSystemDoes) {
  EXPECT_EQ(trk_platform::PathKeyText("/srv/Site/A.txt"), "/srv/Site/A.txt");
  EXPECT_NE(trk_platform::PathKeyText("/srv/a.txt"), trk_platform::PathKeyText("/srv/A.txt"));
}

TEST(SideFiles, LiveBesideAProgramWhoseFolderIsWritable) {
  testing_support::TempDir dir;
  EXPECT_EQ(SideFilePath(dir.dir() + "dropvan"), dir.dir() + "dropvan");
}

// Root may write /usr/bin; an installed program still keeps its files with the user.
TEST(SideFiles, AnInstalledProgramKeepsThemInTheConfigurationFolderEvenWhenItsFolderIsWritable) {
  testing_support::TempDir dir;
  std::filesystem::create_directories(dir.path() / "usr/bin");
  ScopedEnv xdg("XDG_CONFIG_HOME", (dir.dir() + "config").c_str());
  EXPECT_EQ(SideFilePath(dir.dir() + "usr/bin/dropvan"), dir.dir() + "usr/bin/dropvan") << "no package beside it";
  std::filesystem::create_directories(dir.path() / "usr/share/doc/dropvan");
  EXPECT_EQ(SideFilePath(dir.dir() + "usr/bin/dropvan"), dir.dir() + "config/dropvan/dropvan");
}

TEST(SideFiles, MoveToTheConfigurationFolderWhenTheProgramFolderIsMissing) {
  testing_support::TempDir dir;
  const std::string exe = dir.dir() + "missing/bin/dropvan";
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", (dir.dir() + "config").c_str());
    EXPECT_EQ(SideFilePath(exe), dir.dir() + "config/dropvan/dropvan");
  }
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", "relative/config");
    ScopedEnv home("HOME", (dir.dir() + "home").c_str());
    EXPECT_EQ(SideFilePath(exe), dir.dir() + "home/.config/dropvan/dropvan")
        << "a relative XDG_CONFIG_HOME is ignored";
  }
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
    ScopedEnv home("HOME", nullptr);
    EXPECT_EQ(SideFilePath(exe), exe) << "with nowhere else to go the program folder is kept";
  }
}

TEST(SideFiles, MoveToTheConfigurationFolderWhenTheProgramFolderIsReadOnly) {
  testing_support::TempDir dir;
  testing_support::LetOrdinaryUserIn(dir.path());
  std::string bin = dir.dir() + "bin";
  ASSERT_EQ(mkdir(bin.c_str(), 0555), 0);
  ScopedEnv xdg("XDG_CONFIG_HOME", (dir.dir() + "config").c_str());
  // Root may write to any folder, so the choice is made as an ordinary user.
  EXPECT_EQ(testing_support::RunAsOrdinaryUser([&] { return SideFilePath(bin + "/dropvan"); }),
            dir.dir() + "config/dropvan/dropvan");
}

}  // namespace
