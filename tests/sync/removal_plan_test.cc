// The deletion choice and the DeleteTo check alone, without a server: which
// recorded files a run deletes given what lstat says of their local paths,
// and which DeleteTo values could land a moved file on the site.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "project/error.h"
#include "sync/removals.h"

namespace {

// The deletion choice alone: given the record, what lstat says of each local
// path, the listed folder, Target and the options, which server files go
// (and where), which folders are then tried, or why nothing at all goes.
TEST(RemovalPlanTest, ChoosesWhatIsCertainlyGoneAndRefusesWhatIsInDoubt) {
  using Kind = TrkLocalKind;
  struct Recorded {
    std::string local, remote;
    Kind now;
  };
  struct Row {
    const char* name;
    std::vector<Recorded> recorded;
    std::vector<std::string> unread = {};
    std::unordered_set<std::string> listed = {};  // server paths the run's listed files go to
    int limit = 50;
    std::string move_to = "";
    std::vector<std::string> deleted = {};  // remote paths, " -> " where moved
    std::vector<std::string> folders = {};
    std::string refusal = "";  // its beginning
  };
  const Recorded gone_a{"/src/a.html", "/www/a.html", Kind::kMissing};
  const Recorded gone_b{"/src/sub/b.html", "/www/sub/b.html", Kind::kMissing};
  const Recorded gone_c{"/src/sub/c.html", "/www/sub/c.html", Kind::kMissing};
  const Row rows[] = {
      {.name = "missing files go, deepest folders first, and Target stays even when emptied",
       .recorded = {gone_a, gone_b, {"/src/x/y/z.html", "/www/x/y/z.html", Kind::kMissing}},
       .deleted = {"/www/a.html", "/www/sub/b.html", "/www/x/y/z.html"},
       .folders = {"/www/x/y", "/www/sub", "/www/x"}},
      {.name = "a file still there, or one that cannot be looked at, stays",
       .recorded = {{"/src/a.html", "/www/a.html", Kind::kPresent}, {"/src/b.html", "/www/b.html", Kind::kUnknown}}},
      {.name = "a folder in a file's place makes the file gone",
       .recorded = {{"/src/a", "/www/a", Kind::kFolder}},
       .deleted = {"/www/a"}},
      {.name = "nothing below a folder the listing could not read",
       .recorded = {gone_a, gone_b},
       .unread = {"/src/sub/"},
       .deleted = {"/www/a.html"}},
      {.name = "nothing from outside the listed folder or outside Target",
       .recorded = {{"/srcx/a.html", "/www/a.html", Kind::kMissing},
                    {"/src/", "/www/x.html", Kind::kMissing},
                    {"/src/b.html", "/other/b.html", Kind::kMissing},
                    {"/src/c.html", "/www/", Kind::kMissing}}},
      {.name = "a server file that a present local file also goes to stays",
       .recorded = {{"/src/one/a.html", "/www/a.html", Kind::kMissing},
                    {"/src/two/a.html", "/www/a.html", Kind::kPresent},
                    {"/src/three/a.html", "/www/a.html", Kind::kUnknown}}},
      {.name = "a server file a listed file goes to stays, recorded or not",
       .recorded = {gone_a, {"/src/sub/a.html", "/www/a.html", Kind::kMissing}},
       .listed = {"/www/a.html"}},
      {.name = "exactly DeleteLimit files go",
       .recorded = {gone_a, gone_b, gone_c},
       .limit = 3,
       .deleted = {"/www/a.html", "/www/sub/b.html", "/www/sub/c.html"},
       .folders = {"/www/sub"}},
      {.name = "one more than DeleteLimit: none",
       .recorded = {gone_a, gone_b, gone_c},
       .limit = 2,
       .refusal = "[Error]Deletion refused: 3 uploaded files are gone locally, more than DeleteLimit=2"},
      {.name = "files whose place a folder took are not counted against DeleteLimit",
       .recorded = {gone_a, {"/src/d", "/www/d", Kind::kFolder}},
       .limit = 1,
       .deleted = {"/www/a.html", "/www/d"}},
      {.name = "a file that stays is not counted against DeleteLimit",
       .recorded = {gone_a, {"/src/b.html", "/www/b.html", Kind::kPresent}},
       .limit = 1,
       .deleted = {"/www/a.html"}},
      {.name = "DeleteLimit=0 sets no limit", .recorded = {gone_a, gone_b, gone_c}, .limit = 0,
       .deleted = {"/www/a.html", "/www/sub/b.html", "/www/sub/c.html"}, .folders = {"/www/sub"}},
      {.name = "DeleteTo keeps the relative path",
       .recorded = {gone_a, gone_b},
       .move_to = "/attic/",
       .deleted = {"/www/a.html -> /attic/a.html", "/www/sub/b.html -> /attic/sub/b.html"},
       .folders = {"/www/sub"}},
      {.name = "a DeleteTo holding Target: none",
       .recorded = {{"/src/www/x.html", "/www/www/x.html", Kind::kMissing}},
       .move_to = "/",
       .refusal = "[Error]Deletion refused: DeleteTo \"/\" holds Target"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<TrkUploadPaths::Entry> recorded;
    std::map<std::string, Kind> now;
    for (const Recorded& file : row.recorded) {
      recorded.push_back({"KEY" + std::to_string(recorded.size()), file.local, file.remote});
      now[file.local] = file.now;
    }
    TrkRemovalOptions options;
    options.enabled = true;
    options.limit = row.limit;
    options.move_to = row.move_to;
    const TrkRemovalPlan plan = TrkPlanRemovals(options, {"/src/", "/www/", row.unread, row.listed}, recorded,
                                                [&now](const std::string& local) { return now.at(local); });
    std::vector<std::string> deleted;
    for (const TrkRemovalPlan::File& file : plan.files) {
      deleted.push_back(file.entry.remote + (file.move_to.empty() ? "" : " -> " + file.move_to));
    }
    EXPECT_EQ(row.deleted, deleted);
    EXPECT_EQ(row.folders, plan.folders);
    EXPECT_EQ(row.refusal, plan.refusal.substr(0, row.refusal.size())) << plan.refusal;
    EXPECT_EQ(row.refusal.empty(), plan.refusal.empty()) << plan.refusal;
  }
}

TEST(RemovalPlanTest, DeleteToMustLieOutsideTheTarget) {
  struct Row {
    const char* move_to;
    const char* target;
    bool refused;
    // Where the file at Target + "www/x.html" is moved, or "" where even a
    // caller that skipped the check gets no path inside Target.
    const char* lands;
  };
  const Row rows[] = {
      {"/attic", "/www/", false, "/attic/www/x.html"},
      {"/www-old", "/www/", false, "/www-old/www/x.html"},
      {"attic", "www/", false, "attic/www/x.html"},
      {"/site/old/../attic/", "/site/www/", false, "/site/old/../attic/www/x.html"},
      {"/site//attic", "/site/www/", false, "/site//attic/www/x.html"},
      {"/www", "/www/", true, ""},
      {"/www/attic", "/www/", true, ""},
      {"/www/", "/www/", true, ""},
      {"/www/./attic", "/www/", true, ""},
      {"/attic/../www/x", "/www/", true, ""},
      {"www//", "www/", true, ""},
      {"/anything", "/", true, ""},
      // Holding Target: a site folder "www/" would be moved onto Target itself.
      {"/site/", "/site/www/", true, ""},
      {"/site", "/site/www/", true, ""},
      {"/", "/www/", true, ""},
      {"/site/www/..", "/site/www/", true, ""},
      {".", "www/", true, ""},
      {"attic/..", "www/", true, ""},
      // Where these lie cannot be told before a login.
      {"attic", "/www/", true, "attic/www/x.html"},
      {"../attic", "www/", true, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.move_to) + " with Target " + row.target);
    TrkRemovalOptions options;
    options.enabled = true;
    options.move_to = row.move_to;
    bool refused = false;
    try {
      options.RequireOutside(row.target);
    } catch (const TrkError&) {
      refused = true;
    }
    EXPECT_EQ(row.refused, refused);
    std::string lands;
    try {
      lands = options.MovedPath(row.target + std::string("www/x.html"), row.target);
    } catch (const TrkError&) {
    }
    EXPECT_EQ(row.lands, lands);
  }
}

}  // namespace
