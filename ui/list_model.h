#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QTimer>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TrkBatch;
class TrkNode;

// What the batch's threads tell the list between two refreshes: how many items
// exist and which have finished. The search thread and the workers note into it
// under its own small lock and never touch the model, so a run of 100,000 files
// costs the GUI thread one refresh per interval, not one event per file.
class TrkRowFeed {
 public:
  // An item was appended (search thread, the GUI thread for single files, or
  // a worker for its run's closing steps).
  void ItemAdded(const TrkNode& item);
  // An item got its state and result (worker thread, after writing them).
  void ItemDone(const TrkNode& item);

  struct Notes {
    int count = 0;              // items known to exist
    std::vector<int> done;      // indices finished since the last take
  };
  // The notes since the last take. GUI thread.
  Notes Take();

 private:
  std::mutex mu_;
  int count_ = 0;              // guarded by mu_
  std::vector<int> done_;      // guarded by mu_
};

// The list's rows over one batch's items: one row per item in index order,
// columns "@" (the state icon), "File Name" and "Result" (the result text up to
// its first line break). Rows are brought up to date by Refresh, which a timer
// runs every kRefreshMilliseconds while a batch is shown; a row changes only
// there, so views see a few inserts and changes per interval.
//
// GUI thread only, except through the feed.
class TrkListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  static constexpr int kRefreshMilliseconds = 50;

  explicit TrkListModel(QObject* parent = nullptr);
  ~TrkListModel() override;

  // Shows `batch` (null: nothing), with no rows yet; the returned feed is the
  // one the batch's events must note into. The previous batch's feed is
  // forgotten, so its late notes change nothing.
  std::shared_ptr<TrkRowFeed> Show(std::shared_ptr<TrkBatch> batch);
  // The batch whose items the rows show.
  const std::shared_ptr<TrkBatch>& Batch() const { return batch_; }
  // Takes the feed's notes and updates the rows: new rows for new items, state
  // and result for finished ones.
  void Refresh();

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // A row as the list shows it.
  int State(int row) const { return rows_[row].state; }
  std::string FileName(int row) const;
  const std::string& Result(int row) const { return rows_[row].result; }

  // The state icon of `state`: 0 pending, 1 success, 2 failure.
  const QIcon& StateIcon(int state) const;

 private:
  struct Row {
    const TrkNode* item;  // stays valid while batch_ is held
    int state;
    std::string result;   // first line of the item's result text
    std::string reason;   // why it failed (the item's Reason): the row's tooltip
  };
  void AppendRows(int count);
  void UpdateRows(const std::vector<int>& done);

  std::shared_ptr<TrkBatch> batch_;
  std::shared_ptr<TrkRowFeed> feed_;
  std::vector<Row> rows_;
  QIcon icons_[3];
  QTimer timer_;
};
