#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "fake_control.h"
#include "project/error.h"
#include "project/project.h"
#include "support/as_ordinary_user.h"
#include "support/temp_dir.h"

namespace {

using project_testing::MakeProject;
using project_testing::WindowControls;
using testing_support::TempDir;
using Lines = std::vector<std::string>;

// Loads `content` as the project file x.batch-dropvan, saves it, and returns
// what was written.
std::string LoadAndSave(const TempDir& dir, const std::string& content) {
  auto project = MakeProject(dir);
  project->SetFileName(dir.Write("x.batch-dropvan", content));
  project->Open(true);
  project->Save();
  return dir.Read("x.batch-dropvan");
}

TEST(ProjectFileRoundTrip, KeepsEveryLineInPlaceWithCrLfLineEnds) {
  TempDir dir;
  std::string content = "Source=/srv/site/*.*\r\n; a note without equals sign\n\rTarget=/www/\r\n\r\nPort=21";
  EXPECT_EQ(LoadAndSave(dir, content),
            "Source=/srv/site/*.*\r\n; a note without equals sign\r\n\r\nTarget=/www/\r\n\r\nPort=21\r\n");
}

TEST(ProjectFileRoundTrip, KeepsNulBytesBinaryGarbageAndLongLines) {
  TempDir dir;
  std::string garbage;
  for (int i = 0; i < 256; ++i) {
    if (i != '\r' && i != '\n') garbage += static_cast<char>(i);
  }
  std::string long_line = "Source=" + std::string(1 << 20, 'a');
  std::string nul_line("Ta\0rget=/w\0/", 12);
  std::string content = garbage + "\n" + long_line + "\r" + nul_line + "\r\n" + "\xff\xfe=\x80";
  EXPECT_EQ(LoadAndSave(dir, content),
            garbage + "\r\n" + long_line + "\r\n" + nul_line + "\r\n" + "\xff\xfe=\x80\r\n");
}

TEST(ProjectFileRoundTrip, EmptyFileGivesNoOptionsAndSavesEmpty) {
  TempDir dir;
  EXPECT_EQ(LoadAndSave(dir, ""), "");
}

TEST(ProjectFileLoad, MissingUnreadableOrFolderLeavesTheOptionsAsTheyWere) {
  TempDir dir;
  auto project = MakeProject(dir);
  project->Options().SetLines({"Source=/a/*.*"});
  std::vector<std::string> names = {dir.dir() + "missing.batch-dropvan", dir.dir() + "folder.batch-dropvan"};
  std::filesystem::create_directory(names[1]);
  for (const std::string& name : names) {
    project->SetFileName(name);
    project->Open(true);
    EXPECT_EQ(project->Options().Lines(), Lines{"Source=/a/*.*"}) << name;
    EXPECT_EQ(project->FileName(), name) << "the name is kept so that a save creates the file";
  }
  EXPECT_TRUE(project->RecentFiles().empty()) << "a failed load is no recent project";
}

TEST(ProjectFileLoad, AFifoDeviceOrSocketIsRefusedAtOnceWithoutReadingIt) {
  TempDir dir;
  const std::string fifo = dir.dir() + "fifo.batch-dropvan";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string device = dir.dir() + "null.batch-dropvan";
  std::filesystem::create_symlink("/dev/null", device);
  // Should the load wait for a writer, one comes after a while, so that the test
  // fails instead of hanging.
  std::promise<void> done;
  auto rescue = std::async(std::launch::async, [&fifo, finished = done.get_future()] {
    if (finished.wait_for(std::chrono::seconds(3)) == std::future_status::ready) return;
    int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) close(fd);
  });
  auto project = MakeProject(dir);
  for (const std::string& name : {fifo, device}) {
    project->Options().SetLines({"Source=/a/*.*"});
    project->SetFileName(name);
    try {
      project->Open(true);
      ADD_FAILURE() << name << " was taken as a project file";
    } catch (const TrkError& e) {
      EXPECT_EQ(std::string(e.what()), "The project file \"" + name + "\" is not a regular file");
    }
    EXPECT_EQ(project->Options().Lines(), Lines{"Source=/a/*.*"}) << name;
  }
  done.set_value();
}

TEST(ProjectFileLoad, ReplacesAllOptionsAndJoinsTheRecentList) {
  TempDir dir;
  auto project = MakeProject(dir);
  project->Options().SetLines({"Old=1"});
  project->SetFileName(dir.Write("a.batch-dropvan", "New=2\n"));
  project->Open(true);
  EXPECT_EQ(project->Options().Lines(), Lines{"New=2"});
  EXPECT_EQ(project->RecentFiles(), Lines{dir.dir() + "a.batch-dropvan"});
}

TEST(ProjectFileSave, AnEmptyTargetEditWritesNoTargetLine) {
  TempDir dir;
  WindowControls controls;  // outlives the project, which unbinds it at the end
  auto project = MakeProject(dir);
  controls.BindTo(*project);
  project->SetFileName(dir.Write("a.batch-dropvan", "Target=/www/\r\nSource=/s/*.*\r\n"));
  project->Open(true);
  EXPECT_EQ(controls.eTarget.Get("Text"), "/www/");
  controls.eTarget.Put("Text", "");
  project->Save();
  EXPECT_EQ(dir.Read("a.batch-dropvan"), "Source=/s/*.*\r\nSubdir=False\r\n");
}

TEST(ProjectFileSave, WriteErrorsReachTheCaller) {
  TempDir dir;
  auto project = MakeProject(dir);
  std::filesystem::create_directories(dir.dir() + "taken.batch-dropvan/inner");
  project->SetFileName(dir.dir() + "taken.batch-dropvan");
  project->Options().Set("Source", "/s/*.*");
  EXPECT_THROW(project->Save(), TrkError) << "a folder cannot be replaced by the project file";
  EXPECT_TRUE(std::filesystem::is_directory(dir.dir() + "taken.batch-dropvan/inner"));
}

TEST(ProjectFileSave, ThroughALinkWritesTheLinkedFileAndKeepsTheLink) {
  TempDir dir;
  std::string real = dir.Write("real/site.batch-dropvan", "Source=/old/*.*\r\n");
  std::filesystem::path link = dir.path() / "site.batch-dropvan";
  std::filesystem::create_symlink(real, link);
  auto project = MakeProject(dir);
  project->SetFileName(link.string());
  project->Open(true);
  project->Options().Set("Source", "/new/*.*");
  project->Save();
  EXPECT_TRUE(std::filesystem::is_symlink(link)) << "the link was replaced by a plain file";
  EXPECT_EQ(dir.Read("real/site.batch-dropvan"), "Source=/new/*.*\r\n");
}

TEST(ProjectFileSave, AProjectFileMarkedReadOnlyIsNotReplaced) {
  TempDir dir;
  namespace fs = std::filesystem;
  // Root may write any file, so the save runs as an ordinary user in a folder it
  // may write, on a file it may not.
  testing_support::LetOrdinaryUserIn(dir.path());
  std::string name = dir.Write("site.batch-dropvan", "Source=/old/*.*\r\n");
  fs::permissions(name, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  auto project = MakeProject(dir);
  project->SetFileName(name);
  project->Open(true);
  project->Options().Set("Source", "/new/*.*");
  std::string outcome = testing_support::RunAsOrdinaryUser([&] {
    try {
      project->Save();
    } catch (const TrkError&) {
      return "refused";
    }
    return "saved";
  });
  EXPECT_EQ(outcome, "refused") << "saving over a read-only project file must fail";
  EXPECT_EQ(dir.Read("site.batch-dropvan"), "Source=/old/*.*\r\n");
}

TEST(ProjectFileSave, ANewFileWithAPasswordIsTheOwnersAloneAnExistingOneKeepsItsMode) {
  struct Row {
    const char* password;
    int existing_mode;  // -1: no file yet
    int expected_mode;
  };
  const mode_t old_umask = umask(022);
  for (const Row& row : std::vector<Row>{{"secret", -1, 0600},
                                         {"", -1, 0644},
                                         {"secret", 0640, 0640},
                                         {"secret", 0666, 0666},
                                         {"", 0604, 0604}}) {
    TempDir dir;
    const std::string name = dir.dir() + "site.batch-dropvan";
    if (row.existing_mode >= 0) {
      dir.Write("site.batch-dropvan", "Source=/old/*.*\r\n");
      ASSERT_EQ(chmod(name.c_str(), static_cast<mode_t>(row.existing_mode)), 0);
    }
    auto project = MakeProject(dir);
    project->SetFileName(name);
    project->Options().SetLines({"Source=/s/*.*", std::string("Password=") + row.password});
    project->Save();
    struct stat info;
    ASSERT_EQ(stat(name.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, static_cast<mode_t>(row.expected_mode))
        << "Password=" << row.password << ", existing mode " << std::oct << std::max(row.existing_mode, 0)
        << " (0: a new file)";
  }
  umask(old_umask);
}

TEST(ProjectFileSave, SaveAsAsksForTheNameAndKeepsItEvenWhenWritingFails) {
  TempDir dir;
  auto project = MakeProject(dir);
  project->Options().Set("Source", "/s/*.*");
  std::string seen_filter, seen_ext, seen_start;
  std::string answer = dir.dir() + "chosen.batch-dropvan";
  project->SaveDialog = [&](const std::string& filter, const std::string& ext, std::string& name) {
    seen_filter = filter;
    seen_ext = ext;
    seen_start = name;
    name = answer;
    return true;
  };
  project->Save();
  EXPECT_EQ(seen_filter, "Dropvan Project|*.batch-dropvan");
  EXPECT_EQ(seen_ext, ".batch-dropvan");
  EXPECT_EQ(seen_start, "");
  EXPECT_EQ(dir.Read("chosen.batch-dropvan"), "Source=/s/*.*\r\n");
  EXPECT_EQ(project->RecentFiles(), Lines{answer});

  std::filesystem::create_directories(dir.dir() + "dir.batch-dropvan/inner");
  answer = dir.dir() + "dir.batch-dropvan";
  EXPECT_THROW(project->SaveAs(), TrkError);
  EXPECT_EQ(project->FileName(), answer);
}

TEST(ProjectFileSave, CancelledOrMissingSaveDialogChangesNothing) {
  TempDir dir;
  auto project = MakeProject(dir);
  project->Options().Set("Source", "/s/*.*");
  project->SaveAs();
  project->SaveDialog = [](const std::string&, const std::string&, std::string& name) {
    name = "/somewhere/else.batch-dropvan";
    return false;
  };
  project->Save();
  EXPECT_EQ(project->FileName(), "");
  EXPECT_TRUE(project->RecentFiles().empty());
}

TEST(DefaultProject, WithoutArgumentOrFileTheFirstSaveWritesTheDefaultFile) {
  TempDir dir;
  auto project = MakeProject(dir);
  project->ParseCommandLine("");
  EXPECT_EQ(project->FileName(), dir.dir() + "dropvan.batch-dropvan");
  EXPECT_TRUE(project->Options().Lines().empty());
  project->Options().Set("Target", "/www/");
  project->Save();
  EXPECT_EQ(dir.Read("dropvan.batch-dropvan"), "Target=/www/\r\n");
}

TEST(DefaultProject, AMissingNamedProjectGivesEmptyOptionsUnderThatName) {
  TempDir dir;
  dir.Write("dropvan.batch-dropvan", "Source=/default/*.*\r\n");
  auto project = MakeProject(dir);
  const std::string name = dir.dir() + "new.batch-dropvan";
  project->ParseCommandLine(name);
  EXPECT_EQ(project->FileName(), name);
  EXPECT_TRUE(project->Options().Lines().empty()) << "the default project is not loaded instead";
  project->Options().Set("Port", "2121");
  project->Save();
  EXPECT_EQ(dir.Read("new.batch-dropvan"), "Port=2121\r\n");
}

TEST(OpenWithDialog, CancelledOrMissingDialogChangesNothing) {
  TempDir dir;
  auto project = MakeProject(dir);
  project->SetFileName(dir.dir() + "a.batch-dropvan");
  project->Options().Set("Source", "/s/*.*");
  project->Open(false);
  std::string seen_filter;
  project->OpenDialog = [&](const std::string& filter, std::string& name) {
    seen_filter = filter;
    name = "/elsewhere";
    return false;
  };
  project->Open(false);
  EXPECT_EQ(seen_filter, "Dropvan Project|*.batch-dropvan|All Files (*.*)|*.*");
  EXPECT_EQ(project->FileName(), dir.dir() + "a.batch-dropvan");
  EXPECT_EQ(project->Options().Lines(), Lines{"Source=/s/*.*"});
}

TEST(OpenWithDialog, ANonProjectFileBecomesTheSource) {
  TempDir dir;
  auto project = MakeProject(dir);
  project->Options().SetLines({"Target=/www/", "Source=/old/*.*"});
  std::string picture = dir.Write("site/picture.jpg", "jpg");
  project->OpenDialog = [&](const std::string&, std::string& name) {
    name = picture;
    return true;
  };
  project->Open(false);
  EXPECT_EQ(project->FileName(), "");
  EXPECT_EQ(project->Options().Lines(), (Lines{"Target=/www/", "Source=" + picture}));
}

TEST(OpenWithDialog, ANonProjectFileWithCommandLineOptionsCannotBeOverwrittenLater) {
  TempDir dir;
  auto project = MakeProject(dir);
  project->ParseCommandLine("-P:Source=/srv/*.*,Target=/www/");
  std::string picture = dir.Write("picture.jpg", "JPEG DATA");
  project->OpenDialog = [&](const std::string&, std::string& name) {
    name = picture;
    return true;
  };
  project->Open(false);
  EXPECT_EQ(project->Options().Lines(), (Lines{"Source=/srv/*.*", "Target=/www/"}));
  EXPECT_EQ(project->FileName(), "");

  bool asked = false;
  project->SaveDialog = [&](const std::string&, const std::string&, std::string&) {
    asked = true;
    return false;
  };
  project->Save();
  EXPECT_TRUE(asked) << "a save must ask for a name";
  EXPECT_EQ(dir.Read("picture.jpg"), "JPEG DATA");
}

TEST(AutoTarget, FillsAnEmptyTargetWithTheSourceFolder) {
  TempDir dir;
  auto project = MakeProject(dir);
  project->AutoTarget = true;
  project->SetFileName("/srv/site/index.html");
  project->Open(true);
  EXPECT_EQ(project->GetTarget(), "/srv/site/");

  project->Options().Set("Target", "/keep/");
  project->SetFileName("/other/file.txt");
  project->Open(true);
  EXPECT_EQ(project->GetTarget(), "/keep/");

  auto from_command_line = MakeProject(dir);
  from_command_line->AutoTarget = true;
  from_command_line->ParseCommandLine("-P:Source=/srv/a/*.*");
  EXPECT_EQ(from_command_line->GetTarget(), "/srv/a/");
}

TEST(NewProject, ForgetsFileAndOptionsAndEmptiesTheControls) {
  TempDir dir;
  WindowControls controls;  // outlives the project, which unbinds it at the end
  auto project = MakeProject(dir);
  controls.BindTo(*project);
  project->SetFileName(dir.Write("a.batch-dropvan", "Source=/s/*.*\r\nSubdir=True\r\n"));
  project->Open(true);
  ASSERT_EQ(controls.cSubdir.Get("Checked"), "True");
  project->NewProject();
  EXPECT_EQ(project->FileName(), "");
  EXPECT_TRUE(project->Options().Lines().empty());
  EXPECT_EQ(controls.eSource.Get("Text"), "");
  EXPECT_EQ(controls.cSubdir.Get("Checked"), "False");
}

TEST(RecentList, IsReadAtCreationAndWrittenAtDestruction) {
  TempDir dir;
  dir.Write("dropvan.log", "/p/one.batch-dropvan\r/p/two.batch-dropvan\n/p/three.batch-dropvan");
  {
    auto project = MakeProject(dir);
    EXPECT_EQ(project->RecentListName(), dir.dir() + "dropvan.log");
    EXPECT_EQ(project->RecentFiles(),
              (Lines{"/p/one.batch-dropvan", "/p/two.batch-dropvan", "/p/three.batch-dropvan"}));
    project->SetFileName("/p/four.batch-dropvan");
    project->AddToRecent();
  }
  EXPECT_EQ(dir.Read("dropvan.log"),
            "/p/four.batch-dropvan\r\n/p/one.batch-dropvan\r\n/p/two.batch-dropvan\r\n/p/three.batch-dropvan\r\n");
}

TEST(RecentList, HoldsEachPathOnceWhateverItsLetterCaseAndKeepsItsPlace) {
  TempDir dir;
  auto project = MakeProject(dir);
  for (const char* name : {"/p/A.batch-dropvan", "/p/b.batch-dropvan", "/P/a.BATCH-dropvan", "/p/b.batch-dropvan"}) {
    project->SetFileName(name);
    project->AddToRecent();
  }
  EXPECT_EQ(project->RecentFiles(), (Lines{"/p/b.batch-dropvan", "/p/A.batch-dropvan"}));

  project->SetFileName(dir.dir() + "c.batch-dropvan");
  project->Save();
  project->Save();
  project->SetFileName("/p/b.batch-dropvan");
  project->AddToRecent();
  EXPECT_EQ(project->RecentFiles().front(), dir.dir() + "c.batch-dropvan")
      << "saving a listed project again does not move it";
}

TEST(RecentList, UnreadableOrUnwritableListIsIgnored) {
  TempDir dir;
  std::filesystem::create_directory(dir.dir() + "dropvan.log");
  dir.Write("dropvan.log/inner", "x");
  {
    auto project = MakeProject(dir);
    EXPECT_TRUE(project->RecentFiles().empty());
    project->SetFileName("/p/a.batch-dropvan");
    project->AddToRecent();
  }  // the destructor cannot replace the folder and must not throw
  EXPECT_TRUE(std::filesystem::is_directory(dir.dir() + "dropvan.log"));
}

}  // namespace
