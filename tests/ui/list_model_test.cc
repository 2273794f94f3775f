// The list's model over a batch filled and processed from other threads.
#include <QSignalSpy>
#include <QTest>
#include <thread>

#include "window_fixture.h"

namespace ui_testing {
namespace {

TEST(ListModelTest, AHundredThousandItemsArriveInFewCoalescedChangesInIndexOrder) {
  TempDir work;
  TrkProject project(work.dir() + "dropvan");
  TrkListModel model;
  std::shared_ptr<TrkBatch> batch = TrkBatch::Create(project, nullptr);
  std::shared_ptr<TrkRowFeed> feed = model.Show(batch);
  batch->SetOnItemAdded([feed](TrkBatch&, TrkNode& item) { feed->ItemAdded(item); });
  QSignalSpy inserts(&model, &QAbstractItemModel::rowsInserted);
  QSignalSpy changes(&model, &QAbstractItemModel::dataChanged);

  constexpr int kItems = 100000;
  std::thread search([&] {
    for (int i = 0; i < kItems; ++i) batch->Add("/site/f" + std::to_string(i));
    batch->MarkSearchDone();
  });
  std::vector<std::thread> workers;
  for (int w = 0; w < 2; ++w) {
    workers.emplace_back([&] {
      while (TrkNode* item = batch->NextItem()) {
        item->State = item->Index % 7 == 0 ? TrkNode::kFailure : TrkNode::kSuccess;
        item->ResultText = "done " + std::to_string(item->Index) + "\r\nsecond line";
        feed->ItemDone(*item);
      }
    });
  }
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(QTest::qWaitFor([&] { return batch->IsExhausted() && model.rowCount() == kItems; }, 60000));
  search.join();
  for (auto& worker : workers) worker.join();
  model.Refresh();
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  const int ticks = static_cast<int>(elapsed.count() / TrkListModel::kRefreshMilliseconds);

  EXPECT_LE(inserts.count(), ticks + 2) << "row inserts must be coalesced";
  EXPECT_LE(changes.count(), ticks + 2) << "state changes must be coalesced";
  for (int row = 0; row < kItems; ++row) {
    ASSERT_EQ("/site/f" + std::to_string(row), model.FileName(row)) << "row " << row;
    ASSERT_EQ(row % 7 == 0 ? 2 : 1, model.State(row)) << "row " << row;
    ASSERT_EQ("done " + std::to_string(row), model.Result(row)) << "the first line only, row " << row;
  }
}

}  // namespace
}  // namespace ui_testing
