// Each export beside the baseline it competes with, measured in the same run:
// the bare cost of building and appending a record, a synchronous registry
// write, and the direct registry queries the reads wrap.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Before Qt, whose signals macro would rename a member of gio's structs.
#if defined(KX_BENCH_GSETTINGS)
#include <gio/gio.h>
#endif
#if defined(KX_BENCH_QSETTINGS)
#include <QSettings>
#include <QString>
#endif

#include "kelmix.h"
#include "library/admin.h"
#include "library/library_test_helper.h"
#include "platform/platform.h"
#include "store/memory.h"
#include "store/pending_queue.h"
#include "store/record.h"

namespace {

using kx::tchar;
using Str = std::basic_string<tchar>;

Str T(const std::string& s) { return Str(s.begin(), s.end()); }

const Str kText32 = T("abcdefghijklmnopqrstuvwxyz012345");

kx::admin::LibraryScope g_library;

// A store whose queue thread is held, so records stay pending while measured.
class HeldStore {
 public:
  explicit HeldStore(const std::string& name) : name_(T(name)) {
    kx::testing::hold_queue_threads(true);
    handle = KXInit(name_.c_str());
  }
  ~HeldStore() {
    KXClose(handle);
    kx::testing::hold_queue_threads(false);
    KXWipe(name_.c_str());
  }
  KXHANDLE handle;

 private:
  Str name_;
};

// ---- Writes ---------------------------------------------------------------------

// Writes are measured in rounds of kRound records; between rounds, untimed,
// the queue is emptied, so every write lands in a queue of the same size and
// in memory already faulted in. The baseline works under the same rounds.
constexpr int kRound = 4096;

// The bare limit of a queued write: copy the name (and text) to the heap, build
// a record of type, name and value, and append it to a reused vector under an
// uncontended mutex. (kelmix keeps a short name inside its record instead, so
// it can come in under this.)
struct BareRecord {
  int32_t type;
  tchar* name;
  union {
    tchar* text;
    int32_t integer;
  } value;
};

void BM_BareAppend(benchmark::State& state) {
  bool with_text = state.range(0) != 0;
  std::mutex mu;
  std::vector<BareRecord> queue;
  queue.reserve(kRound);
  auto empty = [&queue] {
    for (BareRecord& r : queue) {
      kx::free_string(r.name);
      if (r.type == kx::TYPE_STRING) kx::free_string(r.value.text);
    }
    queue.clear();
  };
  for (auto _ : state) {
    BareRecord r{};
    r.name = kx::dup_string(KX_T("name"));
    if (with_text) {
      r.type = kx::TYPE_STRING;
      r.value.text = kx::dup_string(kText32.c_str());
    } else {
      r.type = kx::TYPE_VALUE;
      r.value.integer = 7;
    }
    {
      std::lock_guard<std::mutex> lock(mu);
      queue.push_back(r);
    }
    if (queue.size() == kRound) {
      state.PauseTiming();
      empty();
      state.ResumeTiming();
    }
  }
  empty();
}
BENCHMARK(BM_BareAppend)->Arg(0)->Arg(1)->ArgName("text");

void empty_queue(KXHANDLE handle) { kx::testing::drop_pending(handle); }

void BM_KXValue(benchmark::State& state) {
  HeldStore store("bench_value");
  int i = 0;
  for (auto _ : state) {
    KXValue(store.handle, KX_T("name"), ++i);
    if (i % kRound == 0) {
      state.PauseTiming();
      empty_queue(store.handle);
      state.ResumeTiming();
    }
  }
}
BENCHMARK(BM_KXValue);

// What hosts do, beside the warm rounds above: a burst of 65,536 writes into
// a store opened just before (its pending file's pages beyond the first
// 64 KB touched for the first time), per write.
void BM_KXValueBurstAfterOpen(benchmark::State& state) {
  constexpr int kBurst = 65536;
  for (auto _ : state) {
    state.PauseTiming();
    auto store = std::make_unique<HeldStore>("bench_burst");
    state.ResumeTiming();
    for (int i = 0; i < kBurst; ++i) KXValue(store->handle, KX_T("name"), i);
    state.PauseTiming();
    empty_queue(store->handle);
    store.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBurst);
  state.counters["per write"] = benchmark::Counter(
      kBurst, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_KXValueBurstAfterOpen)->Unit(benchmark::kMillisecond);

void BM_KXString32(benchmark::State& state) {
  HeldStore store("bench_string");
  int i = 0;
  for (auto _ : state) {
    KXString(store.handle, KX_T("name"), kText32.c_str());
    if (++i % kRound == 0) {
      state.PauseTiming();
      empty_queue(store.handle);
      state.ResumeTiming();
    }
  }
}
BENCHMARK(BM_KXString32);

// What a host would do instead: write the value to the registry at once.
void BM_SyncRegistryWrite(benchmark::State& state) {
  kx::plat::Key key = nullptr;
  kx::plat::reg_create_key_a(kx::plat::current_user(), "Software\\Kelmix\\bench_sync", &key);
  int i = 0;
  for (auto _ : state) {
    ++i;
    kx::plat::reg_set_value(key, KX_T("name"), kx::kRegDword, &i, 4);
  }
  kx::plat::reg_close_key(key);
  KXWipe(KX_T("bench_sync"));
}
BENCHMARK(BM_SyncRegistryWrite);

#if defined(KX_BENCH_QSETTINGS)
// The peer a Linux host would take instead: Qt's QSettings over an INI file,
// written out at sync(), which like kelmix's queue thread is left out of
// the time. Rounds of kRound writes, as for KXValue.
QString qsettings_file() {
  const char* home = std::getenv("XDG_CONFIG_HOME");
  return QString::fromLocal8Bit(home ? home : "/tmp") + "/qsettings-bench.ini";
}

void BM_QSettingsSetValue(benchmark::State& state) {
  QSettings settings(qsettings_file(), QSettings::IniFormat);
  const QString key = QStringLiteral("name");
  int i = 0;
  for (auto _ : state) {
    settings.setValue(key, ++i);
    if (i % kRound == 0) {
      state.PauseTiming();
      settings.sync();
      state.ResumeTiming();
    }
  }
}
BENCHMARK(BM_QSettingsSetValue);

// A value just set, not yet written out: what a pending read is to kelmix.
void BM_QSettingsValue(benchmark::State& state) {
  QSettings settings(qsettings_file(), QSettings::IniFormat);
  const QString key = QStringLiteral("target");
  settings.setValue(key, 42);
  for (auto _ : state) benchmark::DoNotOptimize(settings.value(key).toInt());
}
BENCHMARK(BM_QSettingsValue);

// A value stored earlier, read through a fresh object over the synced file:
// what a read of a stored value is to kelmix.
void BM_QSettingsStoredValue(benchmark::State& state) {
  const QString key = QStringLiteral("stored");
  {
    QSettings writer(qsettings_file(), QSettings::IniFormat);
    writer.setValue(key, 42);
    writer.sync();
  }
  QSettings settings(qsettings_file(), QSettings::IniFormat);
  for (auto _ : state) benchmark::DoNotOptimize(settings.value(key).toInt());
}
BENCHMARK(BM_QSettingsStoredValue);
#endif

#if defined(KX_BENCH_GSETTINGS)
// The GNOME peer: GSettings over dconf, whose engine holds a change until
// the dconf service has it (reads see it at once) and sends it over D-Bus
// from its own thread. g_settings_sync(), like QSettings' sync(), is left
// out of the time. Needs a session bus: bench-table.py runs the benchmarks
// inside dbus-run-session.
GSettings* open_gsettings(benchmark::State& state) {
  setenv("GSETTINGS_SCHEMA_DIR", KX_BENCH_SCHEMA_DIR, 0);
  setenv("GSETTINGS_BACKEND", "dconf", 0);
  if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
    state.SkipWithError("no session bus: run inside dbus-run-session");
    return nullptr;
  }
  GSettings* settings = g_settings_new("org.kelmix.bench");
  // Without dconf's module GLib falls back to memory, which is no peer.
  GObject* backend = nullptr;
  g_object_get(settings, "backend", &backend, nullptr);
  bool dconf = std::strcmp(G_OBJECT_TYPE_NAME(backend), "DConfSettingsBackend") == 0;
  g_object_unref(backend);
  if (!dconf) {
    g_object_unref(settings);
    state.SkipWithError("the GSettings backend is not dconf");
    return nullptr;
  }
  return settings;
}

// Change notifications wait in the default main context, which no loop runs
// here: dispatch them with the sync, untimed.
void gsettings_sync() {
  g_settings_sync();
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

void BM_GSettingsSetValue(benchmark::State& state) {
  GSettings* settings = open_gsettings(state);
  if (!settings) return;
  int i = 0;
  for (auto _ : state) {
    g_settings_set_int(settings, "name", ++i);
    if (i % kRound == 0) {
      state.PauseTiming();
      gsettings_sync();
      state.ResumeTiming();
    }
  }
  gsettings_sync();
  g_object_unref(settings);
}
BENCHMARK(BM_GSettingsSetValue);

// A value just set, as for QSettings.
void BM_GSettingsValue(benchmark::State& state) {
  GSettings* settings = open_gsettings(state);
  if (!settings) return;
  g_settings_set_int(settings, "target", 42);
  for (auto _ : state) benchmark::DoNotOptimize(g_settings_get_int(settings, "target"));
  gsettings_sync();
  g_object_unref(settings);
}
BENCHMARK(BM_GSettingsValue);

// A value the dconf service has stored, read through a fresh object.
void BM_GSettingsStoredValue(benchmark::State& state) {
  GSettings* writer = open_gsettings(state);
  if (!writer) return;
  g_settings_set_int(writer, "stored", 42);
  gsettings_sync();
  g_object_unref(writer);
  GSettings* settings = open_gsettings(state);
  for (auto _ : state) benchmark::DoNotOptimize(g_settings_get_int(settings, "stored"));
  g_object_unref(settings);
}
BENCHMARK(BM_GSettingsStoredValue);
#endif

// ---- Reads ----------------------------------------------------------------------

// A read that finds a pending record, with N records pending in all, each of
// the others under its own name.
void BM_ReadPending(benchmark::State& state) {
  HeldStore store("bench_pending");
  KXValue(store.handle, KX_T("target"), 42);
  for (int64_t i = 1; i < state.range(0); ++i) {
    KXValue(store.handle, T("other" + std::to_string(i)).c_str(), static_cast<int>(i));
  }
  for (auto _ : state) benchmark::DoNotOptimize(KXGetValue(store.handle, KX_T("target")));
}
BENCHMARK(BM_ReadPending)->Arg(1)->Arg(100)->Arg(10000)->Arg(100000);

void prepare_written(const char* name, int values) {
  KXHANDLE h = KXInit(T(name).c_str());
  for (int i = 0; i < values; ++i) KXValue(h, T("v" + std::to_string(i)).c_str(), i);
  KXValue(h, KX_T("target"), 42);
  KXClose(h);
}

// A read of a stored value: nothing of that name is pending, so it is the
// registry's. What a host mostly does, at start-up and in many hosts every
// frame.
void BM_ReadRegistry(benchmark::State& state) {
  prepare_written("bench_read", 10);
  KXHANDLE h = KXInit(KX_T("bench_read"));
  for (auto _ : state) benchmark::DoNotOptimize(KXGetValue(h, KX_T("target")));
  KXClose(h);
}
BENCHMARK(BM_ReadRegistry);

void BM_KXGetDoubleStored(benchmark::State& state) {
  KXHANDLE h = KXInit(KX_T("bench_read_double"));
  KXDouble(h, KX_T("target"), 0.25);
  KXClose(h);
  h = KXInit(KX_T("bench_read_double"));
  for (auto _ : state) benchmark::DoNotOptimize(KXGetDouble(h, KX_T("target")));
  KXClose(h);
  KXWipe(KX_T("bench_read_double"));
}
BENCHMARK(BM_KXGetDoubleStored);

void BM_KXExistsStored(benchmark::State& state) {
  prepare_written("bench_read", 10);
  KXHANDLE h = KXInit(KX_T("bench_read"));
  for (auto _ : state) benchmark::DoNotOptimize(KXExists(h, KX_T("target")));
  KXClose(h);
}
BENCHMARK(BM_KXExistsStored);

// A string of 32 characters, handed back as a host does once done with it.
void BM_KXGetStringStored(benchmark::State& state) {
  KXHANDLE h = KXInit(KX_T("bench_read_string"));
  KXString(h, KX_T("target"), kText32.c_str());
  KXClose(h);
  h = KXInit(KX_T("bench_read_string"));
  for (auto _ : state) KXReleaseOne(h, KXGetString(h, KX_T("target")));
  KXClose(h);
  KXWipe(KX_T("bench_read_string"));
}
BENCHMARK(BM_KXGetStringStored);

// Host threads each reading a stored value of a store of its own: the reads
// of all threads per second (items_per_second), one thread beside two.
void BM_ReadStoredThreads(benchmark::State& state) {
  std::string name = "bench_thread" + std::to_string(state.thread_index());
  prepare_written(name.c_str(), 10);
  KXHANDLE h = KXInit(T(name).c_str());
  for (auto _ : state) benchmark::DoNotOptimize(KXGetValue(h, KX_T("target")));
  state.SetItemsProcessed(state.iterations());
  KXClose(h);
}
BENCHMARK(BM_ReadStoredThreads)->Threads(1)->Threads(2)->UseRealTime();

void BM_DirectQuery(benchmark::State& state) {
  prepare_written("bench_read", 10);
  kx::plat::Key key = nullptr;
  kx::plat::reg_open_key_a(kx::plat::current_user(), "Software\\Kelmix\\bench_read", &key);
  for (auto _ : state) {
    int32_t v = 0;
    uint32_t bytes = 4;
    benchmark::DoNotOptimize(kx::plat::reg_query_value(key, KX_T("target"), nullptr, &v, &bytes));
  }
  kx::plat::reg_close_key(key);
}
BENCHMARK(BM_DirectQuery);

void BM_KXCount(benchmark::State& state) {
  prepare_written("bench_read", 10);
  KXHANDLE h = KXInit(KX_T("bench_read"));
  for (auto _ : state) benchmark::DoNotOptimize(KXCount(h));
  KXClose(h);
}
BENCHMARK(BM_KXCount);

void BM_DirectQueryInfoKey(benchmark::State& state) {
  prepare_written("bench_read", 10);
  kx::plat::Key key = nullptr;
  kx::plat::reg_open_key_a(kx::plat::current_user(), "Software\\Kelmix\\bench_read", &key);
  for (auto _ : state) {
    uint32_t n = 0;
    benchmark::DoNotOptimize(kx::plat::reg_query_info_key(key, &n, nullptr));
  }
  kx::plat::reg_close_key(key);
}
BENCHMARK(BM_DirectQueryInfoKey);

void BM_KXGetKey(benchmark::State& state) {
  prepare_written("bench_read", 10);
  KXHANDLE h = KXInit(KX_T("bench_read"));
  for (auto _ : state) KXReleaseOne(h, KXGetKey(h, 3));
  KXClose(h);
}
BENCHMARK(BM_KXGetKey);

void BM_DirectEnumValue(benchmark::State& state) {
  prepare_written("bench_read", 10);
  kx::plat::Key key = nullptr;
  kx::plat::reg_open_key_a(kx::plat::current_user(), "Software\\Kelmix\\bench_read", &key);
  tchar name[64];
  for (auto _ : state) {
    uint32_t len = 64;
    benchmark::DoNotOptimize(kx::plat::reg_enum_value(key, 3, name, &len));
  }
  kx::plat::reg_close_key(key);
}
BENCHMARK(BM_DirectEnumValue);

// KXDelPref over a key of N values: it lists every name, so its cost per
// value must not grow with the index (linear overall, not quadratic). The
// deletes it queues are held, then drained untimed.
void BM_KXDelPref(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    prepare_written("bench_delpref", static_cast<int>(state.range(0)));
    kx::testing::hold_queue_threads(true);
    KXHANDLE h = KXInit(KX_T("bench_delpref"));
    state.ResumeTiming();
    benchmark::DoNotOptimize(KXDelPref(h, KX_T("v")));
    state.PauseTiming();
    KXClose(h);
    kx::testing::hold_queue_threads(false);
    KXWipe(KX_T("bench_delpref"));
    state.ResumeTiming();
  }
  state.counters["values/s"] = benchmark::Counter(static_cast<double>(state.range(0)),
                                                  benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_KXDelPref)->Arg(5000)->Arg(20000)->Unit(benchmark::kMillisecond)->Iterations(1);

// ---- Closing --------------------------------------------------------------------

// KXClose of a store with N queued records: the drain's throughput.
void BM_CloseDrain(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    kx::testing::hold_queue_threads(true);
    KXHANDLE h = KXInit(KX_T("bench_close"));
    for (int64_t i = 0; i < state.range(0); ++i) {
      KXValue(h, T("v" + std::to_string(i)).c_str(), static_cast<int>(i));
    }
    state.ResumeTiming();
    KXClose(h);
    state.PauseTiming();
    kx::testing::hold_queue_threads(false);
    KXWipe(KX_T("bench_close"));
    state.ResumeTiming();
  }
  state.counters["records/s"] = benchmark::Counter(static_cast<double>(state.range(0)),
                                                   benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_CloseDrain)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(1);

// ---- A sustained writer -------------------------------------------------------------

// A host writing `rate` values a second, in steps of a millisecond, for 5 s
// (KX_SUSTAINED_SECONDS for longer), while the registry is read every 100 ms
// as another process would read it: how far the registry trails the host,
// what is pending at the end, what closing then takes, and the queue
// thread's CPU time per record (the process's, less the two threads here).
double cpu_ms(int who) {
  rusage r;
  getrusage(who, &r);
  return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e3 +
         (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e3;
}
double thread_cpu_ms() { return cpu_ms(RUSAGE_THREAD); }
double process_cpu_ms() { return cpu_ms(RUSAGE_SELF); }

void BM_SustainedWriter(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const char* env = std::getenv("KX_SUSTAINED_SECONDS");
  const int seconds = env ? std::atoi(env) : 5;
  for (auto _ : state) {
    KXWipe(KX_T("bench_sustained"));
    KXHANDLE h = KXInit(KX_T("bench_sustained"));
    std::atomic<int> written{0};
    std::atomic<bool> stop{false};
    double writer_cpu = 0;
    double write_ns = 0;  // inside the writes alone
    double cpu_before = process_cpu_ms(), main_before = thread_cpu_ms();
    std::thread writer([&] {
      double mine = thread_cpu_ms();
      auto start = std::chrono::steady_clock::now();
      int i = 0;
      while (!stop.load()) {
        auto due = static_cast<int>(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() * rate);
        auto batch = std::chrono::steady_clock::now();
        int first = i;
        for (; i < due; ++i) KXValue(h, KX_T("tick"), i);
        if (i > first)
          write_ns +=
              std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - batch)
                  .count();
        written.store(i);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      writer_cpu = thread_cpu_ms() - mine;
    });
    kx::plat::Key key = nullptr;
    kx::plat::reg_open_key_a(kx::plat::current_user(), "Software\\Kelmix\\bench_sustained", &key);
    std::vector<double> lag_ms;
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(seconds)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      int now = written.load();
      int32_t stored = -1;
      uint32_t bytes = sizeof stored;
      if (!key)
        kx::plat::reg_open_key_a(kx::plat::current_user(), "Software\\Kelmix\\bench_sustained",
                                 &key);
      if (key) kx::plat::reg_query_value(key, KX_T("tick"), nullptr, &stored, &bytes);
      lag_ms.push_back((now - 1 - stored) * 1000.0 / rate);
    }
    stop = true;
    writer.join();
    std::size_t left = kx::testing::pending_records(h);
    double file_kb = 0;
    {
      std::string file = kx::plat::pending_folder() + "/" + kx::testing::pending_file_of(h);
      struct stat st;
      if (::stat(file.c_str(), &st) == 0) file_kb = st.st_size / 1024.0;
    }
    long rss_kb = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
      long pages = 0, resident = 0;
      if (std::fscanf(f, "%ld %ld", &pages, &resident) == 2) rss_kb = resident * 4;
      std::fclose(f);
    }
    auto close_start = std::chrono::steady_clock::now();
    KXClose(h);
    double close_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - close_start)
            .count();
    double queue_cpu = process_cpu_ms() - cpu_before - writer_cpu - (thread_cpu_ms() - main_before);
    if (key) kx::plat::reg_close_key(key);
    std::sort(lag_ms.begin(), lag_ms.end());
    state.counters["lag p50 ms"] = lag_ms.empty() ? 0 : lag_ms[lag_ms.size() / 2];
    state.counters["lag p99 ms"] = lag_ms.empty() ? 0 : lag_ms[lag_ms.size() * 99 / 100];
    state.counters["pending at end"] = static_cast<double>(left);
    state.counters["RSS KB"] = static_cast<double>(rss_kb);
    state.counters["pending file KB"] = file_kb;
    state.counters["close ms"] = close_ms;
    state.counters["queue CPU us/record"] = queue_cpu * 1e3 / written.load();
    state.counters["ns/write"] = write_ns / written.load();
    KXWipe(KX_T("bench_sustained"));
  }
}
BENCHMARK(BM_SustainedWriter)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kSecond)
    ->Iterations(1);

// ---- Pending files ----------------------------------------------------------------

// The first write to each page of a fresh pending-file view: what a burst
// pays once per page it grows into (a page holds 128 short integer records).
void BM_PendingFirstTouchPerPage(benchmark::State& state) {
  constexpr std::size_t kBytes = 4u << 20;
  constexpr std::size_t kPage = 4096;
  for (auto _ : state) {
    state.PauseTiming();
    kx::plat::PendingFile file;
    file.create("bench-first-touch.new");
    file.resize(kBytes);
    auto* view = static_cast<unsigned char*>(file.map(0, kBytes));
    state.ResumeTiming();
    for (std::size_t i = 0; i < kBytes; i += kPage) view[i] = 1;
    state.PauseTiming();
    kx::plat::PendingFile::unmap(view, kBytes);
    file.remove();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kBytes / kPage));
  state.counters["per page"] = benchmark::Counter(
      static_cast<double>(kBytes / kPage),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PendingFirstTouchPerPage)->Unit(benchmark::kMillisecond);

// ---- Memory ---------------------------------------------------------------------

// Heap bytes per queued record beyond what a heap copy of its name would
// take, from the allocator, with every name distinct: the index then holds
// an entry per record. A short name lives inside the record, so its copy is
// part of the figure.
void BM_MemoryPerRecord(benchmark::State& state) {
  constexpr int kRecords = 100000;
  std::vector<Str> names;
  for (int i = 0; i < kRecords; ++i) names.push_back(T("n" + std::to_string(i)));
  for (auto _ : state) {
    HeldStore store("bench_memory");
    kx::testing::track_bytes(true);
    long before = kx::testing::allocated_bytes();
    for (int i = 0; i < kRecords; ++i) KXValue(store.handle, names[i].c_str(), i);
    long after = kx::testing::allocated_bytes();
    // The names' own blocks (with the allocator's headers) are the records'
    // strings, not their overhead.
    long names_bytes = 0;
    for (const Str& name : names) {
      long b = kx::testing::allocated_bytes();
      tchar* copy = kx::dup_string(name.c_str());
      names_bytes += kx::testing::allocated_bytes() - b;
      kx::free_string(copy);
    }
    kx::testing::track_bytes(false);
    state.counters["bytes/record"] = double(after - before - names_bytes) / kRecords;
    empty_queue(store.handle);  // closing need not write them all
  }
}
BENCHMARK(BM_MemoryPerRecord)->Iterations(1);

// Heap bytes in use, large blocks the allocator maps on their own included.
size_t heap_in_use() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Heap bytes the copy of an open key holds per value once every value has
// been read, from the allocator: what closing the key gives back. Names v0,
// v1, ..., integers.
void BM_CopyMemoryPerValue(benchmark::State& state) {
  const int values = static_cast<int>(state.range(0));
  prepare_written("bench_copy", values);
  for (auto _ : state) {
    kx::plat::Key key = nullptr;
    kx::plat::reg_open_key_a(kx::plat::current_user(), "Software\\Kelmix\\bench_copy", &key);
    for (int i = 0; i < values; ++i) {
      int32_t v = 0;
      uint32_t bytes = 4;
      kx::plat::reg_query_value(key, T("v" + std::to_string(i)).c_str(), nullptr, &v, &bytes);
    }
    size_t held = heap_in_use();
    kx::plat::reg_close_key(key);
    state.counters["bytes/value"] = double(held - heap_in_use()) / values;
  }
  KXWipe(KX_T("bench_copy"));
}
BENCHMARK(BM_CopyMemoryPerValue)->Arg(100)->Arg(10000)->Iterations(1);

// Stores open and idle cost no wake-ups: the process's CPU time while 100 of
// them sit for a second, in milliseconds.

void BM_IdleStores(benchmark::State& state) {
  std::vector<KXHANDLE> open;
  for (int64_t i = 0; i < state.range(0); ++i) {
    open.push_back(KXInit(T("bench_idle" + std::to_string(i)).c_str()));
  }
  kx::plat::sleep_ms(100);  // the threads have started and gone to sleep
  for (auto _ : state) {
    double cpu = process_cpu_ms();
    kx::plat::sleep_ms(1000);
    state.counters["cpu_ms"] = process_cpu_ms() - cpu;
  }
  for (size_t k = 0; k < open.size(); ++k) {
    KXClose(open[k]);
    KXWipe(T("bench_idle" + std::to_string(k)).c_str());
  }
}
BENCHMARK(BM_IdleStores)->Arg(100)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- Stores open ----------------------------------------------------------------

// The records go round robin to N held stores; rounds as for one store.
void BM_KXValueWithStoresOpen(benchmark::State& state) {
  std::vector<KXHANDLE> open;
  kx::testing::hold_queue_threads(true);
  for (int64_t i = 0; i < state.range(0); ++i) {
    open.push_back(KXInit(T("bench_many" + std::to_string(i)).c_str()));
  }
  int i = 0;
  for (auto _ : state) {
    ++i;
    KXValue(open[static_cast<size_t>(i) % open.size()], KX_T("n"), i);
    if (i % kRound == 0) {
      state.PauseTiming();
      for (KXHANDLE h : open) empty_queue(h);
      state.ResumeTiming();
    }
  }
  for (size_t k = 0; k < open.size(); ++k) {
    KXClose(open[k]);
    KXWipe(T("bench_many" + std::to_string(k)).c_str());
  }
  kx::testing::hold_queue_threads(false);
}
BENCHMARK(BM_KXValueWithStoresOpen)->Arg(1)->Arg(10)->Arg(100);

// A pending read from each of N held stores in turn, each with one record.
void BM_ReadWithStoresOpen(benchmark::State& state) {
  std::vector<KXHANDLE> open;
  kx::testing::hold_queue_threads(true);
  for (int64_t i = 0; i < state.range(0); ++i) {
    open.push_back(KXInit(T("bench_many" + std::to_string(i)).c_str()));
    KXValue(open.back(), KX_T("n"), 1);
  }
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(KXGetValue(open[++i % open.size()], KX_T("n")));
  for (size_t k = 0; k < open.size(); ++k) {
    KXClose(open[k]);
    KXWipe(T("bench_many" + std::to_string(k)).c_str());
  }
  kx::testing::hold_queue_threads(false);
}
BENCHMARK(BM_ReadWithStoresOpen)->Arg(1)->Arg(10)->Arg(100);

}  // namespace

BENCHMARK_MAIN();
