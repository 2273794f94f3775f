#include "ui/status_bar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>

#include "batch/batch.h"
#include "report/progress.h"

TrkStatusBar::TrkStatusBar(QWidget* parent) : QWidget(parent) {
  setObjectName("sbStatus");
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(4, 2, 4, 2);
  text_ = new QLabel(this);
  bar_ = new QProgressBar(this);
  bar_->setMaximumWidth(200);
  bar_->setTextVisible(false);
  bar_->hide();
  layout->addWidget(text_, 1);
  layout->addWidget(bar_);
  timer_.setInterval(100);
  connect(&timer_, &QTimer::timeout, this, &TrkStatusBar::Update);
}

void TrkStatusBar::Start(std::shared_ptr<TrkBatch> batch) {
  batch_ = std::move(batch);
  start_ = std::chrono::steady_clock::now();
  bar_->show();
  Update();
  timer_.start();
}

void TrkStatusBar::Stop() {
  timer_.stop();
  Update();
  bar_->hide();
  batch_.reset();
}

QString TrkStatusBar::Text() const { return text_->text(); }

bool TrkStatusBar::BarShown() const { return bar_->isVisibleTo(this); }

void TrkStatusBar::Update() {
  if (batch_ == nullptr) return;
  const TrkProgressFigures figures = TrkProgressOf(*batch_, start_);
  text_->setText(QString::fromStdString(TrkProgressText(figures)));
  bar_->setRange(0, std::max(figures.found, 1));
  bar_->setValue(figures.done);
}
