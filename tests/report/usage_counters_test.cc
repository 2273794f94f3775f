#include "report/usage_counters.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "project/error.h"
#include "support/temp_dir.h"

namespace {

TEST(UsageCountersTest, AddWithValueZeroAddsTheIncrement) {
  TrkUsageCounters counters;
  EXPECT_TRUE(counters.Add("R", 0, 1));
  EXPECT_TRUE(counters.Add("R", 0, 1));
  EXPECT_TRUE(counters.Add("A", -5, 7));
  EXPECT_EQ("2", counters.Get("R"));
  EXPECT_EQ("7", counters.Get("A"));
}

TEST(UsageCountersTest, PositiveValueReplacesTheCounter) {
  TrkUsageCounters counters;
  counters.Add("S", 0, 10);
  EXPECT_TRUE(counters.Add("S", 3, 100));
  EXPECT_EQ("3", counters.Get("S"));
  EXPECT_FALSE(counters.Add("S", 3, 100)) << "same text again is no change";
}

TEST(UsageCountersTest, AddingZeroCreatesAMissingCounterOnlyOnce) {
  TrkUsageCounters counters;
  EXPECT_TRUE(counters.Add("F", 0, 0));
  EXPECT_EQ("0", counters.Get("F"));
  EXPECT_FALSE(counters.Add("F", 0, 0));
  counters.Add("F", 0, 2);
  EXPECT_FALSE(counters.Add("F", 0, 0));
  EXPECT_EQ("2", counters.Get("F"));
}

TEST(UsageCountersTest, NonNumericValueCountsAsZeroAndIsRewritten) {
  TrkUsageCounters counters;
  counters.Set("C", "lots");
  EXPECT_TRUE(counters.Add("C", 0, 0));
  EXPECT_EQ("0", counters.Get("C"));
  counters.Set("C", "");
  EXPECT_TRUE(counters.Add("C", 0, 1));
  EXPECT_EQ("1", counters.Get("C"));
}

TEST(UsageCountersTest, HugeCounterSaturatesInsteadOfWrapping) {
  TrkUsageCounters counters;
  counters.Set("A", "9223372036854775807");
  counters.Add("A", 0, 1);
  EXPECT_EQ("9223372036854775807", counters.Get("A"));
}

TEST(UsageCountersTest, CounterTextListsCapitalEntriesInOrder) {
  TrkUsageCounters counters;
  counters.Set("v", "2");
  counters.Add("R", 0, 12);
  counters.Add("C", 0, 3);
  counters.Set("x", "9");
  counters.Add("H", 0, 1);
  counters.Set("Z", "4");
  EXPECT_EQ("r12c3h1z4", counters.CounterText());
}

TEST(UsageCountersTest, FormatMarkDoesNotTouchCapitalV) {
  TrkUsageCounters counters;
  counters.Add("V", 0, 5);
  counters.Set("v", "2");
  EXPECT_EQ("5", counters.Get("V"));
  EXPECT_EQ("2", counters.Get("v"));
}

TEST(ScrambleTest, RoundTripsAndHidesThePlainText) {
  std::string plain = "v=2\r\nR=12\r\nC=3\r\n";
  std::string scrambled = TrkScramble(plain);
  EXPECT_EQ(std::string::npos, scrambled.find("R=12"));
  EXPECT_EQ(std::string::npos, scrambled.find("v=2"));
  ASSERT_TRUE(TrkUnscramble(scrambled).has_value());
  EXPECT_EQ(plain, *TrkUnscramble(scrambled));
}

TEST(ScrambleTest, RejectsDamagedOrForeignData) {
  std::string scrambled = TrkScramble("R=12\r\n");
  std::string damaged = scrambled;
  damaged.back() ^= 0x01;
  EXPECT_FALSE(TrkUnscramble(damaged).has_value());
  EXPECT_FALSE(TrkUnscramble("R=12\r\n").has_value());
  EXPECT_FALSE(TrkUnscramble("").has_value());
  EXPECT_FALSE(TrkUnscramble(scrambled.substr(0, 6)).has_value());
}

TEST(CounterStoreTest, SaveAndLoadKeepEntriesAndOrder) {
  testing_support::TempDir dir;
  std::string path = dir.dir() + "dropvan.ext";
  TrkUsageCounters counters;
  counters.Set("v", "2");
  counters.Add("R", 0, 4);
  counters.Add("A", 0, 10000);
  counters.Save(path);

  std::string raw = dir.Read("dropvan.ext");
  EXPECT_EQ(std::string::npos, raw.find("A=10000")) << "the store must not hold the plain text";

  TrkUsageCounters loaded = TrkUsageCounters::Load(path);
  EXPECT_EQ(counters.Entries(), loaded.Entries());
}

TEST(CounterStoreTest, MissingOrGarbageStoreGivesNoEntries) {
  testing_support::TempDir dir;
  EXPECT_TRUE(TrkUsageCounters::Load(dir.dir() + "none.ext").Empty());
  std::string garbage = dir.Write("garbage.ext", "R=12\r\nC=3\r\n");
  EXPECT_TRUE(TrkUsageCounters::Load(garbage).Empty());
  std::filesystem::create_directory(dir.path() / "folder.ext");
  EXPECT_TRUE(TrkUsageCounters::Load(dir.dir() + "folder.ext").Empty());
}

TEST(CounterStoreTest, SaveClearsReadOnlyMarkAndCreatesFolder) {
  testing_support::TempDir dir;
  std::string path = dir.dir() + "new/sub/dropvan.ext";
  TrkUsageCounters counters;
  counters.Add("R", 0, 1);
  counters.Save(path);
  std::filesystem::permissions(path, std::filesystem::perms::owner_read);
  counters.Add("R", 0, 1);
  counters.Save(path);
  EXPECT_EQ("2", TrkUsageCounters::Load(path).Get("R"));
  auto perms = std::filesystem::status(path).permissions();
  EXPECT_NE(std::filesystem::perms::none, perms & std::filesystem::perms::owner_write);
}

TEST(CounterStoreTest, UnwritableStoreRaisesError) {
  testing_support::TempDir dir;
  std::filesystem::create_directory(dir.path() / "taken.ext");
  TrkUsageCounters counters;
  counters.Add("R", 0, 1);
  EXPECT_THROW(counters.Save(dir.dir() + "taken.ext"), TrkError);
}

}  // namespace
