#pragma once

#include <QAction>
#include <QMetaObject>
#include <QToolButton>

// A button that shows one action at a time, taking its caption, hint, enabled
// state and visibility from it, as the run buttons switch between Start and
// Stop, and between the run action and Pause. GUI thread only.
class TrkActionButton : public QToolButton {
  Q_OBJECT

 public:
  explicit TrkActionButton(QWidget* parent = nullptr);
  // Shows `action` (not owned) instead of the one shown so far.
  void Show(QAction* action);
  QAction* Shown() const { return defaultAction(); }

 private:
  QMetaObject::Connection follow_;  // keeps the visibility in step with the action
};
