// The Windows figures, for information: Google Benchmark is not built for
// MinGW here, so a plain timer. Each export beside what a host would call
// instead (RegSetValueExW, RegQueryValueExW on the same key) and beside the
// bare append. Medians of rounds; writes in rounds of 4096 records with the
// queue emptied, untimed, between rounds, as in kelmix_bench.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "kelmix.h"
#include "library/handles.h"
#include "library/library.h"
#include "store/store.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRound = 4096;
constexpr int kRounds = 41;
const wchar_t kText32[] = L"abcdefghijklmnopqrstuvwxyz012345";

void empty_queue(KXHANDLE handle) {
  kx::HandleMap::Ref store = kx::acquire_store(handle);
  kx::plat::Lock<kx::plat::Mutex> lock(store->queue_lock);
  store->queue.clear();
}

// Nanoseconds per call, the median of rounds of n calls of op; after each
// round, untimed, reset.
template <class Op, class Reset>
double median_ns(int n, Op op, Reset reset) {
  std::vector<double> rounds;
  for (int r = 0; r < kRounds; ++r) {
    auto start = Clock::now();
    for (int i = 0; i < n; ++i) op(i);
    auto end = Clock::now();
    reset();
    rounds.push_back(std::chrono::duration<double, std::nano>(end - start).count() / n);
  }
  std::nth_element(rounds.begin(), rounds.begin() + kRounds / 2, rounds.end());
  return rounds[kRounds / 2];
}

struct BareRecord {
  int32_t type;
  wchar_t* name;
  union {
    wchar_t* text;
    int32_t integer;
  } value;
};

double bare_append(bool with_text) {
  std::mutex mu;
  std::vector<BareRecord> queue;
  queue.reserve(kRound);
  return median_ns(
      kRound,
      [&](int) {
        BareRecord r{};
        r.name = kx::dup_string(L"name");
        if (with_text) {
          r.type = kx::TYPE_STRING;
          r.value.text = kx::dup_string(kText32);
        } else {
          r.type = kx::TYPE_VALUE;
          r.value.integer = 7;
        }
        std::lock_guard<std::mutex> lock(mu);
        queue.push_back(r);
      },
      [&] {
        for (BareRecord& r : queue) {
          kx::free_string(r.name);
          if (r.type == kx::TYPE_STRING) kx::free_string(r.value.text);
        }
        queue.clear();
      });
}

void row(const char* label, double ns, const char* base_label, double base_ns) {
  std::printf("| %s | %.0f ns | %s | %.0f ns | %.2fx |\n", label, ns, base_label, base_ns,
              ns / base_ns);
}

}  // namespace

int main() {
  kx::on_library_load();
  kx::testing::hold_queue_threads(true);
  KXHANDLE h = KXInit(L"bench_win");
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Kelmix\\bench_win_direct", 0, nullptr, 0,
                  KEY_ALL_ACCESS, nullptr, &key, nullptr);

  double bare_int = bare_append(false);
  double bare_text = bare_append(true);
  double kx_value = median_ns(
      kRound, [&](int i) { KXValue(h, L"name", i); }, [&] { empty_queue(h); });
  double kx_string = median_ns(
      kRound, [&](int) { KXString(h, L"name", kText32); }, [&] { empty_queue(h); });
  double direct_write = median_ns(
      64,
      [&](int i) {
        DWORD v = static_cast<DWORD>(i);
        RegSetValueExW(key, L"name", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
      },
      [] {});

  KXValue(h, L"target", 42);
  double pending_read = median_ns(
      kRound, [&](int) { KXGetValue(h, L"target"); }, [] {});
  KXClose(h);
  kx::testing::hold_queue_threads(false);

  // A registry read: the value written, the store opened again.
  h = KXInit(L"bench_win");
  double registry_read = median_ns(
      kRound, [&](int) { KXGetValue(h, L"target"); }, [] {});
  HKEY store_key = nullptr;
  RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Kelmix\\bench_win", 0, KEY_READ, &store_key);
  double direct_read = median_ns(
      kRound,
      [&](int) {
        DWORD v = 0, bytes = 4;
        RegQueryValueExW(store_key, L"target", nullptr, nullptr, reinterpret_cast<BYTE*>(&v),
                         &bytes);
      },
      [] {});

  std::printf("| operation | time | baseline | time | ratio |\n|---|---|---|---|---|\n");
  row("KXValue", kx_value, "bare append (integer)", bare_int);
  row("KXString, 32 characters", kx_string, "bare append (text)", bare_text);
  row("KXValue", kx_value, "RegSetValueExW", direct_write);
  row("read, pending", pending_read, "RegQueryValueExW", direct_read);
  row("read from the registry", registry_read, "RegQueryValueExW", direct_read);

  RegCloseKey(store_key);
  RegCloseKey(key);
  KXClose(h);
  KXWipe(L"bench_win");
  KXWipe(L"bench_win_direct");
  kx::on_library_unload(false);
  return 0;
}
