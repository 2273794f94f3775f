#include "ui/status_bar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>

#include "batch/batch.h"

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

void TrkStatusBar::Watch(std::shared_ptr<TrkBatch> batch) {
  bar_->hide();
  Follow(std::move(batch), TrkProgressFigures::Stage::kListed);
}

void TrkStatusBar::Start(std::shared_ptr<TrkBatch> batch) {
  bar_->show();
  Follow(std::move(batch), TrkProgressFigures::Stage::kRunning);
}

void TrkStatusBar::Follow(std::shared_ptr<TrkBatch> batch, TrkProgressFigures::Stage stage) {
  batch_ = std::move(batch);
  if (batch_ != nullptr) start_ = TrkProgressStartOf(*batch_);
  stage_ = stage;
  timer_.start();
  Update();
}

void TrkStatusBar::Stop() {
  stage_ = TrkProgressFigures::Stage::kEnded;
  Update();
  bar_->hide();
}

QString TrkStatusBar::Text() const { return text_->text(); }

bool TrkStatusBar::BarShown() const { return bar_->isVisibleTo(this); }

void TrkStatusBar::Update() {
  if (batch_ == nullptr) {
    timer_.stop();
    return;
  }
  const TrkProgressFigures figures = TrkProgressOf(*batch_, start_, stage_);
  text_->setText(QString::fromStdString(TrkProgressText(figures)));
  bar_->setRange(0, std::max(figures.found, 1));
  bar_->setValue(figures.done);
  // Final figures need no redrawing, and the batch may go.
  const bool final = stage_ == TrkProgressFigures::Stage::kEnded ||
                     (stage_ == TrkProgressFigures::Stage::kListed && figures.listing_done);
  if (!final) return;
  timer_.stop();
  batch_.reset();
}
