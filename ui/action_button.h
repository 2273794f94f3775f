#pragma once

#include <QAction>
#include <QMetaObject>
#include <QToolButton>

// A button shows an action's icon text, and Qt escapes the "&" of an icon
// text it takes from the text, so "Up&load" would show as "Up&&load": no
// underlined letter, and Alt+L would type into the focused edit. Keeps
// `action`'s icon text equal to its text from now on, so that every button
// showing it (toolbar or TrkActionButton) has the accelerator.
void TrkKeepAccelerator(QAction* action);

// A button that shows one action at a time, taking its caption, hint, enabled
// state and visibility from it, as the run buttons switch between Start and
// Stop, and between the run action and Pause. GUI thread only.
class TrkActionButton : public QToolButton {
  Q_OBJECT

 public:
  // `design_width`: the width the design gives the button for its font of
  // 13-pixel lines; the button is that wide in proportion to its own font, or
  // wider when a caption needs it, so switching actions does not resize it.
  explicit TrkActionButton(QWidget* parent = nullptr, int design_width = 0);
  QSize sizeHint() const override;
  // Shows `action` (not owned) instead of the one shown so far.
  void Show(QAction* action);
  QAction* Shown() const { return defaultAction(); }

 private:
  const int design_width_;
  QMetaObject::Connection follow_;  // keeps the visibility in step with the action
};
