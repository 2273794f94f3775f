#include "batch/batch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "fakes.h"
#include "select/match.h"
#include "support/temp_dir.h"

using batch_testing::WaitUntil;
using testing_support::TempDir;

namespace {

class BatchTest : public ::testing::Test {
 protected:
  TrkProject project_{""};
  TrkMatch filter_;
  TempDir dir_;
};

// ---- UrlToPath ----

TEST(UrlToPathTest, DriveFormKeepsItsColonAndGetsNoPrefix) {
  EXPECT_EQ(TrkBatch::UrlToPath("file:///C:/web/index.html"), "C:/web/index.html");
}

TEST(UrlToPathTest, HostFormBecomesANetworkPath) {
  EXPECT_EQ(TrkBatch::UrlToPath("file://server/share/page.html"), "//server/share/page.html");
  EXPECT_EQ(TrkBatch::UrlToPath("file://10.0.0.5/d/page.html"), "//10.0.0.5/d/page.html");
}

TEST(UrlToPathTest, LeadingDigitGetsThePrefixEvenWithAColon) {
  EXPECT_EQ(TrkBatch::UrlToPath("file://1.2.3.4:21/x"), "//1.2.3.4:21/x");
}

TEST(UrlToPathTest, OtherTextsComeBackUnchanged) {
  EXPECT_EQ(TrkBatch::UrlToPath("FILE:///C:/web/index.html"), "FILE:///C:/web/index.html");
  EXPECT_EQ(TrkBatch::UrlToPath("/home/user/site/*.*"), "/home/user/site/*.*");
  EXPECT_EQ(TrkBatch::UrlToPath("/www/"), "/www/");
  EXPECT_EQ(TrkBatch::UrlToPath(""), "");
  EXPECT_EQ(TrkBatch::UrlToPath("http://example.org/file:x"), "http://example.org/file:x");
}

TEST(UrlToPathTest, SchemeAloneGivesAnEmptyText) {
  EXPECT_EQ(TrkBatch::UrlToPath("file:"), "");
  EXPECT_EQ(TrkBatch::UrlToPath("file:///"), "");
}

// ---- Start and the search ----

TEST_F(BatchTest, StartSplitsANetworkSourceIntoFolderAndMask) {
  auto batch = TrkBatch::Create(project_, &filter_);
  batch->Terminate();  // nothing to walk: the share does not exist here
  batch->Start("file://server/share/*.*", "file:///C:/out/", true);
  EXPECT_EQ(batch->SourceDir(), "//server/share/");
  EXPECT_EQ(batch->Mask(), "*.*");
  EXPECT_EQ(batch->TargetDir(), "C:/out/");
  EXPECT_TRUE(batch->Recurse());
}

// The walk hands its files over a chunk at a time: whatever their number, each
// is an item once, with its event, in walk order.
TEST_F(BatchTest, AFolderGivesOneItemPerFileInWalkOrder) {
  for (int files : {3, 64, 65, 200}) {
    SCOPED_TRACE(std::to_string(files) + " files");
    testing_support::TempDir dir;
    std::vector<std::string> names;
    for (int i = 0; i < files; ++i) names.push_back(dir.Write("f" + std::to_string(1000 + i) + ".txt", "x"));
    auto batch = TrkBatch::Create(project_, &filter_);
    std::vector<std::string> added;  // search thread only, read after WaitForSearch
    std::vector<int> added_index;
    batch->SetOnItemAdded([&](TrkBatch& b, TrkNode& item) {
      EXPECT_EQ(&b, batch.get());
      EXPECT_EQ(item.State, TrkNode::kRunning);
      EXPECT_EQ(item.ResultText(), "");
      added.emplace_back(item.FileName());
      added_index.push_back(item.Index);
    });
    batch->Start(dir.dir() + "*.*", "/www/", false);
    batch->WaitForSearch();

    ASSERT_TRUE(batch->SearchDone());
    ASSERT_EQ(batch->Count(), files);
    EXPECT_EQ(added, names);
    for (int i = 0; i < files; ++i) EXPECT_EQ(added_index[i], i);
    EXPECT_EQ(batch->SourceDir(), dir.dir());
    for (int i = 0; i < files; ++i) {
      TrkNode* item = batch->NextItem();
      ASSERT_NE(item, nullptr) << "item " << i;
      EXPECT_EQ(item->Index, i);
      EXPECT_EQ(item->FileName(), names[i]);
    }
    EXPECT_FALSE(batch->IsExhausted());
    EXPECT_EQ(batch->NextItem(), nullptr);
    EXPECT_TRUE(batch->IsExhausted());
  }
}

TEST_F(BatchTest, SearchAppliesMaskAndRegExtFromTheProject) {
  dir_.Write("keep.html", "");
  dir_.Write("drop.js", "");
  dir_.Write("sub/also.HTML", "");
  project_.Options().Set("RegExt", "\\.html$");
  auto batch = TrkBatch::Create(project_, &filter_);
  batch->Start(dir_.dir() + "*.*", "/", true);
  batch->WaitForSearch();
  std::set<std::string> names;
  for (const TrkNode& item : TrkBatchLock(*batch).Items()) names.emplace(item.FileName());
  EXPECT_EQ(names, (std::set<std::string>{dir_.dir() + "keep.html", dir_.dir() + "sub/also.HTML"}));
}

TEST_F(BatchTest, SourceMatchingNoFileGivesACompleteEmptyBatch) {
  auto batch = TrkBatch::Create(project_, &filter_);
  batch->Start(dir_.dir() + "*.none", "/", true);
  EXPECT_EQ(batch->NextItem(), nullptr);  // waits for the search, then none
  EXPECT_TRUE(batch->IsExhausted());
  EXPECT_EQ(batch->Count(), 0);
}

TEST_F(BatchTest, ABatchIsSearchedOnlyOnce) {
  dir_.Write("a.txt", "");
  auto batch = TrkBatch::Create(project_, &filter_);
  batch->Start(dir_.dir() + "*.*", "/", false);
  batch->WaitForSearch();
  dir_.Write("b.txt", "");
  batch->Start(dir_.dir() + "*.*", "/", false);
  batch->WaitForSearch();
  EXPECT_EQ(batch->Count(), 1);
}

TEST_F(BatchTest, TerminateDuringTheWalkKeepsWhatWasFoundAndCompletesTheList) {
  for (int d = 0; d < 40; ++d) {
    for (int f = 0; f < 5; ++f) dir_.Write("d" + std::to_string(d) + "/f" + std::to_string(f) + ".txt", "");
  }
  auto batch = TrkBatch::Create(project_, &filter_);
  std::atomic<int> seen{0};
  batch->SetOnItemAdded([&](TrkBatch& b, TrkNode&) {
    if (seen.fetch_add(1) + 1 == 3) b.Terminate();
  });
  batch->Start(dir_.dir() + "*.*", "/", true);
  ASSERT_TRUE(WaitUntil([&] { return batch->SearchDone(); })) << "the search never marked the list complete";
  int found = batch->Count();
  EXPECT_GE(found, 3);
  EXPECT_LT(found, 200) << "the walk went on after Terminate";
  for (int i = 0; i < found; ++i) ASSERT_NE(batch->NextItem(), nullptr);
  EXPECT_EQ(batch->NextItem(), nullptr);
}

// The walk is held at its first item until the owner has let go of the batch:
// the destruction must stop it there and wait for it, not leave it walking on
// freed memory to the end.
TEST_F(BatchTest, DestroyingABatchStopsItsSearch) {
  for (int d = 0; d < 30; ++d) {
    for (int f = 0; f < 10; ++f) dir_.Write("d" + std::to_string(d) + "/f" + std::to_string(f), "");
  }
  std::atomic<int> added{0};
  auto batch = TrkBatch::Create(project_, &filter_);
  batch->SetOnItemAdded([&added](TrkBatch& b, TrkNode&) {
    if (added.fetch_add(1) == 0) WaitUntil([&b] { return b.weak_from_this().expired(); });
  });
  batch->Start(dir_.dir() + "*", "/", true);
  ASSERT_TRUE(WaitUntil([&] { return added.load() > 0; })) << "the walk found nothing";
  batch.reset();
  EXPECT_LT(added.load(), 300) << "the walk went on to the end after the batch was destroyed";
}

// ---- Single files ----

TEST_F(BatchTest, SingleFilesPassTheFilterWhateverTheirNameAndCompleteTheList) {
  auto batch = TrkBatch::Create(project_, &filter_);
  int added = 0;
  batch->SetOnItemAdded([&](TrkBatch&, TrkNode&) { ++added; });
  batch->AddSingle("/somewhere/no_dot_at_all");
  EXPECT_TRUE(batch->SearchDone());
  batch->AddSingle("/elsewhere/x.bin");
  EXPECT_EQ(batch->Count(), 2);
  EXPECT_EQ(added, 2);
  EXPECT_EQ(batch->SourceDir(), "");
  EXPECT_EQ(batch->NextItem()->FileName(), "/somewhere/no_dot_at_all");
  EXPECT_EQ(batch->NextItem()->Index, 1);
  EXPECT_EQ(batch->NextItem(), nullptr);
}

TEST_F(BatchTest, AcceptsUsesTheMaskOnTheWholePath) {
  dir_.Write("a.txt", "");
  auto batch = TrkBatch::Create(project_, &filter_);
  batch->Start(dir_.dir() + "*.TXT", "/", false);
  batch->WaitForSearch();
  EXPECT_TRUE(batch->Accepts("/x/y/name.txt"));
  EXPECT_FALSE(batch->Accepts("/x/y/name.txtx"));
  auto open = TrkBatch::Create(project_, nullptr);
  open->Start(dir_.dir() + "*.TXT", "/", false);
  EXPECT_TRUE(open->Accepts("/x/y/name.txtx")) << "without a filter every file passes";
}

// ---- Handing out ----

TEST_F(BatchTest, OneItemTwoCallersOneGetsItTheOtherNone) {
  auto batch = TrkBatch::Create(project_, nullptr);
  batch->AddSingle("/f");
  std::atomic<int> got{0}, none{0};
  auto draw = [&] { (batch->NextItem() != nullptr ? got : none).fetch_add(1); };
  std::thread a(draw), b(draw);
  a.join();
  b.join();
  EXPECT_EQ(got.load(), 1);
  EXPECT_EQ(none.load(), 1);
  EXPECT_TRUE(batch->IsExhausted());
}

// A worker's own item (a file it deleted on the way) shows in the list
// whenever it is added, and is never handed to anyone.
TEST_F(BatchTest, TakenItemsAreNeverHandedOutWhenAddedWhateverIsLeft) {
  auto batch = TrkBatch::Create(project_, nullptr);
  batch->Add("/a");
  ASSERT_EQ(batch->NextItem()->FileName(), "/a");
  batch->AddTaken("/taken-when-nothing-was-left");
  batch->Add("/b");
  batch->AddTaken("/taken-with-b-left");
  batch->Add("/c");
  batch->MarkSearchDone();
  std::vector<std::string> handed;
  while (TrkNode* item = batch->NextItem()) handed.emplace_back(item->FileName());
  EXPECT_EQ(handed, (std::vector<std::string>{"/b", "/c"}));
  EXPECT_EQ(5, batch->Count());
  EXPECT_EQ(3, batch->Listed());
}

TEST_F(BatchTest, NextItemWaitsWhileTheListMayStillGrow) {
  auto batch = TrkBatch::Create(project_, nullptr);
  std::atomic<TrkNode*> got{nullptr};
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    got = batch->NextItem();
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(returned.load()) << "NextItem gave up before the list was complete";
  batch->AddSingle("/late");
  worker.join();
  ASSERT_NE(got.load(), nullptr);
  EXPECT_EQ(got.load()->FileName(), "/late");
  EXPECT_FALSE(batch->IsExhausted());
}

TEST_F(BatchTest, AStopRequestEndsTheWaitWithoutExhaustingTheBatch) {
  auto batch = TrkBatch::Create(project_, nullptr);
  std::atomic<bool> stop{false};
  std::thread worker([&] { EXPECT_EQ(batch->NextItem(&stop), nullptr); });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  stop = true;
  worker.join();
  EXPECT_FALSE(batch->IsExhausted());
  batch->AddSingle("/after");
  EXPECT_NE(batch->NextItem(&stop), nullptr) << "an item that is there is handed out even to a stopped caller";
}

// ---- Counters and the lock ----

TEST_F(BatchTest, FailureTextsDifferingInCaseAreKeptOnceAsFirstSpelled) {
  auto batch = TrkBatch::Create(project_, nullptr);
  batch->RecordFailure("[Error]Upload file failure");
  batch->RecordFailure("[ERROR]upload FILE failure");
  batch->RecordFailure("[Error]Connect to x failure");
  batch->RecordSuccess();
  batch->AddBytesSent(3);
  batch->AddBytesSent(4);
  EXPECT_EQ(batch->Failed(), 3);
  EXPECT_EQ(batch->Succeeded(), 1);
  EXPECT_EQ(batch->BytesSent(), 7u) << "the bytes of every file sent";
  EXPECT_EQ(batch->ErrorTexts(),
            (std::vector<std::string>{"[Error]Upload file failure", "[Error]Connect to x failure"}));
}

TEST_F(BatchTest, TheBatchLockIsRecursiveAndExcludesOtherThreads) {
  auto batch = TrkBatch::Create(project_, nullptr);
  batch->AddSingle("/f");
  std::atomic<bool> counted{false};
  std::thread other;
  {
    TrkBatchLock lock(*batch);
    EXPECT_EQ(batch->Count(), 1) << "the holder could not take the lock again";
    batch->RecordSuccess();
    other = std::thread([&] {
      batch->RecordFailure("x");
      counted = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(counted.load()) << "another thread changed a counter under our lock";
  }
  other.join();
  EXPECT_EQ(batch->Failed(), 1);
}

}  // namespace
