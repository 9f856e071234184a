// The Windows figures, for information: Google Benchmark is not built for
// MinGW here, so a plain timer. Each export beside what a host would call
// instead (RegSetValueExW, RegQueryValueExW on the same key) and beside the
// bare append. Medians of rounds; writes in rounds of 4096 records with the
// queue emptied, untimed, between rounds, as in kelmix_bench.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelmix.h"
#include "library/admin.h"
#include "library/library_test_helper.h"
#include "platform/platform.h"
#include "store/memory.h"
#include "store/pending_queue.h"
#include "store/record.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRound = 4096;
constexpr int kRounds = 41;
const wchar_t kText32[] = L"abcdefghijklmnopqrstuvwxyz012345";

void empty_queue(KXHANDLE handle) { kx::testing::drop_pending(handle); }

double median(std::vector<double>& v) {
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

// Nanoseconds per call of n calls of op, then, untimed, reset.
template <class Op, class Reset>
double round_ns(int n, Op& op, Reset& reset) {
  auto start = Clock::now();
  for (int i = 0; i < n; ++i) op(i);
  auto end = Clock::now();
  reset();
  return std::chrono::duration<double, std::nano>(end - start).count() / n;
}

// The medians of rounds of an operation and its baseline, their rounds
// interleaved, so that a load on the machine weighs on both alike.
template <class Op, class Reset, class BaseOp, class BaseReset>
std::pair<double, double> median_pair(int n, Op op, Reset reset, int base_n, BaseOp base,
                                      BaseReset base_reset) {
  std::vector<double> ops, bases;
  for (int r = 0; r < kRounds; ++r) {
    ops.push_back(round_ns(n, op, reset));
    bases.push_back(round_ns(base_n, base, base_reset));
  }
  return {median(ops), median(bases)};
}

void nothing() {}

struct BareRecord {
  int32_t type;
  wchar_t* name;
  union {
    wchar_t* text;
    int32_t integer;
  } value;
};

// The bare limit of a queued write: copy the name (and text) to the heap, build
// a record of type, name and value, and append it to a reused vector under an
// uncontended mutex. (kelmix keeps a short name inside its record instead, so
// it can come in under this.)
struct BareQueue {
  std::mutex mu;
  std::vector<BareRecord> records;
  BareQueue() { records.reserve(kRound); }
  void append(bool with_text) {
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
    records.push_back(r);
  }
  void empty() {
    for (BareRecord& r : records) {
      kx::free_string(r.name);
      if (r.type == kx::TYPE_STRING) kx::free_string(r.value.text);
    }
    records.clear();
  }
};

void row(const char* label, double ns, const char* base_label, double base_ns) {
  if (ns >= 1e6) {
    std::printf("| %s | %.0f ms | %s | %.0f ms | %.2fx |\n", label, ns / 1e6, base_label,
                base_ns / 1e6, ns / base_ns);
  } else if (ns < base_ns / 10) {
    std::printf("| %s | %.0f ns | %s | %.0f ns | 1/%.0f |\n", label, ns, base_label, base_ns,
                base_ns / ns);
  } else {
    std::printf("| %s | %.0f ns | %s | %.0f ns | %.2fx |\n", label, ns, base_label, base_ns,
                ns / base_ns);
  }
}

}  // namespace

static double filetime_ms(const FILETIME& kernel, const FILETIME& user) {
  auto ticks = [](const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e4;
}
static double process_cpu_ms() {
  FILETIME created, ended, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
  return filetime_ms(kernel, user);
}
static double thread_cpu_ms(HANDLE thread) {
  FILETIME created, ended, kernel, user;
  GetThreadTimes(thread, &created, &ended, &kernel, &user);
  return filetime_ms(kernel, user);
}

// A host writing rate values a second for some seconds while the registry
// is read every 100 ms, as another process reads it: how far the registry
// trails the host (median, p99), what is pending at the end and what closing
// then takes.
int sustained(int rate, int seconds) {
  kx::admin::LibraryScope library;
  KXWipe(L"bench_sustained");
  KXHANDLE h = KXInit(L"bench_sustained");
  std::atomic<int> written{0};
  std::atomic<bool> stop{false};
  double before_ms = process_cpu_ms(), main_before_ms = thread_cpu_ms(GetCurrentThread());
  double writer_ms = 0;
  std::thread writer([&] {
    double mine = thread_cpu_ms(GetCurrentThread());
    auto start = Clock::now();
    int i = 0;
    while (!stop.load()) {
      auto due =
          static_cast<int>(std::chrono::duration<double>(Clock::now() - start).count() * rate);
      for (; i < due; ++i) KXValue(h, L"tick", i);
      written.store(i);
      Sleep(1);
    }
    writer_ms = thread_cpu_ms(GetCurrentThread()) - mine;
  });
  HKEY key = nullptr;
  std::vector<double> lag_ms;
  auto start = Clock::now();
  while (Clock::now() - start < std::chrono::seconds(seconds)) {
    Sleep(100);
    int now = written.load();
    if (!key) {
      RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Kelmix\\bench_sustained", 0, KEY_READ, &key);
    }
    DWORD v = 0, bytes = 4;
    LONG rc =
        key ? RegQueryValueExW(key, L"tick", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &bytes)
            : 1;
    int stored = rc == ERROR_SUCCESS ? static_cast<int>(v) : -1;
    lag_ms.push_back((now - 1 - stored) * 1000.0 / rate);
  }
  stop = true;
  writer.join();
  std::size_t left = kx::testing::pending_records(h);
  double file_kb = 0;
  {
    std::string file = kx::plat::pending_folder() + "\\" + kx::testing::pending_file_of(h);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data)) {
      file_kb = (static_cast<double>(data.nFileSizeHigh) * 4294967296.0 + data.nFileSizeLow) / 1024;
    }
  }
  auto close_start = Clock::now();
  KXClose(h);
  double close_ms = std::chrono::duration<double, std::milli>(Clock::now() - close_start).count();
  // The queue thread's: the process's, less the writer's and this thread's.
  double queue_ms = process_cpu_ms() - before_ms - writer_ms -
                    (thread_cpu_ms(GetCurrentThread()) - main_before_ms);
  if (key) RegCloseKey(key);
  std::sort(lag_ms.begin(), lag_ms.end());
  std::printf(
      "sustained %d/s for %d s: lag p50 %.0f ms, p99 %.0f ms; pending at end %zu; "
      "pending file %.0f KB; KXClose %.1f ms; queue thread %.2f us/record; %d written\n",
      rate, seconds, lag_ms[lag_ms.size() / 2], lag_ms[lag_ms.size() * 99 / 100], left, file_kb,
      close_ms, queue_ms * 1e3 / written.load(), written.load());
  KXWipe(L"bench_sustained");
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "sustained") {
    return sustained(std::atoi(argv[2]), std::atoi(argv[3]));
  }
  kx::admin::LibraryScope library;
  kx::testing::hold_queue_threads(true);
  KXHANDLE h = KXInit(L"bench_win");
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Kelmix\\bench_win_direct", 0, nullptr, 0,
                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
  auto direct_write = [&](int i) {
    DWORD v = static_cast<DWORD>(i);
    RegSetValueExW(key, L"name", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
  };
  auto empty = [&] { empty_queue(h); };

  BareQueue bare;
  auto bare_empty = [&] { bare.empty(); };
  // A first pass, thrown away: Wine's own processes are still starting while
  // a program's first second runs, and would weigh on the first figures.
  median_pair(
      kRound, [&](int i) { KXValue(h, L"name", i); }, empty, kRound,
      [&](int) { bare.append(false); }, bare_empty);
  auto kx_value = median_pair(
      kRound, [&](int i) { KXValue(h, L"name", i); }, empty, kRound,
      [&](int) { bare.append(false); }, bare_empty);
  auto kx_string = median_pair(
      kRound, [&](int) { KXString(h, L"name", kText32); }, empty, kRound,
      [&](int) { bare.append(true); }, bare_empty);
  auto value_vs_direct = median_pair(
      kRound, [&](int i) { KXValue(h, L"name", i); }, empty, 64, direct_write, nothing);

  HKEY store_key = nullptr;
  RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Kelmix\\bench_win", 0, KEY_READ, &store_key);
  auto direct_read = [&](int) {
    DWORD v = 0, bytes = 4;
    RegQueryValueExW(store_key, L"target", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &bytes);
  };
  KXValue(h, L"target", 42);
  auto pending_read = median_pair(
      kRound, [&](int) { KXGetValue(h, L"target"); }, nothing, 256, direct_read, nothing);
  KXClose(h);
  kx::testing::hold_queue_threads(false);

  // A registry read: the value written, the store opened again.
  h = KXInit(L"bench_win");
  auto registry_read = median_pair(
      256, [&](int) { KXGetValue(h, L"target"); }, nothing, 256, direct_read, nothing);
  auto count = median_pair(
      256, [&](int) { KXCount(h); }, nothing, 256,
      [&](int) {
        DWORD values = 0;
        RegQueryInfoKeyW(store_key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr);
      },
      nothing);
  auto get_key = median_pair(
      256,
      [&](int) {
        KXGetKey(h, 0);
        KXRelease(h);
      },
      nothing, 256,
      [&](int) {
        wchar_t name[256];
        DWORD length = 256;
        RegEnumValueW(store_key, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
      },
      nothing);
  KXClose(h);

  // Closing with 100,000 queued records beside 100,000 direct writes.
  constexpr int kDrain = 100000;
  auto ms = [](auto op) {
    auto start = Clock::now();
    op();
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  };
  kx::testing::hold_queue_threads(true);
  h = KXInit(L"bench_win_drain");
  for (int i = 0; i < kDrain; ++i) KXValue(h, (L"n" + std::to_wstring(i)).c_str(), i);
  double close_drain = ms([&] { KXClose(h); });
  kx::testing::hold_queue_threads(false);
  double direct_drain = ms([&] {
    for (int i = 0; i < kDrain; ++i) {
      DWORD v = static_cast<DWORD>(i);
      RegSetValueExW(key, (L"n" + std::to_wstring(i)).c_str(), 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&v), 4);
    }
  });

  std::printf("| operation | time | baseline | time | ratio |\n|---|---|---|---|---|\n");
  row("KXValue", kx_value.first, "bare append (integer)", kx_value.second);
  row("KXString, 32 characters", kx_string.first, "bare append (text)", kx_string.second);
  row("KXValue", value_vs_direct.first, "RegSetValueExW", value_vs_direct.second);
  row("read, pending", pending_read.first, "RegQueryValueExW", pending_read.second);
  row("read from the registry", registry_read.first, "RegQueryValueExW", registry_read.second);
  row("KXCount", count.first, "RegQueryInfoKeyW", count.second);
  row("KXGetKey", get_key.first, "RegEnumValueW", get_key.second);
  row("KXClose, 100,000 queued", close_drain, "100,000 RegSetValueExW", direct_drain);

  RegCloseKey(store_key);
  RegCloseKey(key);
  KXWipe(L"bench_win");
  KXWipe(L"bench_win_drain");
  KXWipe(L"bench_win_direct");
  return 0;
}
