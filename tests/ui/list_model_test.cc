// The list's model over a batch filled and processed from other threads.
#include <QSignalSpy>
#include <QTest>
#include <thread>

#include "window_fixture.h"

namespace ui_testing {
namespace {

// A model showing a batch whose items are noted into the model's feed, with
// the row inserts and changes it reports to the views recorded.
class ListModelTest : public ::testing::Test {
 protected:
  ListModelTest() : project_(work_.dir() + "dropvan"), batch_(TrkBatch::Create(project_, nullptr)) {
    feed_ = model_.Show(batch_);
    batch_->SetOnItemAdded([feed = feed_](TrkBatch&, TrkNode& item) { feed->ItemAdded(item); });
  }

  TempDir work_;
  TrkProject project_;
  TrkListModel model_;
  std::shared_ptr<TrkBatch> batch_;
  std::shared_ptr<TrkRowFeed> feed_;
  QSignalSpy inserts_{&model_, &QAbstractItemModel::rowsInserted};
  QSignalSpy changes_{&model_, &QAbstractItemModel::dataChanged};
};

// The ranges `spy` recorded since the last call, then forgets them: "first-last"
// for inserted rows, "row,column-row,column" for changed cells.
std::string Ranges(QSignalSpy& spy) {
  std::string text;
  for (const QList<QVariant>& signal : spy) {
    if (!text.empty()) text += ' ';
    if (signal[1].typeId() == QMetaType::Int) {
      text += std::to_string(signal[1].toInt()) + "-" + std::to_string(signal[2].toInt());
      continue;
    }
    const QModelIndex first = signal[0].value<QModelIndex>(), last = signal[1].value<QModelIndex>();
    text += std::to_string(first.row()) + "," + std::to_string(first.column()) + "-" +
            std::to_string(last.row()) + "," + std::to_string(last.column());
  }
  spy.clear();
  return text;
}

TEST_F(ListModelTest, AHundredThousandItemsArriveInFewCoalescedChangesInIndexOrder) {
  constexpr int kItems = 100000;
  std::thread search([&] {
    for (int i = 0; i < kItems; ++i) batch_->Add("/site/f" + std::to_string(i));
    batch_->MarkSearchDone();
  });
  std::vector<std::thread> workers;
  for (int w = 0; w < 2; ++w) {
    workers.emplace_back([&] {
      TrkTextArena& texts = batch_->WorkerTexts();
      while (TrkNode* item = batch_->NextItem()) {
        item->State = item->Index % 7 == 0 ? TrkNode::kFailure : TrkNode::kSuccess;
        item->SetResultText(texts.Keep("done " + std::to_string(item->Index) + "\r\nsecond line"));
        feed_->ItemDone(*item);
      }
    });
  }
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(QTest::qWaitFor([&] { return batch_->IsExhausted() && model_.rowCount() == kItems; }, 60000));
  search.join();
  for (auto& worker : workers) worker.join();
  model_.Refresh();
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  const int ticks = static_cast<int>(elapsed.count() / TrkListModel::kRefreshMilliseconds);

  EXPECT_LE(inserts_.count(), ticks + 2) << "row inserts must be coalesced";
  EXPECT_LE(changes_.count(), ticks + 2) << "state changes must be coalesced";
  for (int row = 0; row < kItems; ++row) {
    ASSERT_EQ("/site/f" + std::to_string(row), model_.FileName(row)) << "row " << row;
    ASSERT_EQ(row % 7 == 0 ? 2 : 1, model_.State(row)) << "row " << row;
    ASSERT_EQ("done " + std::to_string(row), model_.Result(row)) << "the first line only, row " << row;
  }
}

// A view repaints only the cells a refresh names: a finished row outside them
// keeps showing its old state, and a row inserted twice or not at all breaks
// the view's own count.
TEST_F(ListModelTest, EachRefreshNamesTheRowsItInsertedAndTheSpanThatFinished) {
  struct Step {
    int added;
    std::vector<int> done;  // in the order the workers finished them
    std::string inserted, changed;
  };
  for (const Step& step : {Step{5, {}, "0-4", ""}, Step{0, {3, 1}, "", "1,0-3,2"}, Step{2, {4}, "5-6", "4,0-4,2"},
                           Step{0, {}, "", ""}, Step{1, {7, 0}, "7-7", "0,0-7,2"},
                           Step{0, {2, 6, 5}, "", "2,0-6,2"}}) {
    for (int i = 0; i < step.added; ++i) batch_->Add("/site/f");
    for (int index : step.done) {
      TrkBatchLock lock(*batch_);
      feed_->ItemDone(lock.Items()[index]);
    }
    model_.Refresh();
    EXPECT_EQ(step.inserted, Ranges(inserts_)) << step.added << " added";
    EXPECT_EQ(step.changed, Ranges(changes_)) << step.done.size() << " done";
  }
}

}  // namespace
}  // namespace ui_testing
