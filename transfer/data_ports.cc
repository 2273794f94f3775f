#include "transfer/data_ports.h"

#include <atomic>
#include <numeric>

static_assert(std::gcd(TrkDataPorts::kStride, TrkDataPorts::kStarts) == 1 &&
              TrkDataPorts::kStride > TrkDataPorts::kWidth);

unsigned TrkDataPorts::NextWindow() {
  static std::atomic<unsigned> next{0};
  return kFirst + next.fetch_add(kStride, std::memory_order_relaxed) % kStarts;
}
