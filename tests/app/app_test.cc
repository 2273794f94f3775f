#include "app/app.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

TEST(TrkApp, ExeNameIsTheFullPathOfTheRunningProgram) {
  const char* argv[] = {"app_tests_renamed_in_argv", nullptr};
  TrkApp app(1, argv);
  std::filesystem::path exe(app.ExeName());
  EXPECT_TRUE(exe.is_absolute()) << app.ExeName();
  EXPECT_TRUE(std::filesystem::is_regular_file(exe)) << app.ExeName();
  EXPECT_EQ(exe.filename(), "app_tests") << "the program file, whatever argv[0] says";
}

TEST(TrkApp, ParamIsTheFirstArgumentOnly) {
  const char* argv[] = {"dropvan", "/srv/site with blanks", "-P:Port=21", nullptr};
  TrkApp app(3, argv);
  EXPECT_EQ(app.Param(), "/srv/site with blanks");
}

TEST(TrkApp, ParamIsEmptyWithoutArguments) {
  const char* argv[] = {"dropvan", nullptr};
  EXPECT_EQ(TrkApp(1, argv).Param(), "");
  EXPECT_EQ(TrkApp(0, argv).Param(), "");
}

}  // namespace
