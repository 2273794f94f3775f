#include "ui/gui_dispatcher.h"

#include <QThread>
#include <exception>

TrkGuiDispatcher::TrkGuiDispatcher(QObject* receiver, std::function<void(const std::string&)> on_error)
    : receiver_(receiver), on_error_(std::move(on_error)) {}

void TrkGuiDispatcher::RunOnMain(const std::function<void()>& call) {
  QObject* receiver = receiver_.data();
  // A worker whose thread could not be made ends on the GUI thread itself, where
  // a blocking call to the own thread would deadlock.
  if (receiver == nullptr || QThread::currentThread() == receiver->thread()) {
    RunGuarded(call);
    return;
  }
  QMetaObject::invokeMethod(receiver, [this, &call] { RunGuarded(call); }, Qt::BlockingQueuedConnection);
}

void TrkGuiDispatcher::RunGuarded(const std::function<void()>& call) const {
  try {
    call();
  } catch (const std::exception& e) {
    if (on_error_) on_error_(e.what());
  } catch (...) {
    if (on_error_) on_error_("Unknown error");
  }
}
