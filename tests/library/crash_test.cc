// Hosts that die with writes queued: killed right after a write, while a
// close drains, while another process completes their records; a damaged
// pending file; two processes on one store; a wipe after a crash.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "store/journal_format.h"
#include "tests/library/api.h"
#include "tests/library/registry_view.h"
#include "tests/support/test_env.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace kx::test {
namespace {

constexpr const char* kChildVariable = "KX_CRASH_CHILD";
constexpr int kNames = 5000;  // 4 records each: 20,000 queued
constexpr int kSmall = 100;

WString W(const std::string& ascii) { return WString(ascii.begin(), ascii.end()); }

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool exists(const std::string& path) {
  if (FILE* f = std::fopen(path.c_str(), "r")) {
    std::fclose(f);
    return true;
  }
  return false;
}

// Records whose outcome shows their order: each name is a string, then an
// integer; each double is set; "last" counts up.
template <class C>
void queue_all(Api<C>& kx, KXHANDLE h) {
  auto t = [](const std::string& s) { return text<C>(s); };
  for (int i = 0; i < kNames; ++i) {
    kx.KXString(h, t("n" + std::to_string(i)).c_str(), t("old").c_str());
    kx.KXDouble(h, t("d" + std::to_string(i)).c_str(), i + 0.5);
    kx.KXValue(h, t("n" + std::to_string(i)).c_str(), i);
    kx.KXValue(h, t("last").c_str(), i);
  }
}

// What queue_all leaves, in the registry: a failure message, or "".
std::string check_all(const std::string& store) {
  if (stored_count(store) != 2 * kNames + 1) {
    return "count " + std::to_string(stored_count(store));
  }
  for (int i = 0; i < kNames; ++i) {
    StoredValue n = stored(store, W("n" + std::to_string(i)));
    int32_t v = -1;
    if (n.type == kRegDword && n.bytes.size() == 4) std::memcpy(&v, n.bytes.data(), 4);
    if (v != i) return "n" + std::to_string(i) + " is not its last value";
    StoredValue d = stored(store, W("d" + std::to_string(i)));
    double x = 0;
    if (d.type == kRegBinary && d.bytes.size() == 8) std::memcpy(&x, d.bytes.data(), 8);
    if (x != i + 0.5) return "d" + std::to_string(i) + " is missing";
  }
  StoredValue last = stored(store, W("last"));
  int32_t v = -1;
  if (last.bytes.size() == 4) std::memcpy(&v, last.bytes.data(), 4);
  return v == kNames - 1 ? "" : "last is " + std::to_string(v);
}

// The store's pending files with that suffix.
std::vector<std::string> files_of(const std::string& store, const char* suffix) {
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "%016llx-",
                static_cast<unsigned long long>(plat::key_name_hash(W(store).c_str())));
  std::vector<std::string> names;
  plat::list_pending_files(prefix, suffix, &names);
  return names;
}

// ---- Child processes: this program again, with KX_CRASH_CHILD=action:store[:arg].

template <class C>
int child_queue_and_die(const std::string& store) {
  Api<C>& kx = api<std::conditional_t<sizeof(C) == 1, Narrow, Wide>>();
  KXHANDLE h = kx.KXInit(text<C>(store).c_str());
  if (h < 0x10000) return 4;
  queue_all(kx, h);
  die_now();
}

int child_small_and_die(const std::string& store, bool restarted = false) {
  auto& kx = api<Narrow>();
  KXHANDLE h = kx.KXInit(store.c_str());
  if (restarted) {
    // Once the first value is in the registry the queue has emptied and the
    // file has moved to its next epoch.
    kx.KXValue(h, "first", 1);
    while (stored(store, W("first")).rc != 0) sleep_ms(10);
    sleep_ms(10);
  }
  for (int i = 0; i < kSmall; ++i) kx.KXValue(h, ("v" + std::to_string(i)).c_str(), i);
  die_now();
}

// Dies at a random moment within ms milliseconds while the main thread works.
void die_within(int ms) {
  int delay = static_cast<int>(std::random_device()() % static_cast<unsigned>(ms));
  std::thread([delay] {
    sleep_ms(delay);
    die_now();
  }).detach();
}

int child_close_and_die(const std::string& store) {
  auto& kx = api<Narrow>();
  KXHANDLE h = kx.KXInit(store.c_str());
  queue_all(kx, h);
  die_within(60);
  kx.KXClose(h);
  die_now();
}

int child_open_and_die(const std::string& store) {
  die_within(40);
  api<Wide>().KXInit(text<WideChar>(store).c_str());
  return 0;
}

// Holds a store open with records queued until the release file appears.
int child_hold(const std::string& store, const std::string& flag) {
  auto& kx = api<Narrow>();
  KXHANDLE h = kx.KXInit(store.c_str());
  for (int i = 0; i < 50; ++i) kx.KXValue(h, ("a" + std::to_string(i)).c_str(), i);
  if (FILE* f = std::fopen((flag + ".held").c_str(), "w")) std::fclose(f);
  while (!exists(flag + ".release")) sleep_ms(10);
  return kx.KXClose(h);
}

// Leaves x=1 pending in the wide library's file, then 60 ms later x=2 in the
// narrow one's, which is older, and dies. Each sits behind 20 records that
// keep it pending, and behind a record performed at once, so a stamp taken
// from a clock only the queue thread refreshed would say both were made at
// the same moment, and the older file's record would go first.
int child_two_files_and_die(const std::string& store) {
  auto& narrow = api<Narrow>();
  auto& wide = api<Wide>();
  KXHANDLE n = narrow.KXInit(store.c_str());
  KXHANDLE w = wide.KXInit(text<WideChar>(store).c_str());
  if (n < 0x10000 || w < 0x10000) return 4;
  for (int i = 0; i < 20; ++i) {
    narrow.KXValue(n, ("n" + std::to_string(i)).c_str(), i);
    wide.KXValue(w, text<WideChar>("w" + std::to_string(i)).c_str(), i);
  }
  wide.KXValue(w, text<WideChar>("x").c_str(), 1);
  sleep_ms(60);
  narrow.KXValue(n, "x", 2);
  die_now();
}

// Writes n<i> = i, ten about every millisecond, until the registry has most
// of them (the queue thread is catching up with records a second old, and
// has performed enough for the file's start to be reused for the rest),
// then a little longer for the queue thread's next turns, then sets last
// and dies. Paced by the registry's progress, not by time, so a slow machine
// only takes longer.
int child_stream_and_die(const std::string& store) {
  auto& kx = api<Narrow>();
  KXHANDLE h = kx.KXInit(store.c_str());
  auto start = std::chrono::steady_clock::now();
  int i = 0;
  for (int round = 1;; ++round) {
    for (int burst = 0; burst < 10; ++burst, ++i) {
      kx.KXValue(h, ("n" + std::to_string(i)).c_str(), i);
    }
    sleep_ms(1);
    if (round % 100 == 0 && i >= 4000 &&
        stored(store, W("n" + std::to_string(i * 7 / 10))).rc == 0) {
      break;
    }
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(60)) break;
  }
  sleep_ms(300);
  kx.KXValue(h, "last", i - 1);
  die_now();
}

#if !defined(_WIN32)
int open_descriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n - 3;  // ".", ".." and the folder's own
}

void limit_descriptors(rlim_t n) {
  rlimit r{n, n};
  setrlimit(RLIMIT_NOFILE, &r);
}

// Opens stores <stem>_0 .. _1999 under a limit of 1024 descriptors, sets v
// in each it could open, writes "<index> <KXInit's result>" for each to the
// file arg (a handle, or a code below 0x10000), and dies.
int child_many_and_die(const std::string& stem, const std::string& list) {
  FILE* out = std::fopen(list.c_str(), "w");
  if (!out) return 5;
  limit_descriptors(1024);
  auto& kx = api<Narrow>();
  std::vector<KXHANDLE> handles;
  for (int i = 0; i < 2000; ++i) {
    KXHANDLE h = kx.KXInit((stem + "_" + std::to_string(i)).c_str());
    handles.push_back(h);
    std::fprintf(out, "%d %d\n", i, h);
  }
  std::fclose(out);
  // The queue thread performs w at once and v only 100 ms later: v is
  // pending when the process dies.
  for (int i = 0; i < 2000; ++i) {
    if (handles[i] < 0x10000) continue;
    kx.KXValue(handles[i], "w", 0);
    kx.KXValue(handles[i], "v", i);
  }
  die_now();
}

// Opens the store with a few descriptors to spare (arg "few") or none
// ("none"): exits with KXInit's result, or 0 with a handle.
int child_open_short_of_descriptors(const std::string& store, const std::string& how) {
  auto& kx = api<Narrow>();
  KXHANDLE warm = kx.KXInit("crash_warm");  // the registry's connection is made
  if (how == "few") {
    limit_descriptors(static_cast<rlim_t>(open_descriptors() + 6));
  } else {
    while (::open("/dev/null", O_RDONLY) >= 0) {
    }
  }
  KXHANDLE h = kx.KXInit(store.c_str());
  if (h < 0x10000) return h;
  kx.KXClose(h);
  kx.KXClose(warm);
  return 0;
}

// Writes as "small" does, says so in flag.<pid>, and dies once flag.go
// exists: many such children leave as many orphans of one store.
int child_small_together(const std::string& store, const std::string& flag) {
  auto& kx = api<Narrow>();
  KXHANDLE h = kx.KXInit(store.c_str());
  for (int i = 0; i < kSmall; ++i) kx.KXValue(h, ("v" + std::to_string(i)).c_str(), i);
  if (FILE* f = std::fopen((flag + "." + std::to_string(getpid())).c_str(), "w")) std::fclose(f);
  while (!exists(flag + ".go")) sleep_ms(10);
  die_now();
}

// Opens the store after the change sequence's file was made anew, reads x
// into its copy, says so, and once told reads it again: 0 when it is 2.
int child_read_later(const std::string& store, const std::string& flag) {
  auto& kx = api<Narrow>();
  KXHANDLE h = kx.KXInit(store.c_str());
  if (kx.KXGetValue(h, "x") != 1) return 3;
  if (FILE* f = std::fopen((flag + ".held").c_str(), "w")) std::fclose(f);
  while (!exists(flag + ".go")) sleep_ms(1);
  int x = kx.KXGetValue(h, "x");
  kx.KXClose(h);
  return x == 2 ? 0 : 1;
}
#endif

const bool g_child = [] {
  const char* value = std::getenv(kChildVariable);
  if (!value) return false;
  std::string v(value);
  std::size_t a = v.find(':'), b = v.find(':', a + 1);
  std::string action = v.substr(0, a);
  std::string store = v.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
  std::string arg = b == std::string::npos ? std::string() : v.substr(b + 1);
  int code = 90;
  if (action == "wide") code = child_queue_and_die<WideChar>(store);
  if (action == "narrow") code = child_queue_and_die<char>(store);
  if (action == "small") code = child_small_and_die(store);
  if (action == "restarted") code = child_small_and_die(store, true);
  if (action == "close") code = child_close_and_die(store);
  if (action == "open") code = child_open_and_die(store);
  if (action == "hold") code = child_hold(store, arg);
  if (action == "two_files") code = child_two_files_and_die(store);
  if (action == "stream") code = child_stream_and_die(store);
#if !defined(_WIN32)
  if (action == "many") code = child_many_and_die(store, arg);
  if (action == "short") code = child_open_short_of_descriptors(store, arg);
  if (action == "together") code = child_small_together(store, arg);
  if (action == "read_later") code = child_read_later(store, arg);
#endif
  std::exit(code);
}();

// ---- Tests ----------------------------------------------------------------------

// The only pending file of store, claimed and mapped for editing.
class OrphanEdit {
 public:
  explicit OrphanEdit(const std::string& store) {
    std::vector<std::string> files = files_of(store, journal::kSuffix);
    if (files.size() == 1 && file_.claim(files[0].c_str()) == kOk) {
      view_ = static_cast<unsigned char*>(file_.map(0, journal::kFirstViewBytes));
    }
  }
  ~OrphanEdit() { plat::PendingFile::unmap(view_, journal::kFirstViewBytes); }
  journal::FileHeader* header() { return reinterpret_cast<journal::FileHeader*>(view_); }
  unsigned char* view() { return view_; }
  plat::PendingFile& file() { return file_; }

 private:
  plat::PendingFile file_;
  unsigned char* view_ = nullptr;
};

class KilledAfterItsLastWrite : public ::testing::TestWithParam<const char*> {};

TEST_P(KilledAfterItsLastWrite, TheNextOpenFindsEveryValue) {
  std::string store = unique_name("crash_write");
  run_child(kChildVariable, std::string(GetParam()) + ":" + store);
  EXPECT_EQ(files_of(store, journal::kSuffix).size(), 1u);
  KXHANDLE h = api<Narrow>().KXInit(store.c_str());
  ASSERT_GE(h, 0x10000);
  EXPECT_EQ(check_all(store), "");
  api<Narrow>().KXClose(h);
  EXPECT_TRUE(files_of(store, journal::kSuffix).empty());
  api<Narrow>().KXWipe(store.c_str());
}

INSTANTIATE_TEST_SUITE_P(Widths, KilledAfterItsLastWrite, ::testing::Values("wide", "narrow"));

TEST(Killed, WhileItsCloseDrainsLosesNothing) {
  std::string store = unique_name("crash_close");
  run_child(kChildVariable, "close:" + store);
  KXHANDLE h = api<Wide>().KXInit(text<WideChar>(store).c_str());
  EXPECT_EQ(check_all(store), "");
  api<Wide>().KXClose(h);
  api<Wide>().KXWipe(text<WideChar>(store).c_str());
}

// A process completing a dead one's records is killed too, in three rounds
// at random moments: nothing is lost and nothing lands out of order.
TEST(Killed, WhileCompletingAnotherProcessesRecords) {
  std::string store = unique_name("crash_recover");
  run_child(kChildVariable, "narrow:" + store);
  for (int round = 0; round < 3; ++round) run_child(kChildVariable, "open:" + store);
  KXHANDLE h = api<Narrow>().KXInit(store.c_str());
  EXPECT_EQ(check_all(store), "");
  api<Narrow>().KXClose(h);
  api<Narrow>().KXWipe(store.c_str());
}

// A damaged record ends the replay of its file, which is kept aside.
TEST(DamagedFile, IsReplayedUpToTheDamageAndKeptAside) {
  std::string store = unique_name("crash_damaged");
  run_child(kChildVariable, "small:" + store);
  std::vector<std::string> files = files_of(store, journal::kSuffix);
  ASSERT_EQ(files.size(), 1u);
  {
    plat::PendingFile f;
    ASSERT_EQ(f.claim(files[0].c_str()), kOk);
    auto* view = static_cast<unsigned char*>(f.map(0, journal::kFirstViewBytes));
    ASSERT_NE(view, nullptr);
    // Found by name: the queue thread may have performed v0 alone and
    // started the file over before v1 came.
    std::size_t offset = journal::kRecordsStart;
    for (int i = 0; i < kSmall; ++i) {
      auto* r = reinterpret_cast<journal::RecordHead*>(view + offset);
      if (std::string(reinterpret_cast<char*>(r + 1), r->name_units) == "v50") break;
      offset += journal::record_size(1, r->name_units, r->data_bytes);
    }
    view[offset + sizeof(journal::RecordHead)] ^= 0x20;  // a letter of v50's name
    plat::PendingFile::unmap(view, journal::kFirstViewBytes);
  }
  KXHANDLE h = api<Narrow>().KXInit(store.c_str());
  EXPECT_EQ(stored_count(store), kSmall / 2);
  EXPECT_EQ(stored(store, W("v49")).rc, 0);
  EXPECT_NE(stored(store, W("v50")).rc, 0);
  std::vector<std::string> kept = files_of(store, journal::kKeptSuffix);
  EXPECT_EQ(kept.size(), 1u);
  for (const std::string& k : kept) {
    plat::PendingFile f;
    if (f.claim(k.c_str()) == kOk) f.remove();
  }
  api<Narrow>().KXClose(h);
  api<Narrow>().KXWipe(store.c_str());
}

// One process dies and another lives on the same store: the dead one's
// records are completed, the live one's file is left to it.
TEST(TwoProcesses, OneKilledTheOtherKeepsItsOwnFile) {
  std::string store = unique_name("crash_two");
  std::string flag = scratch_dir() + "/" + store;
  Child holder = start_child(kChildVariable, "hold:" + store + ":" + flag);
  while (!exists(flag + ".held")) sleep_ms(10);
  run_child(kChildVariable, "narrow:" + store);
  KXHANDLE h = api<Narrow>().KXInit(store.c_str());
  StoredValue last = stored(store, W("last"));
  int32_t v = -1;
  if (last.bytes.size() == 4) std::memcpy(&v, last.bytes.data(), 4);
  EXPECT_EQ(v, kNames - 1);
  EXPECT_EQ(files_of(store, journal::kSuffix).size(), 2u);  // the holder's and this one's
  if (FILE* f = std::fopen((flag + ".release").c_str(), "w")) std::fclose(f);
  EXPECT_EQ(wait_child(holder), 0);
  EXPECT_EQ(stored_count(store), 2 * kNames + 1 + 50);
  api<Narrow>().KXClose(h);
  EXPECT_TRUE(files_of(store, journal::kSuffix).empty());
  api<Narrow>().KXWipe(store.c_str());
}

TEST(Wipe, AfterACrashDiscardsTheDeadProcessesRecords) {
  std::string store = unique_name("crash_wipe");
  run_child(kChildVariable, "small:" + store);
  EXPECT_EQ(api<Narrow>().KXWipe(store.c_str()), 0);
  EXPECT_TRUE(files_of(store, journal::kSuffix).empty());
  KXHANDLE h = api<Narrow>().KXInit(store.c_str());
  EXPECT_EQ(api<Narrow>().KXCount(h), 0);
  api<Narrow>().KXClose(h);
  api<Narrow>().KXWipe(store.c_str());
}

// Killed while its queue thread catches up with records a second old: every
// record is there after the next opening.
TEST(Killed, WhileCatchingUpLosesNothing) {
  std::string store = unique_name("crash_stream");
  run_child(kChildVariable, "stream:" + store);
  uint32_t in_file = 0;
  {
    // The queue never emptied, yet the file moved on to a later epoch and
    // holds the records since, not all of them.
    OrphanEdit edit(store);
    ASSERT_NE(edit.header(), nullptr);
    EXPECT_GT(static_cast<uint32_t>(edit.header()->epoch), 0u);
    in_file = static_cast<uint32_t>(edit.header()->appended);
  }
  auto& kx = api<Narrow>();
  KXHANDLE h = kx.KXInit(store.c_str());
  int last = kx.KXGetValue(h, "last");
  EXPECT_GT(last, 0);
  EXPECT_LT(in_file, static_cast<uint32_t>(last));
  int wrong = 0;
  for (int i = 0; i <= last; ++i) wrong += kx.KXGetValue(h, ("n" + std::to_string(i)).c_str()) != i;
  EXPECT_EQ(wrong, 0);
  kx.KXClose(h);
  kx.KXWipe(store.c_str());
}

// ---- Names: every spelling of a key finds the same pending files -------------------

TEST(Spellings, ARecordLeftUnderATrailingBackslashIsCompletedByThePlainName) {
  std::string store = unique_name("crash_alias");
  run_child(kChildVariable, "small:" + store + "\\");
  KXHANDLE h = api<Narrow>().KXInit(store.c_str());
  EXPECT_EQ(stored_count(store), kSmall);
  api<Narrow>().KXClose(h);
  api<Narrow>().KXWipe(store.c_str());
}

TEST(Spellings, AWipeByADoubledBackslashDiscardsWhatThePlainNameLeft) {
  std::string store = unique_name("crash_dir");
  std::string leaf = store + "\\leaf";
  run_child(kChildVariable, "small:" + leaf);
  std::string doubled = store + "\\\\leaf";
  EXPECT_EQ(api<Narrow>().KXWipe(doubled.c_str()), 0);
  KXHANDLE h = api<Narrow>().KXInit(leaf.c_str());
  EXPECT_EQ(api<Narrow>().KXCount(h), 0);
  api<Narrow>().KXClose(h);
  api<Narrow>().KXWipe(leaf.c_str());
  api<Narrow>().KXWipe(store.c_str());
}

// ---- Order: two dead writers' records are completed in the order made -------------

TEST(Order, TwoDeadWritersRecordsLandInTheOrderTheyWereMade) {
  std::string store = unique_name("crash_order");
  run_child(kChildVariable, "two_files:" + store);
  KXHANDLE h = api<Narrow>().KXInit(store.c_str());
  EXPECT_EQ(api<Narrow>().KXGetValue(h, "x"), 2);
  api<Narrow>().KXClose(h);
  api<Narrow>().KXWipe(store.c_str());
}

// ---- The file is checked, not trusted ---------------------------------------------

// A file renamed to look like another store's is not replayed there.
TEST(CheckedFile, OneOfAnotherStoreIsKeptAsideUnreplayed) {
  std::string from = unique_name("crash_from"), to = unique_name("crash_to");
  run_child(kChildVariable, "small:" + from);
  {
    OrphanEdit edit(from);
    ASSERT_NE(edit.header(), nullptr);
    std::string name = edit.file().name();
    char prefix[24];
    std::snprintf(prefix, sizeof prefix, "%016llx-",
                  static_cast<unsigned long long>(plat::key_name_hash(W(to).c_str())));
    ASSERT_EQ(edit.file().rename((prefix + name.substr(17)).c_str()), kOk);
  }
  KXHANDLE h = api<Narrow>().KXInit(to.c_str());
  EXPECT_EQ(stored_count(to), 0);
  EXPECT_EQ(files_of(to, journal::kKeptSuffix).size(), 1u);
  api<Narrow>().KXClose(h);
  api<Narrow>().KXWipe(to.c_str());
}

#if !defined(_WIN32)
// Earlier POSIX builds named a file, and marked its header, by another hash
// of the store's name: such an orphan is still completed.
TEST(CheckedFile, OneOfAnEarlierBuildsHashIsReplayed) {
  std::string store = unique_name("crash_legacy");
  run_child(kChildVariable, "small:" + store);
  uint64_t legacy = plat::legacy_key_name_hash(W(store).c_str());
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "%016llx-", static_cast<unsigned long long>(legacy));
  {
    OrphanEdit edit(store);
    journal::FileHeader* h = edit.header();
    ASSERT_NE(h, nullptr);
    uint64_t old_check = h->check;
    auto epoch = static_cast<uint32_t>(h->epoch);
    h->name_hash = legacy;
    h->check = journal::words_check(edit.view(), offsetof(journal::FileHeader, check)) ^
               journal::words_check(edit.view() + journal::kNameOffset,
                                    journal::align8(h->name_units * h->unit_bytes));
    auto retag = [&](uint64_t* word, journal::Counter which) {
      uint32_t v = 0;
      if (journal::counter_value(*word, which, epoch, old_check, &v)) {
        *word = journal::counter_word(which, v, epoch, h->check);
      }
    };
    retag(&h->epoch, journal::Counter::kEpoch);
    retag(&h->appended, journal::Counter::kAppended);
    retag(&h->performed, journal::Counter::kPerformed);
    retag(&h->front, journal::Counter::kFront);
    std::string name = edit.file().name();
    ASSERT_EQ(edit.file().rename((prefix + name.substr(17)).c_str()), kOk);
  }
  KXHANDLE h = api<Narrow>().KXInit(store.c_str());
  EXPECT_EQ(stored_count(store), kSmall);
  api<Narrow>().KXClose(h);
  std::vector<std::string> left;
  plat::list_pending_files(prefix, "", &left);
  EXPECT_TRUE(left.empty());
  api<Narrow>().KXWipe(store.c_str());
}
#endif

// A count edited to half of what the file holds does not check: nothing of
// the file is replayed, and it is kept aside.
TEST(CheckedFile, AnEditedCountIsKeptAsideUnreplayed) {
  std::string store = unique_name("crash_count");
  run_child(kChildVariable, "small:" + store);
  {
    OrphanEdit edit(store);
    ASSERT_NE(edit.header(), nullptr);
    edit.header()->appended = (edit.header()->appended & ~0xFFFFFFFFull) | kSmall / 2;
  }
  KXHANDLE h = api<Narrow>().KXInit(store.c_str());
  EXPECT_NE(stored(store, W("v10")).rc, 0);
  EXPECT_EQ(files_of(store, journal::kKeptSuffix).size(), 1u);
  api<Narrow>().KXClose(h);
  api<Narrow>().KXWipe(store.c_str());
}

// Killed inside a restart, after the counters moved to the next epoch and
// before the epoch did: the old epoch's records are not replayed, and the
// file is done with.
TEST(CheckedFile, AKillInsideARestartReplaysNothing) {
  std::string store = unique_name("crash_restart");
  run_child(kChildVariable, "small:" + store);
  {
    OrphanEdit edit(store);
    journal::FileHeader* h = edit.header();
    ASSERT_NE(h, nullptr);
    auto epoch = static_cast<uint32_t>(h->epoch);
    h->appended = journal::counter_word(journal::Counter::kAppended, 0, epoch + 1, h->check);
    h->performed = journal::counter_word(journal::Counter::kPerformed, 0, epoch + 1, h->check);
  }
  KXHANDLE h = api<Narrow>().KXInit(store.c_str());
  EXPECT_NE(stored(store, W("v99")).rc, 0);
  api<Narrow>().KXClose(h);
  EXPECT_TRUE(files_of(store, journal::kSuffix).empty());
  EXPECT_TRUE(files_of(store, journal::kKeptSuffix).empty());
  api<Narrow>().KXWipe(store.c_str());
}

// Killed while copying the records left to the file's start, over records
// already performed: the rest are found where the header says they begin.
TEST(CheckedFile, AKillInsideAReuseOfTheStartReplaysTheRecordsLeft) {
  std::string store = unique_name("crash_reuse");
  run_child(kChildVariable, "small:" + store);
  {
    OrphanEdit edit(store);
    journal::FileHeader* h = edit.header();
    ASSERT_NE(h, nullptr);
    auto epoch = static_cast<uint32_t>(h->epoch);
    uint64_t offset = journal::kRecordsStart;
    for (int i = 0; i < kSmall / 2; ++i) {
      auto* r = reinterpret_cast<journal::RecordHead*>(edit.view() + offset);
      offset += journal::record_size(1, r->name_units, r->data_bytes);
    }
    std::memset(edit.view() + journal::kRecordsStart, 0xEE, offset - journal::kRecordsStart);
    h->performed = journal::counter_word(journal::Counter::kPerformed, kSmall / 2, epoch, h->check);
    h->front = journal::counter_word(journal::Counter::kFront, static_cast<uint32_t>(offset), epoch,
                                     h->check);
  }
  KXHANDLE h = api<Narrow>().KXInit(store.c_str());
  // The child's queue thread may have performed v0 before it died, and may
  // then have started the file over with v1 first: either way none of the
  // cleared records comes back and every one after them does.
  int later = 0;
  for (int i = 1; i < kSmall; ++i) {
    bool in = stored(store, W("v" + std::to_string(i))).rc == 0;
    if (i < kSmall / 2) {
      EXPECT_FALSE(in) << i;
    } else if (i > kSmall / 2) {
      later += in;
    }
  }
  EXPECT_EQ(later, kSmall / 2 - 1);
  api<Narrow>().KXClose(h);
  EXPECT_TRUE(files_of(store, journal::kKeptSuffix).empty());
  api<Narrow>().KXWipe(store.c_str());
}

// A replay cut short while the file was between two epochs (its count moved
// on, its epoch not yet) records its progress in the epoch it read: the next
// one starts there rather than performing the first records again.
TEST(CheckedFile, ProgressBetweenTwoEpochsIsKept) {
  std::string store = unique_name("crash_between");
  run_child(kChildVariable, "restarted:" + store);
  {
    OrphanEdit edit(store);
    journal::FileHeader* h = edit.header();
    ASSERT_NE(h, nullptr);
    auto epoch = static_cast<uint32_t>(h->epoch);
    ASSERT_GT(epoch, 0u);
    h->epoch = journal::counter_word(journal::Counter::kEpoch, epoch - 1, epoch - 1, h->check);
    h->performed = journal::counter_word(journal::Counter::kPerformed, kSmall / 2, epoch, h->check);
  }
  KXHANDLE h = api<Narrow>().KXInit(store.c_str());
  EXPECT_NE(stored(store, W("v0")).rc, 0);
  EXPECT_EQ(stored(store, W("v" + std::to_string(kSmall - 1))).rc, 0);
  api<Narrow>().KXClose(h);
  api<Narrow>().KXWipe(store.c_str());
}

#if !defined(_WIN32)
// ---- Descriptors ------------------------------------------------------------------

// Out of descriptors, an opening that has a dead process's records to
// complete refuses rather than open the store with them left behind.
TEST(Descriptors, NoneLeftTheOpeningRefusesWithTooManyOpenFiles) {
  std::string store = unique_name("crash_nofd");
  run_child(kChildVariable, "small:" + store);
  EXPECT_EQ(run_child(kChildVariable, "short:" + store + ":none"), 4);
  EXPECT_EQ(files_of(store, journal::kSuffix).size(), 1u);
  api<Narrow>().KXWipe(store.c_str());
}

// More orphans than the opener has descriptors: each is let go of once
// mapped, and all are completed.
TEST(Descriptors, MoreOrphansThanDescriptorsAreAllCompleted) {
  constexpr int kOrphans = 20;
  std::string store = unique_name("crash_orphans");
  std::string flag = scratch_dir() + "/" + store;
  std::vector<Child> children;
  for (int i = 0; i < kOrphans; ++i) {
    children.push_back(start_child(kChildVariable, "together:" + store + ":" + flag));
  }
  while (files_of(store, journal::kSuffix).size() < kOrphans) sleep_ms(10);
  if (FILE* f = std::fopen((flag + ".go").c_str(), "w")) std::fclose(f);
  for (Child c : children) wait_child(c);
  EXPECT_EQ(run_child(kChildVariable, "short:" + store + ":few"), 0);
  EXPECT_TRUE(files_of(store, journal::kSuffix).empty());
  EXPECT_EQ(stored_count(store), kSmall);
  api<Narrow>().KXWipe(store.c_str());
}

// 2,000 stores at 1,024 descriptors: a store either opens with its pending
// file or refuses with ERROR_TOO_MANY_OPEN_FILES, and after a kill every
// store that opened has its value.
TEST(Descriptors, TwoThousandStoresEachOpenWithItsFileOrRefuse) {
  std::string stem = unique_name("crash_fds");
  std::string list = scratch_dir() + "/" + stem + ".list";
  run_child(kChildVariable, "many:" + stem + ":" + list);
  FILE* in = std::fopen(list.c_str(), "r");
  ASSERT_NE(in, nullptr);
  int i = 0, rc = 0, opened = 0;
  while (std::fscanf(in, "%d %d", &i, &rc) == 2) {
    std::string store = stem + "_" + std::to_string(i);
    if (rc >= 0x10000) {
      ++opened;
      KXHANDLE h = api<Narrow>().KXInit(store.c_str());
      EXPECT_EQ(api<Narrow>().KXGetValue(h, "v"), i) << store;
      api<Narrow>().KXClose(h);
    } else if (rc != 0) {  // 0: no memory or thread, which a host is told too
      EXPECT_EQ(rc, 4) << store;
    }
    api<Narrow>().KXWipe(store.c_str());
  }
  std::fclose(in);
  EXPECT_EQ(i, 1999);
  EXPECT_GT(opened, 500);
}

// ---- Another program's write lock ---------------------------------------------------

// While another program holds the database's write lock, an opening that
// must complete a dead process's records gives up after the wait a write
// gets (ERROR_BUSY), and completes them once the lock is gone.
TEST(ForeignLock, ARecoveryBehindItAnswersBusyThenCompletes) {
  std::string store = unique_name("crash_locked");
  run_child(kChildVariable, "small:" + store);
  std::string other = store + "_other";
  api<Narrow>().KXClose(api<Narrow>().KXInit(other.c_str()));
  sqlite3* db = nullptr;
  std::string path = std::string(std::getenv("XDG_CONFIG_HOME")) + "/kelmix/registry.db";
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  std::atomic<bool> recovering{true};
  std::thread opener([&] {
    EXPECT_EQ(api<Narrow>().KXInit(store.c_str()), kErrBusy);
    recovering = false;
  });
  // Another store opens and closes meanwhile: the wait holds no lock of ours.
  sleep_ms(500);
  EXPECT_EQ(api<Narrow>().KXClose(api<Narrow>().KXInit(other.c_str())), 0);
  EXPECT_TRUE(recovering);
  opener.join();
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  KXHANDLE h = api<Narrow>().KXInit(store.c_str());
  EXPECT_EQ(stored_count(store), kSmall);
  api<Narrow>().KXClose(h);
  api<Narrow>().KXWipe(store.c_str());
  api<Narrow>().KXWipe(other.c_str());
}

// ---- The change sequence's file -----------------------------------------------------

// Deleted while this process has it mapped, and made anew by a process that
// starts after: this process's next commit is numbered where that one's
// copies look, so it reads the new value at once rather than within a second.
TEST(ChangeSequence, AWriterWhoseFileWasDeletedIsSeenByANewReader) {
  std::string store = unique_name("crash_changes");
  std::string flag = scratch_dir() + "/" + store;
  auto& kx = api<Narrow>();
  KXHANDLE h = kx.KXInit(store.c_str());
  kx.KXValue(h, "x", 1);
  kx.KXClose(h);
  h = kx.KXInit(store.c_str());
  std::string changes = std::string(std::getenv("XDG_CONFIG_HOME")) + "/kelmix/registry.changes";
  ASSERT_EQ(::unlink(changes.c_str()), 0);
  Child reader = start_child(kChildVariable, "read_later:" + store + ":" + flag);
  while (!exists(flag + ".held")) sleep_ms(1);
  kx.KXValue(h, "x", 2);
  kx.KXClose(h);
  if (FILE* f = std::fopen((flag + ".go").c_str(), "w")) std::fclose(f);
  EXPECT_EQ(wait_child(reader), 0);
  kx.KXWipe(store.c_str());
}
#endif

// What a store costs a 32-bit host's 2 GB: on Windows every region reserved
// or mapped (the queue thread's stack and the pending file's view among
// them); elsewhere the pending files' views, since 64-bit address space is
// not what runs short there.
std::size_t address_space_in_use() {
  std::size_t bytes = 0;
#if defined(_WIN32)
  MEMORY_BASIC_INFORMATION info;
  for (auto* at = static_cast<char*>(nullptr); VirtualQuery(at, &info, sizeof info) == sizeof info;
       at += info.RegionSize) {
    if (info.State != MEM_FREE) bytes += info.RegionSize;
    if (at + info.RegionSize < at) break;
  }
#else
  FILE* maps = std::fopen("/proc/self/maps", "r");
  if (!maps) return 0;
  char line[4096];
  while (std::fgets(line, sizeof line, maps)) {
    unsigned long long from = 0, to = 0;
    if (std::strstr(line, journal::kSuffix) && std::sscanf(line, "%llx-%llx", &from, &to) == 2) {
      bytes += static_cast<std::size_t>(to - from);
    }
  }
  std::fclose(maps);
#endif
  return bytes;
}

#if defined(_WIN32)
DWORD WINAPI wait_for(void* event) { return WaitForSingleObject(event, INFINITE); }

// What any thread costs beyond its stack, which Wine makes megabytes: the
// address space of threads with the least stack the system grants.
std::size_t bare_thread_bytes() {
  constexpr int kThreads = 50;
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<HANDLE> threads;
  std::size_t before = address_space_in_use();
  for (int i = 0; i < kThreads; ++i) {
    threads.push_back(
        CreateThread(nullptr, 64 * 1024, wait_for, go, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  }
  std::size_t bytes = (address_space_in_use() - before) / kThreads;
  SetEvent(go);
  for (HANDLE t : threads) {
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
  }
  CloseHandle(go);
  return bytes;
}
#else
std::size_t bare_thread_bytes() { return 0; }
#endif

// A host with 500 stores open, each with a record pending, keeps each in a
// few hundred kilobytes of address space beyond what its thread costs any
// thread, and loses nothing.
TEST(ManyStores, FiveHundredOpenTakeLittleAddressSpaceAndKeepEveryValue) {
  constexpr int kStores = 500;
  constexpr std::size_t kMaxPerStore = 384 * 1024;
  auto& kx = api<Narrow>();
  std::string stem = unique_name("many");
  std::vector<KXHANDLE> handles;
  std::size_t thread_bytes = bare_thread_bytes();
  std::size_t before = address_space_in_use();
  for (int i = 0; i < kStores; ++i) {
    KXHANDLE h = kx.KXInit((stem + "_" + std::to_string(i)).c_str());
    ASSERT_GE(h, 0x10000) << i;
    handles.push_back(h);
    ASSERT_EQ(kx.KXValue(h, "v", i), 0);
  }
  std::size_t grown = address_space_in_use() - before;
  EXPECT_LE(grown / kStores, thread_bytes + kMaxPerStore) << grown << " bytes in all";
  for (KXHANDLE h : handles) EXPECT_EQ(kx.KXClose(h), 0);
  for (int i = 0; i < kStores; ++i) {
    std::string store = stem + "_" + std::to_string(i);
    StoredValue v = stored(store, W("v"));
    int32_t got = -1;
    if (v.bytes.size() == 4) std::memcpy(&got, v.bytes.data(), 4);
    EXPECT_EQ(got, i);
    kx.KXWipe(store.c_str());
  }
}

}  // namespace
}  // namespace kx::test
