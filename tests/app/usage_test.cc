// "--help" and "--version": answered on standard output with exit code 0 before
// anything is loaded, so neither the program's folder nor the user's
// configuration folder gains a file.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <set>
#include <sstream>

#include "app/program.h"
#include "dropvan_process.h"
#include "support/temp_dir.h"

namespace {

using testing_support::DropvanCopy;
using testing_support::ProcessResult;
using testing_support::TempDir;

// Every path below `root`, relative to it.
std::set<std::string> PathsBelow(const std::filesystem::path& root) {
  std::set<std::string> paths;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    paths.insert(std::filesystem::relative(entry.path(), root).string());
  }
  return paths;
}

TEST(UsageTest, HelpAndVersionAnswerOnStandardOutputAndWriteNothing) {
  struct Row {
    std::string arg;
    std::vector<std::string> out_has;  // parts of standard output; empty: nothing printed
    bool whole_out;                    // out_has[0] is the whole of standard output
    bool writes;                       // side files appear (the check can see a write)
  };
  const std::string version = std::string("Dropvan ") + kTrkVersion + "\n";
  for (const Row& row : {Row{"--help",
                             {"Usage: dropvan [PROJECT.batch-dropvan | \"-P:NAME=VALUE,...\"", "--version",
                              "PureConsole=True", "man dropvan", "$XDG_CONFIG_HOME/dropvan"},
                             false,
                             false},
                         Row{"--version", {version}, true, false},
                         Row{"-U", {}, true, true}}) {
    DropvanCopy app;
    TempDir home;
    app.SetEnv("HOME=" + home.path().string());
    app.SetEnv("XDG_CONFIG_HOME=" + home.dir() + "config");
    const std::set<std::string> program_folder = PathsBelow(app.dir());
    ProcessResult run = app.Run({row.arg});
    EXPECT_EQ(0, run.exit_code) << row.arg << ": " << run.err;
    EXPECT_EQ("", run.err) << row.arg;
    if (row.whole_out) {
      EXPECT_EQ(row.out_has.empty() ? "" : row.out_has[0], run.out) << row.arg;
    }
    for (const std::string& part : row.out_has) {
      EXPECT_NE(std::string::npos, run.out.find(part)) << row.arg << " must print " << part << ":\n" << run.out;
    }
    EXPECT_EQ(row.writes, PathsBelow(app.dir()) != program_folder) << row.arg << ": files beside the program";
    EXPECT_TRUE(PathsBelow(home.path()).empty()) << row.arg << ": files in the configuration folder";
  }
}

// "dropvan --version >/dev/full" in a script must not pass for success.
TEST(UsageTest, AnAnswerThatCannotBeWrittenExitsOne) {
  const char* argv[] = {"dropvan", "--version", nullptr};
  std::ostringstream err;
  std::cout.setstate(std::ios::badbit);
  const int exit_code = TrkProgramMain(2, argv, err);
  std::cout.clear();
  EXPECT_EQ(1, exit_code);
}

}  // namespace
