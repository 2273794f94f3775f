#include "sync/run_logins.h"

void TrkRunLogins::Set(int worker, State state) {
  std::lock_guard<std::mutex> lock(mu_);
  State& now = states_[worker];
  if (now == state) return;
  const bool opening = now == State::kLoggedIn;
  now = state;
  any_logged_in_ = any_logged_in_ || state == State::kLoggedIn;
  Changed(opening);
}

void TrkRunLogins::Tell(int worker, TrkLoginState state) {
  switch (state) {
    case TrkLoginState::kConnecting: return Set(worker, State::kConnecting);
    case TrkLoginState::kLoggedIn: return Set(worker, State::kLoggedIn);
    case TrkLoginState::kLoggedOut: return Set(worker, State::kLoggedOut);
  }
}

void TrkRunLogins::FileDone(int worker) {
  std::lock_guard<std::mutex> lock(mu_);
  auto found = states_.find(worker);
  Changed(found != states_.end() && found->second == State::kLoggedIn);
}

void TrkRunLogins::Changed(bool opening) {
  ++mark_.changes;
  if (opening) {
    ++mark_.openings;
    last_opening_ = std::chrono::steady_clock::now();
  }
  changed_.notify_all();
}

TrkRunLogins::Mark TrkRunLogins::Seen() const {
  std::lock_guard<std::mutex> lock(mu_);
  return mark_;
}

bool TrkRunLogins::AnyLoggedIn() const {
  std::lock_guard<std::mutex> lock(mu_);
  return any_logged_in_;
}

bool TrkRunLogins::OthersConnecting(int worker) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& [other, state] : states_) {
    if (other != worker && state == State::kConnecting) return true;
  }
  return false;
}

TrkRunLogins::Turn TrkRunLogins::AfterRefusal(int worker) const {
  int logged_in = 0, connecting = 0;
  bool just_opened = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    just_opened = mark_.openings > 0 && std::chrono::steady_clock::now() - last_opening_ < kSettle;
    for (const auto& [other, state] : states_) {
      if (other == worker) continue;
      logged_in += state == State::kLoggedIn;
      connecting += state == State::kConnecting;
    }
  }
  // Nobody else can be the reason for the refusal: waiting could last forever,
  // unless the server still counts a connection let go just now.
  if (logged_in + connecting == 0) return just_opened ? Turn::kRetrySoon : Turn::kAsUsual;
  // Those that hold a connection take every file handed back. Waiting for
  // room instead would keep this file from them, and every file they finish
  // would send this worker back to be refused again.
  if (logged_in > 0) return Turn::kGiveWay;
  return Turn::kWait;
}

TrkRunLogins::Mark TrkRunLogins::WaitForChange(const Mark& seen, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mu_);
  changed_.wait_for(lock, limit, [&] { return mark_.changes != seen.changes; });
  return mark_;
}
