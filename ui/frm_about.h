#pragma once

#include <QLabel>

#include "ui/frm_base.h"

class TrkProject;

// The about window: the product's title and version and a one-line notice on a
// blue, half-transparent, borderless window that any click or key closes. Its
// first showing, at program start, shows nothing: it is the step that makes the
// main window invisible when the project asks for an invisible window run.
// GUI thread only.
class TrkFrmAbout : public TrkFrmBase {
  Q_OBJECT

 public:
  // `project` and `main_window` are not owned and outlive the window.
  TrkFrmAbout(const TrkProject& project, QWidget* main_window);

  // First call (program start): with PureConsole on, the main window is made
  // fully transparent and kept off the screen. Later calls show this window
  // modally.
  void ShowAbout();
  int ShowCount() const { return show_count_; }

  QLabel *img, *lblProduct, *lblVersion, *lblCopright;

 protected:
  void showEvent(QShowEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FormShow();
  void FormClick();

  const TrkProject& project_;
  QWidget* main_window_;  // not owned
  int show_count_ = 0;    // FShowCount
};

// The program's about window: the same, with its own 128 x 128 picture.
class TrkFrmDropvanAbout : public TrkFrmAbout {
  Q_OBJECT

 public:
  TrkFrmDropvanAbout(const TrkProject& project, QWidget* main_window);
};
