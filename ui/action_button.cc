#include "ui/action_button.h"

#include <algorithm>

void TrkKeepAccelerator(QAction* action) {
  action->setIconText(action->text());
  // Unchanged icon texts stop the echo of this very change.
  QObject::connect(action, &QAction::changed, action, [action] { action->setIconText(action->text()); });
}

TrkActionButton::TrkActionButton(QWidget* parent, int design_width)
    : QToolButton(parent), design_width_(design_width) {
  setToolButtonStyle(Qt::ToolButtonTextOnly);
  setFocusPolicy(Qt::StrongFocus);
}

QSize TrkActionButton::sizeHint() const {
  QSize size = QToolButton::sizeHint();
  size.setWidth(std::max(size.width(), design_width_ * fontMetrics().height() / 13));
  return size;
}

void TrkActionButton::Show(QAction* action) {
  if (action == defaultAction()) return;
  disconnect(follow_);
  if (defaultAction() != nullptr) removeAction(defaultAction());
  setDefaultAction(action);
  setVisible(action->isVisible());
  follow_ = connect(action, &QAction::changed, this, [this, action] { setVisible(action->isVisible()); });
}
