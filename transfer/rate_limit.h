#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string_view>

// A cap on the bytes per second a run sends, shared by all its connections
// (MaxRate), for users on a shared office link. Each session asks, before it
// hands bytes to its connection, how long to hold them; the answers keep the
// run's total under the rate over any stretch longer than the burst, however
// many connections ask and in whatever order.
//
// The rule: every grant moves a shared "next free" time on by bytes / rate,
// from no earlier than one burst ago, and its caller waits until that time
// has come. So a quiet moment is saved up for one burst, never more.
//
// Thread-safe: mu_ guards next_free_.
class TrkRateLimit {
 public:
  using Clock = std::chrono::steady_clock;
  // The time a connection may send ahead of the rate, so that its bytes go
  // out in chunks worth a round trip rather than trickle.
  static constexpr std::chrono::milliseconds kBurst{100};

  explicit TrkRateLimit(int64_t bytes_per_second) : rate_(bytes_per_second) {}
  int64_t rate() const { return rate_; }

  // Grants `bytes` as of `now`: how long the caller must wait before sending
  // them (zero when it may at once).
  Clock::duration Delay(int64_t bytes, Clock::time_point now = Clock::now());
  // Grants `bytes`, then waits as long as Delay says; false when `stop` was
  // asked first.
  bool Pace(int64_t bytes, const std::stop_token& stop);

  // MaxRate's value in bytes per second: a whole number, or one followed by
  // K or M (any case; 1,024 and 1,048,576), blanks around it ignored; 0 and an
  // empty text mean no cap. No value for anything else.
  static std::optional<int64_t> Read(std::string_view text);

 private:
  const int64_t rate_;  // bytes per second, above 0
  std::mutex mu_;
  Clock::time_point next_free_{};  // guarded by mu_
};
