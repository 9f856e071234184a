// Registry faults for tests, shared by the Windows and POSIX backends: off
// unless a test arms one, and then one relaxed load per write until it fires.
#include "platform/registry_fault.h"

#include <atomic>

#include "platform/platform.h"
#include "platform/platform_test_helper.h"

namespace kx::plat {

namespace {

std::atomic<long> g_writes_left{0};  // the armed write's place from now; 0 when off
std::atomic<int32_t> g_fault_code{kOk};

}  // namespace

void testing::fail_nth_registry_write(long n, int32_t code) {
  g_fault_code.store(code);
  g_writes_left.store(n > 0 ? n : 0);
}

int32_t injected_write_fault() noexcept {
  long left = g_writes_left.load(std::memory_order_relaxed);
  while (left > 0 && !g_writes_left.compare_exchange_weak(left, left - 1)) {
  }
  return left == 1 ? g_fault_code.load() : kOk;
}

}  // namespace kx::plat
