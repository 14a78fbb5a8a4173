#include "platform/faults/fault_injection.h"

#include <array>
#include <atomic>
#include <cstddef>

namespace platform::faults {
namespace {

std::array<std::atomic<int>, static_cast<std::size_t>(Fault::kCount)> armed{};

std::atomic<int>& counter(Fault fault) { return armed[static_cast<std::size_t>(fault)]; }

}  // namespace

void failNext(Fault fault, int count) { counter(fault).fetch_add(count); }

void reset() {
  for (auto& c : armed) c.store(0);
}

bool shouldFail(Fault fault) {
  auto& c = counter(fault);
  int left = c.load();
  while (left > 0) {
    if (c.compare_exchange_weak(left, left - 1)) return true;
  }
  return false;
}

}  // namespace platform::faults
