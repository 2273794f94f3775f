// Where a console run shows its progress: a terminal gets the line redrawn
// (run_options_test.cc runs the program on one), a CI job's log a plain line
// now and then, anything else nothing.
#include "app/progress_line.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "batch/batch.h"
#include "project/project.h"

namespace {

TEST(ProgressLineTest, ACiJobsLogGetsAPlainLineAtEachIntervalAndOtherPipesNothing) {
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  const struct Row {
    const char* ci;  // null: unset
    bool logged;
  } rows[] = {{nullptr, false}, {"", false}, {"false", false}, {"0", false}, {"true", true}, {"1", true}};
  for (const Row& row : rows) {
    if (row.ci != nullptr) {
      setenv("CI", row.ci, 1);
    } else {
      unsetenv("CI");
    }
    const auto style = TrkProgressLine::WantedOn(pipe_ends[1]);
    EXPECT_EQ(style == TrkProgressLine::Style::kLogged, row.logged) << (row.ci ? row.ci : "unset");
    EXPECT_NE(style, TrkProgressLine::Style::kRedrawn) << "a pipe is no terminal";
  }
  unsetenv("CI");

  TrkProject project("");
  auto batch = TrkBatch::Create(project, nullptr);
  batch->AddSingle("/srv/site/index.html");
  {
    TrkProgressLine line(*batch, pipe_ends[1], TrkProgressLine::Style::kLogged, std::chrono::milliseconds(40));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  close(pipe_ends[1]);
  std::string logged;
  char buffer[4096];
  for (ssize_t n; (n = read(pipe_ends[0], buffer, sizeof buffer)) > 0;) logged.append(buffer, static_cast<size_t>(n));
  close(pipe_ends[0]);
  EXPECT_GE(std::count(logged.begin(), logged.end(), '\n'), 2) << logged;
  EXPECT_LE(std::count(logged.begin(), logged.end(), '\n'), 6) << "more often than asked: " << logged;
  EXPECT_EQ(logged.rfind("0 of 1 files", 0), 0u) << logged;
  EXPECT_EQ(logged.find_first_of("\r\x1b"), std::string::npos) << "control characters in a log: " << logged;
  EXPECT_EQ(logged.back(), '\n');
}

}  // namespace
