#include "transfer/data_ports.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(DataPortsTest, EachWindowStartsAStridePastTheLastAndEveryStartComesRound) {
  std::set<unsigned> starts;
  unsigned last = TrkDataPorts::NextWindow();
  for (unsigned i = 0; i < TrkDataPorts::kStarts; ++i) {
    const unsigned first = TrkDataPorts::NextWindow();
    ASSERT_GE(first, TrkDataPorts::kFirst);
    ASSERT_LE(first + TrkDataPorts::kWidth - 1, TrkDataPorts::kLast) << "window " << i << " runs past the range";
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
