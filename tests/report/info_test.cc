#include "report/info.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "report/failure_report.h"
#include "select/file_utils.h"
#include "support/recording_opener.h"
#include "support/temp_dir.h"

namespace {

using testing_support::RecordingOpener;

class InfoTest : public ::testing::Test {
 protected:
  std::unique_ptr<TrkInfo> MakeInfo() {
    return std::make_unique<TrkInfo>(TrkProductIdentity{"Dropvan", "dropvan", "2024.16.1026.3528"}, exe_,
                                     std::make_unique<RecordingOpener>(&opened_));
  }
  TrkUsageCounters Stored() const { return TrkUsageCounters::Load(dir_.dir() + "dropvan.ext"); }
  std::string Tail(const std::string& counters) const {
    return "p=dropvan&v=2024.16.1026.3528&c=" + counters + "&i=" + std::to_string(stamp_);
  }

  testing_support::TempDir dir_;
  std::string exe_ = dir_.Write("dropvan", "#!/bin/sh\n");
  int32_t stamp_ = TrkFileUtils::FileDate(dir_.path().string(), true, true);
  std::vector<std::string> opened_;
};

TEST_F(InfoTest, StartCountsRunAndWritesStoreBesideProgram) {
  auto info = MakeInfo();
  EXPECT_EQ(dir_.dir() + "dropvan.ext", info->StorePath());
  EXPECT_EQ("1", info->Count("R"));
  EXPECT_EQ("2", info->Count("v"));
  TrkUsageCounters stored = Stored();
  EXPECT_EQ("1", stored.Get("R")) << "the start must be written at once";
  EXPECT_EQ("2", stored.Get("v"));
  EXPECT_TRUE(opened_.empty());
}

TEST_F(InfoTest, InstallStampIsTheProgramFolderCreationTime) {
  auto info = MakeInfo();
  ASSERT_NE(-1, stamp_);
  EXPECT_EQ(stamp_, info->InstallStamp());
}

TEST_F(InfoTest, CountersCarryOverToTheNextStart) {
  {
    auto info = MakeInfo();
    info->AddCount("C", 0, 1);
  }
  auto info = MakeInfo();
  EXPECT_EQ("2", info->Count("R"));
  EXPECT_EQ("r2c1", info->CounterText());
}

TEST_F(InfoTest, GarbageStoreStartsAfresh) {
  dir_.Write("dropvan.ext", "R=500\r\nC=7\r\n");
  auto info = MakeInfo();
  EXPECT_EQ("1", info->Count("R"));
  EXPECT_EQ("", info->Count("C"));
  EXPECT_EQ("1", Stored().Get("R")) << "the store is rewritten from memory";
}

TEST_F(InfoTest, EndOfRunCountersFollowTheAddingRules) {
  auto info = MakeInfo();
  info->AddCount("C", 0, 1);
  info->AddCount("A", 0, 3);
  info->AddCount("S", 0, 2);
  info->AddCount("F", 0, 1);
  info->AddCount("A", 0, 2);
  info->AddCount("S", 0, 2);
  info->AddCount("F", 0, 0);
  EXPECT_EQ("r1c1a5s4f1", info->CounterText());
  EXPECT_EQ(info->CounterText(), Stored().CounterText()) << "every change is written";
}

TEST_F(InfoTest, AddingZeroToMissingCounterCreatesAndWritesIt) {
  auto info = MakeInfo();
  info->AddCount("F", 0, 0);
  EXPECT_EQ("0", info->Count("F"));
  EXPECT_EQ("0", Stored().Get("F"));
}

TEST_F(InfoTest, ReleaseWritesTheStoreAgain) {
  auto info = MakeInfo();
  std::filesystem::remove(info->StorePath());
  info.reset();
  EXPECT_EQ("1", Stored().Get("R"));
}

TEST_F(InfoTest, OpenLinkHandsTheBuiltLinkToTheOpener) {
  auto info = MakeInfo();
  info->OpenLink("", "", "");
  info->OpenLink("download", "", "");
  info->OpenLink("", "ins", "setup=2");
  ASSERT_EQ(3u, opened_.size());
  EXPECT_EQ("https://dropvan.example?" + Tail("r1"), opened_[0]);
  EXPECT_EQ("https://dropvan.example/en/dropvan/download.htm?" + Tail("r1"), opened_[1]);
  EXPECT_EQ("https://dropvan.example/net/?a=ins&" + Tail("r1") + "&setup=2", opened_[2]);
}

TEST_F(InfoTest, ReportErrorCountsAndKeepsQuestionMarks) {
  auto info = MakeInfo();
  info->ReportError("Cannot open \"a?.txt\"");
  EXPECT_EQ("1", info->Count("E"));
  ASSERT_EQ(1u, opened_.size());
  EXPECT_EQ("https://dropvan.example/net/?a=err&e=Cannot open a?.txt&" + Tail("r1e1"), opened_[0]);
}

TEST_F(InfoTest, FailureReportEscapesQuestionMarks) {
  auto info = MakeInfo();
  info->OpenLink("", TrkFailureReportText({"[Error]Upload file failure", "Why?"}), "");
  ASSERT_EQ(1u, opened_.size());
  EXPECT_EQ("https://dropvan.example/net/?a=err&e=[Error]Upload file failure,Why%3F&" + Tail("r1"), opened_[0]);
}

TEST_F(InfoTest, UnwritableStoreKeepsCountingInMemory) {
  std::filesystem::create_directory(dir_.path() / "dropvan.ext");
  auto info = MakeInfo();
  info->AddCount("C", 0, 1);
  info->ReportError("boom");
  EXPECT_EQ("r1c1e1", info->CounterText());
  EXPECT_EQ(1u, opened_.size());
}

TEST_F(InfoTest, ConcurrentCountsAreNotLost) {
  auto info = MakeInfo();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&info] {
      for (int i = 0; i < 50; ++i) info->AddCount("A", 0, 1);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ("200", info->Count("A"));
  EXPECT_EQ("200", Stored().Get("A")) << "the last write must hold the newest counters";
}

}  // namespace
