#pragma once

#include <QTimer>
#include <QWidget>
#include <chrono>
#include <memory>

class QLabel;
class QProgressBar;
class TrkBatch;

// The line under the list: where the run stands (files done of found,
// failures, bytes sent, rate, time left) with a progress bar while it runs,
// and the last figures once it ended. Redrawn ten times a second from the
// batch's counters, never from the workers' events.
//
// GUI thread only.
class TrkStatusBar : public QWidget {
  Q_OBJECT

 public:
  explicit TrkStatusBar(QWidget* parent = nullptr);

  // A run of `batch` begins; the bar shows and follows it.
  void Start(std::shared_ptr<TrkBatch> batch);
  // The run ended: its last figures stay, the bar goes.
  void Stop();

  QString Text() const;
  bool BarShown() const;

 private:
  void Update();

  QLabel* text_;
  QProgressBar* bar_;
  QTimer timer_;
  std::shared_ptr<TrkBatch> batch_;  // the run's, held until Stop
  std::chrono::steady_clock::time_point start_;
};
