#include "store/memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "store/store_test_helper.h"

namespace kx {

namespace {
// Allocations left before the one that fails; 0: none fails. Only a test
// arms it, so an ordinary allocation reads it and changes nothing shared.
std::atomic<long> g_fail_in{0};
std::atomic<bool> g_track{false};
std::atomic<long> g_bytes{0};

long block_bytes(void* p) { return static_cast<long>(plat::heap_block_bytes(p)); }
}  // namespace

void* mem_alloc(std::size_t bytes) noexcept {
  long left = g_fail_in.load(std::memory_order_relaxed);
  while (left > 0 && !g_fail_in.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
  }
  if (left == 1) return nullptr;
  void* p = std::malloc(bytes ? bytes : 1);
  if (p && g_track.load(std::memory_order_relaxed)) g_bytes += block_bytes(p);
  return p;
}

void mem_free(void* p) noexcept {
  if (p && g_track.load(std::memory_order_relaxed)) g_bytes -= block_bytes(p);
  std::free(p);
}

tchar* alloc_string(std::size_t n) noexcept {
  if (n > static_cast<std::size_t>(-1) / sizeof(tchar)) return nullptr;
  return static_cast<tchar*>(mem_alloc(n * sizeof(tchar)));
}

tchar* dup_string(const tchar* s) noexcept {
  std::size_t len = plat::str_len(s);
  tchar* copy = alloc_string(len + 1);
  if (copy) std::memcpy(copy, s, (len + 1) * sizeof(tchar));
  return copy;
}

namespace testing {
void fail_nth_allocation(long n) noexcept {
  g_fail_in.store(n > 0 ? n : 0, std::memory_order_relaxed);
}
void track_bytes(bool on) noexcept { g_track.store(on); }
long allocated_bytes() noexcept { return g_bytes.load(); }
}  // namespace testing

}  // namespace kx
