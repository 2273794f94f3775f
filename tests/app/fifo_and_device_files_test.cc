// Files the program reads at start that are FIFOs or devices: it must never wait
// on one. A project file that is not a regular file is refused with a message;
// the recent list, an auxiliary file, is passed over silently.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "dropvan_process.h"
#include "support/temp_dir.h"

namespace {

using testing_support::DropvanCopy;
using testing_support::ProcessResult;
using testing_support::TempDir;

enum class Reads { kNamedProject, kDefaultProject, kRecentList };

struct Row {
  const char* what;
  Reads file;
  const char* node;  // "fifo", or the device a link points to
  int exit_code;
};

TEST(FifoAndDeviceFiles, AreNeverWaitedOnAndAProjectFileThatIsOneIsRefused) {
  for (const Row& row : {Row{"named project file", Reads::kNamedProject, "fifo", 1},
                         Row{"named project file", Reads::kNamedProject, "/dev/zero", 1},
                         Row{"default project", Reads::kDefaultProject, "fifo", 1},
                         Row{"recent list", Reads::kRecentList, "fifo", 0}}) {
    DropvanCopy app;
    TempDir work;
    const std::string named = work.dir() + "site.batch-dropvan";
    std::string node_path = named;
    if (row.file == Reads::kDefaultProject) node_path = app.DefaultProject();
    if (row.file == Reads::kRecentList) {
      node_path = app.RecentList();
      // An empty console run, so that only the recent list can make it fail.
      std::filesystem::create_directory(work.path() / "site");
      app.WriteProject(named, {"Source=" + work.dir() + "site/*", "Target=/www/", "PureConsole=True"});
    }
    if (std::string(row.node) == "fifo") {
      ASSERT_EQ(mkfifo(node_path.c_str(), 0600), 0) << node_path;
    } else {
      std::filesystem::create_symlink(row.node, node_path);
    }
    std::vector<std::string> args;
    if (row.file != Reads::kDefaultProject) args.push_back(named);

    ProcessResult run = app.Run(args, work.path().string(), std::chrono::seconds(20));
    ASSERT_FALSE(run.timed_out) << "the program waited on the " << row.what << " (" << row.node << ")";
    EXPECT_EQ(run.exit_code, row.exit_code) << row.what << " (" << row.node << "): " << run.err;
    if (row.exit_code == 1) {
      EXPECT_EQ(run.err, "Dropvan: The project file \"" + node_path + "\" is not a regular file\n") << row.node;
    } else {
      EXPECT_EQ(run.err, "Source " + work.dir() + "site lists no files\n") << row.what;
    }
  }
}

}  // namespace
