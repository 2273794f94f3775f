#include "transfer/data_ports.h"

#include <atomic>
#include <numeric>

static_assert(std::gcd(TrkDataPorts::kStride, TrkDataPorts::kStarts) == 1 &&
              TrkDataPorts::kStride > TrkDataPorts::kWidth);

unsigned TrkDataPorts::NextWindow() {
  static std::atomic<unsigned> next{0};
  return kFirst + next.fetch_add(kStride, std::memory_order_relaxed) % kStarts;
}

std::string TrkDataPorts::Next(const std::string& local_address) {
  if (local_address.empty()) return "-";
  const unsigned first = NextWindow();
  const std::string host = local_address.find(':') != std::string::npos ? "[" + local_address + "]" : local_address;
  return host + ":" + std::to_string(first) + "-" + std::to_string(first + kWidth - 1);
}
