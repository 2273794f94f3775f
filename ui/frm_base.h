#pragma once

#include <QWidget>

class QEventLoop;

// The plain form every window of the program derives from: 1200 x 600, centred
// on the screen, the program's font, hints (tool tips) shown. It can be shown
// modally: ShowModal returns once the form has been closed. GUI thread only.
class TrkFrmBase : public QWidget {
  Q_OBJECT

 public:
  explicit TrkFrmBase(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::Window);

  // Shows the form, blocking every other window, and returns when it closes.
  void ShowModal();
  bool IsShownModally() const { return modal_loop_ != nullptr; }

  // Places the form in the middle of its screen.
  void CentreOnScreen();

 signals:
  void Closed();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QEventLoop* modal_loop_ = nullptr;  // the running ShowModal's loop; not owned
};
