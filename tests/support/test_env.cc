#include "tests/support/test_env.h"

#include <atomic>
#include <chrono>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace kx::test {

std::string unique_name(const std::string& stem) {
  static std::atomic<unsigned> counter{0};
#if defined(_WIN32)
  unsigned long pid = GetCurrentProcessId();
#else
  unsigned long pid = static_cast<unsigned long>(getpid());
#endif
  auto ticks = static_cast<unsigned long long>(
      std::chrono::steady_clock::now().time_since_epoch().count() % 1000000007ull);
  return stem + "_" + std::to_string(pid) + "_" + std::to_string(ticks % 100000) + "_" +
         std::to_string(counter++);
}

}  // namespace kx::test
