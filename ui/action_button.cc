#include "ui/action_button.h"

void TrkKeepAccelerator(QAction* action) {
  action->setIconText(action->text());
  // Unchanged icon texts stop the echo of this very change.
  QObject::connect(action, &QAction::changed, action, [action] { action->setIconText(action->text()); });
}

TrkActionButton::TrkActionButton(QWidget* parent) : QToolButton(parent) {
  setToolButtonStyle(Qt::ToolButtonTextOnly);
  setFocusPolicy(Qt::StrongFocus);
}

void TrkActionButton::Show(QAction* action) {
  if (action == defaultAction()) return;
  disconnect(follow_);
  if (defaultAction() != nullptr) removeAction(defaultAction());
  setDefaultAction(action);
  setVisible(action->isVisible());
  follow_ = connect(action, &QAction::changed, this, [this, action] { setVisible(action->isVisible()); });
}
