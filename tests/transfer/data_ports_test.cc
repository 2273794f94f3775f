#include "transfer/data_ports.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

// The first port of a window "ADDRESS:FIRST-LAST", checking its form.
unsigned FirstPort(const std::string& window, const std::string& address) {
  EXPECT_EQ(window.rfind(address + ":", 0), 0u) << window;
  const unsigned first = std::stoul(window.substr(address.size() + 1));
  EXPECT_EQ(window.substr(window.find('-')), "-" + std::to_string(first + TrkDataPorts::kWidth - 1)) << window;
  EXPECT_GE(first, TrkDataPorts::kFirst) << window;
  EXPECT_LE(first + TrkDataPorts::kWidth - 1, TrkDataPorts::kLast) << window;
  return first;
}

TEST(DataPortsTest, EachWindowStartsAStridePastTheLastAndEveryStartComesRound) {
  EXPECT_EQ(TrkDataPorts::Next(""), "-") << "no address: the kernel chooses";
  FirstPort(TrkDataPorts::Next("::1"), "[::1]");
  std::set<unsigned> starts;
  unsigned last = FirstPort(TrkDataPorts::Next("127.0.0.1"), "127.0.0.1");
  for (unsigned i = 0; i < TrkDataPorts::kStarts; ++i) {
    const unsigned first = FirstPort(TrkDataPorts::Next("127.0.0.1"), "127.0.0.1");
    ASSERT_EQ((first - TrkDataPorts::kFirst + TrkDataPorts::kStarts - (last - TrkDataPorts::kFirst)) %
                  TrkDataPorts::kStarts,
              TrkDataPorts::kStride)
        << "window " << i << " starts at " << first << " after " << last;
    starts.insert(first);
    last = first;
  }
  EXPECT_EQ(starts.size(), TrkDataPorts::kStarts) << "a start never came round";
}

}  // namespace
