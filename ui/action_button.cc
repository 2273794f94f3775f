#include "ui/action_button.h"

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
