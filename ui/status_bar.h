#pragma once

#include <QTimer>
#include <QWidget>
#include <memory>

#include "report/progress.h"

class QLabel;
class QProgressBar;
class TrkBatch;

// The line under the list: how many files a new listing found, then where a
// run stands (files done of found, failures, bytes sent, rate, time left)
// with a progress bar while it runs, and the run's last figures, without a
// time left, once it ended. Redrawn ten times a second from the batch's
// counters, never from the workers' events.
//
// GUI thread only.
class TrkStatusBar : public QWidget {
  Q_OBJECT

 public:
  explicit TrkStatusBar(QWidget* parent = nullptr);

  // A new listing of `batch` replaces whatever was shown: the files found,
  // followed until the listing is complete.
  void Watch(std::shared_ptr<TrkBatch> batch);
  // A run of `batch` begins or resumes; the bar shows and follows it. The
  // rate and the time left count from here.
  void Start(std::shared_ptr<TrkBatch> batch);
  // The run ended: its last figures stay, the bar goes.
  void Stop();

  QString Text() const;
  bool BarShown() const;

 private:
  void Follow(std::shared_ptr<TrkBatch> batch, TrkProgressFigures::Stage stage);
  void Update();

  QLabel* text_;
  QProgressBar* bar_;
  QTimer timer_;
  std::shared_ptr<TrkBatch> batch_;  // the one followed; let go once its figures are final
  TrkProgressStart start_;
  TrkProgressFigures::Stage stage_ = TrkProgressFigures::Stage::kListed;
};
