#include "store/memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace kx {

namespace {
std::atomic<long> g_fail_at{0};  // allocation number that fails; 0: none
std::atomic<long> g_count{0};
}  // namespace

void* mem_alloc(std::size_t bytes) noexcept {
  long n = g_count.fetch_add(1, std::memory_order_relaxed) + 1;
  long fail_at = g_fail_at.load(std::memory_order_relaxed);
  if (fail_at != 0 && n == fail_at) return nullptr;
  return std::malloc(bytes ? bytes : 1);
}

void mem_free(void* p) noexcept { std::free(p); }

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
  g_fail_at.store(n > 0 ? g_count.load() + n : 0, std::memory_order_relaxed);
}
long allocation_count() noexcept { return g_count.load(std::memory_order_relaxed); }
}  // namespace testing

}  // namespace kx
