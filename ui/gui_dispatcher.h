#pragma once

#include <QObject>
#include <QPointer>
#include <functional>
#include <string>

#include "batch/dispatcher.h"

// Runs a worker's call on the GUI thread with Qt's blocking queued call: the
// worker waits until the GUI thread's event loop has run it. An error escaping
// the call goes to `on_error` there, so it never reaches the toolkit's loop and
// the worker is always released.
//
// The receiver is not owned; its owner must keep serving the event loop while
// any worker of a run lives (the window waits for its workers before it goes).
class TrkGuiDispatcher : public TrkDispatcher {
 public:
  TrkGuiDispatcher(QObject* receiver, std::function<void(const std::string&)> on_error);
  void RunOnMain(const std::function<void()>& call) override;

 private:
  // Runs `call` here, handing any error to on_error_.
  void RunGuarded(const std::function<void()>& call) const;

  QPointer<QObject> receiver_;
  const std::function<void(const std::string&)> on_error_;
};
