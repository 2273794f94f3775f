#include "ui/frm_base.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QScreen>

TrkFrmBase::TrkFrmBase(QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags) {
  QFont font("Tahoma");
  font.setPointSize(8);
  setFont(font);
  setGeometry(100, 100, 1200, 600);
}

void TrkFrmBase::CentreOnScreen() {
  const QScreen* screen = this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  QRect frame = frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  move(frame.topLeft());
}

void TrkFrmBase::ShowModal() {
  if (modal_loop_ != nullptr) return;
  setWindowModality(Qt::ApplicationModal);
  QEventLoop loop;
  modal_loop_ = &loop;
  show();
  raise();
  activateWindow();
  loop.exec(QEventLoop::DialogExec);
  modal_loop_ = nullptr;
  setWindowModality(Qt::NonModal);
}

void TrkFrmBase::closeEvent(QCloseEvent* event) {
  QWidget::closeEvent(event);
  if (!event->isAccepted()) return;
  if (modal_loop_ != nullptr) modal_loop_->quit();
  emit Closed();
}
