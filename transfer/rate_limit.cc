#include "transfer/rate_limit.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>

TrkRateLimit::Clock::duration TrkRateLimit::Delay(int64_t bytes, Clock::time_point now) {
  const auto cost = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
      static_cast<double>(bytes) / static_cast<double>(rate_)));
  std::lock_guard<std::mutex> lock(mu_);
  next_free_ = std::max(next_free_, now - kBurst) + cost;
  return std::max(next_free_ - now, Clock::duration::zero());
}

bool TrkRateLimit::Pace(int64_t bytes, const std::stop_token& stop) {
  const Clock::duration wait = Delay(bytes);
  if (wait <= Clock::duration::zero()) return !stop.stop_requested();
  std::mutex mu;
  std::condition_variable_any woken;
  std::unique_lock<std::mutex> lock(mu);
  woken.wait_for(lock, stop, wait, [] { return false; });  // nothing but the stop wakes it early
  return !stop.stop_requested();
}

std::optional<int64_t> TrkRateLimit::Read(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  if (text.empty()) return 0;
  int64_t unit = 1;
  const char last = static_cast<char>(std::toupper(static_cast<unsigned char>(text.back())));
  if (last == 'K' || last == 'M') {
    unit = last == 'K' ? 1024 : 1024 * 1024;
    text.remove_suffix(1);
  }
  if (text.empty() || text.size() > 12) return std::nullopt;
  int64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + (c - '0');
  }
  return number * unit;
}
