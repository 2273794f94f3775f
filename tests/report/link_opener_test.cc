#include "report/link_opener.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace {

// Sets environment variables for one test and restores them afterwards.
class ScopedEnv {
 public:
  void Set(const char* name, const char* value) {
    const char* old = getenv(name);
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        unsetenv(it->first.c_str());
      }
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A stand-in xdg-open that records its argument instead of opening anything.
std::string FakeHandler(const testing_support::TempDir& dir) {
  std::string script = dir.Write("bin/xdg-open", "#!/bin/sh\nPATH=/usr/bin:/bin\nprintf '%s' \"$1\" > \"" + dir.dir() + "opened.tmp\"\n"
                                 "mv \"" + dir.dir() + "opened.tmp\" \"" + dir.dir() + "opened\"\n");
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  return dir.dir() + "bin";
}

TEST(SystemOpenerTest, WithoutDisplayTheLinkIsDropped) {
  testing_support::TempDir dir;
  ScopedEnv env;
  env.Set("PATH", FakeHandler(dir).c_str());
  env.Set("DISPLAY", nullptr);
  env.Set("WAYLAND_DISPLAY", nullptr);
  EXPECT_FALSE(TrkSystemOpener().Open("https://dropvan.example"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "opened"));
}

TEST(SystemOpenerTest, WithoutHandlerTheLinkIsDropped) {
  testing_support::TempDir dir;
  ScopedEnv env;
  env.Set("PATH", dir.dir().c_str());
  env.Set("DISPLAY", ":99");
  EXPECT_FALSE(TrkSystemOpener().Open("https://dropvan.example"));
}

TEST(SystemOpenerTest, HandsTheLinkToTheHandlerDetachedWithoutZombie) {
  testing_support::TempDir dir;
  ScopedEnv env;
  env.Set("PATH", FakeHandler(dir).c_str());
  env.Set("DISPLAY", nullptr);
  env.Set("WAYLAND_DISPLAY", "wayland-test");
  std::string link = "mailto:support@dropvan.example?subject=Support required for Dropvan 1 - 2";
  EXPECT_TRUE(TrkSystemOpener().Open(link));

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!std::filesystem::exists(dir.path() / "opened") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(link, dir.Read("opened")) << "the link must reach the handler as one argument";
  EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG)) << "no child of ours may be left to reap";
  EXPECT_EQ(ECHILD, errno);
}

}  // namespace
