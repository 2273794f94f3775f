#pragma once

#include <functional>

// Hands a call to the main thread and waits until it has run there. The window
// implements it with the toolkit's blocking hand-over to its event loop; a console
// run has none.
//
// Contract for implementations: RunOnMain is called on a worker thread that holds
// no lock of the batch, so the main thread may take the batch lock inside `call`.
// The main thread must keep serving such calls while any worker of a run is alive.
// When called on the main thread itself (a worker whose thread could not be
// created ends on the thread that started it), it must run `call` at once.
class TrkDispatcher {
 public:
  virtual ~TrkDispatcher() = default;
  virtual void RunOnMain(const std::function<void()>& call) = 0;
};
