#include "ui/list_model.h"

#include <algorithm>

#include "batch/batch.h"

void TrkRowFeed::ItemAdded(const TrkNode& item) {
  std::lock_guard<std::mutex> lock(mu_);
  count_ = std::max(count_, item.Index + 1);
}

void TrkRowFeed::ItemDone(const TrkNode& item) {
  std::lock_guard<std::mutex> lock(mu_);
  count_ = std::max(count_, item.Index + 1);
  done_.push_back(item.Index);
}

TrkRowFeed::Notes TrkRowFeed::Take() {
  std::lock_guard<std::mutex> lock(mu_);
  Notes notes;
  notes.count = count_;
  notes.done.swap(done_);
  return notes;
}

TrkListModel::TrkListModel(QObject* parent)
    : QAbstractTableModel(parent),
      icons_{QIcon(":/images/pending.png"), QIcon(":/images/success.png"), QIcon(":/images/failure.png")} {
  timer_.setInterval(kRefreshMilliseconds);
  connect(&timer_, &QTimer::timeout, this, &TrkListModel::Refresh);
}

TrkListModel::~TrkListModel() = default;

std::shared_ptr<TrkRowFeed> TrkListModel::Show(std::shared_ptr<TrkBatch> batch) {
  beginResetModel();
  rows_.clear();
  batch_ = std::move(batch);
  feed_ = batch_ ? std::make_shared<TrkRowFeed>() : nullptr;
  endResetModel();
  if (batch_) {
    timer_.start();
  } else {
    timer_.stop();
  }
  return feed_;
}

void TrkListModel::Refresh() {
  if (!feed_) return;
  TrkRowFeed::Notes notes = feed_->Take();
  AppendRows(notes.count);
  UpdateRows(notes.done);
}

void TrkListModel::AppendRows(int count) {
  const int first = static_cast<int>(rows_.size());
  if (count <= first) return;
  beginInsertRows(QModelIndex(), first, count - 1);
  {
    // The deque may be growing on the search thread: look items up under the
    // batch lock. The items themselves stay where they are.
    TrkBatchLock lock(*batch_);
    for (int i = first; i < count; ++i) rows_.push_back(Row{&lock.Items()[i], TrkNode::kRunning, {}, {}});
  }
  endInsertRows();
}

void TrkListModel::UpdateRows(const std::vector<int>& done) {
  if (done.empty()) return;
  int low = static_cast<int>(rows_.size());
  int high = -1;
  // The worker wrote state and result before noting the item; the feed's lock
  // orders those writes before these reads.
  for (int index : done) {
    Row& row = rows_[index];
    row.state = row.item->State;
    const std::string_view text = row.item->ResultText();
    row.result = std::string(text.substr(0, text.find_first_of("\r\n")));
    row.reason = row.item->Reason();
    low = std::min(low, index);
    high = std::max(high, index);
  }
  emit dataChanged(this->index(low, 0), this->index(high, 2));
}

int TrkListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TrkListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 3; }

std::string TrkListModel::FileName(int row) const { return std::string(rows_[row].item->FileName()); }

QVariant TrkListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
  const Row& row = rows_[index.row()];
  if (role == Qt::DecorationRole && index.column() == 0) return StateIcon(row.state);
  if (role == Qt::ToolTipRole && !row.reason.empty()) return QString::fromStdString(row.reason);
  if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
  if (index.column() == 1) return QString::fromUtf8(row.item->FileName());
  if (index.column() == 2) return QString::fromStdString(row.result);
  return {};
}

QVariant TrkListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const kCaptions[] = {"@", "File Name", "Result"};
  return section >= 0 && section < 3 ? QString(kCaptions[section]) : QVariant();
}

const QIcon& TrkListModel::StateIcon(int state) const {
  return icons_[state == TrkNode::kSuccess ? 1 : state == TrkNode::kFailure ? 2 : 0];
}
