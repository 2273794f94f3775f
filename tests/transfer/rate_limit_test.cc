// MaxRate: the shared grant that keeps a run's connections under one rate,
// and the option's text.
#include "transfer/rate_limit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

namespace {

using namespace std::chrono_literals;
using Clock = TrkRateLimit::Clock;

// Grants asked at given moments, by one connection or several, and the wait
// each is told. 1,000 bytes per second: a byte costs a millisecond, and up
// to 100 ms' worth may go ahead of the rate.
TEST(RateLimitTest, GrantsKeepTheTotalUnderTheRateWithOneBurstAhead) {
  struct Grant {
    Clock::duration at;  // since the start
    int64_t bytes;
    Clock::duration wait;
  };
  const struct Row {
    const char* what;
    std::vector<Grant> grants;
  } rows[] = {
      {"a first burst goes at once", {{0ms, 100, 0ms}}},
      {"past the burst waits its cost", {{0ms, 100, 0ms}, {0ms, 50, 50ms}}},
      {"two connections at one moment queue behind each other",
       {{0ms, 100, 0ms}, {0ms, 100, 100ms}, {0ms, 100, 200ms}}},
      {"waiting as told lets the next go in turn", {{0ms, 300, 200ms}, {200ms, 100, 100ms}}},
      {"a quiet second saves up one burst, no more", {{0ms, 100, 0ms}, {1000ms, 100, 0ms}, {1000ms, 100, 100ms}}},
      {"a large grant waits for all of it but the burst", {{0ms, 2000, 1900ms}}},
      {"nothing costs nothing", {{0ms, 100, 0ms}, {0ms, 0, 0ms}}},
  };
  const Clock::time_point start = Clock::now();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TrkRateLimit limit(1000);
    for (const Grant& grant : row.grants) {
      const auto wait = limit.Delay(grant.bytes, start + grant.at);
      EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(wait + 500us), grant.wait)
          << grant.bytes << " bytes at " << std::chrono::duration_cast<std::chrono::milliseconds>(grant.at).count()
          << " ms";
    }
  }
}

TEST(RateLimitTest, ReadsBytesPerSecondWithKOrMAndNothingElse) {
  const struct Row {
    const char* text;
    std::optional<int64_t> rate;  // 0: no cap
  } rows[] = {
      {"", 0},           {"0", 0},          {" 250000 ", 250000}, {"500K", 512000},
      {"500k", 512000},  {"2M", 2097152},   {"1m", 1048576},      {"K", std::nullopt},
      {"-5", std::nullopt}, {"1.5M", std::nullopt}, {"2G", std::nullopt}, {"fast", std::nullopt},
      {"1 M", std::nullopt}, {"9999999999999", std::nullopt},
  };
  for (const Row& row : rows) EXPECT_EQ(TrkRateLimit::Read(row.text), row.rate) << '"' << row.text << '"';
}

}  // namespace
