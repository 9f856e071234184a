// The store linked in directly, with its queue threads held where a test must
// look at records that are surely still pending, and allocations made to fail.
#include "store/store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <thread>

#include "kelmix.h"
#include "library/handle_map.h"
#include "library/library.h"
#include "store/record.h"
#include "tests/support/test_env.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kx {
namespace {

using Str = std::basic_string<tchar>;

Str T(const std::string& ascii) { return Str(ascii.begin(), ascii.end()); }

class LibraryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { on_library_load(); }
  void TearDown() override { on_library_unload(false); }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

#if !defined(_WIN32)
constexpr char kFullDiskVariable[] = "KX_STORE_FULL_DISK";

// In a mount namespace of its own, the registry on a small tmpfs filled up
// but for a little room: one drain batch of a small record, one too big for
// the room and another small one. Exit codes: 0 as wanted, 77 no namespace.
int full_disk_child(const std::string& dir) {
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mkdir(dir.c_str(), 0700) != 0 ||
      mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m,mode=0700") != 0) {
    return 77;
  }
  setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  on_library_load();
  KXHANDLE h = KXInit(KX_T("full"));
  KXValue(h, KX_T("first"), 0);
  if (KXClose(h) != 0) return 10;
  int fill = open((dir + "/fill").c_str(), O_WRONLY | O_CREAT, 0600);
  static const char kBlock[4096] = {};
  off_t filled = 0;
  while (write(fill, kBlock, sizeof kBlock) > 0) filled += sizeof kBlock;
  if (ftruncate(fill, filled > 65536 ? filled - 65536 : 0) != 0) return 11;
  close(fill);

  testing::hold_queue_threads(true);
  h = KXInit(KX_T("full"));
  Str big(300000, tchar('x'));
  KXValue(h, KX_T("a"), 1);
  KXString(h, KX_T("big"), big.c_str());
  KXValue(h, KX_T("c"), 3);
  testing::hold_queue_threads(false);
  KXClose(h);  // one batch
  h = KXInit(KX_T("full"));
  int rc = 0;
  if (KXGetValue(h, KX_T("a")) != 1) rc = 1;
  if (KXGetValue(h, KX_T("c")) != 3) rc = 3;
  if (KXExists(h, KX_T("big"))) rc = 2;
  KXClose(h);
  on_library_unload(false);
  return rc;
}

const bool g_full_disk_child = [] {
  const char* dir = std::getenv(kFullDiskVariable);
  if (!dir) return false;
  std::exit(full_disk_child(dir));
}();
#endif

// Holds every queue thread for the scope of a test.
class HeldQueue {
 public:
  HeldQueue() { testing::hold_queue_threads(true); }
  ~HeldQueue() { testing::hold_queue_threads(false); }
};

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = T(test::unique_name("store"));
    h_ = KXInit(name_.c_str());
    ASSERT_GE(h_, 0x10000);
  }
  void TearDown() override {
    testing::hold_queue_threads(false);
    KXClose(h_);
    KXWipe(name_.c_str());
  }
  KXDATA& store() { return *acquire_store(h_); }
  std::size_t pending() { return store().pending(); }
  // Closes the store, which writes everything, and opens it again.
  void reopen() {
    ASSERT_EQ(KXClose(h_), 0);
    h_ = KXInit(name_.c_str());
    ASSERT_GE(h_, 0x10000);
  }

  Str name_;
  KXHANDLE h_ = 0;
};

// ---- Records --------------------------------------------------------------------

TEST(Record, AssignedStringRecordsAreIndependentCopies) {
  KXRECORD b = make_value_record(KX_T("other"), 5);
  {
    KXRECORD a = make_string_record(KX_T("name"), KX_T("text"));
    ASSERT_TRUE(a.complete() && b.complete());
    ASSERT_TRUE(b.assign(a));
    EXPECT_EQ(b.type, TYPE_STRING);
    EXPECT_NE(b.value.text, a.value.text);
    EXPECT_NE(b.name, a.name);
  }
  EXPECT_EQ(Str(b.value.text), T("text"));
  EXPECT_EQ(Str(b.name), T("name"));

  KXRECORD none = make_string_record(KX_T("n"), nullptr);
  ASSERT_TRUE(b.assign(none));
  EXPECT_EQ(b.value.text, nullptr);
  KXRECORD del = make_record(KX_T("d"), TYPE_DELETE);
  for (unsigned char byte : del.value.bytes) EXPECT_EQ(byte, 0);
}

TEST(Record, AMovedRecordTakesItsStringsAndLeavesAnEmptyOne) {
  KXRECORD a = make_string_record(KX_T("name"), KX_T("text"));
  const tchar* text = a.value.text;
  KXRECORD b(std::move(a));
  EXPECT_FALSE(a.complete());
  EXPECT_EQ(a.value.text, nullptr);  // destroying a frees nothing twice
  EXPECT_EQ(b.value.text, text);
  EXPECT_EQ(Str(b.name), T("name"));
}

// A name this long is allocated; shorter ones live in the record.
const Str kLongName = T(std::string(KXRECORD::kInlineUnits, 'n'));

TEST(Record, AFailedAssignmentOrBuildLeavesNothingBehind) {
  KXRECORD source = make_string_record(kLongName.c_str(), KX_T("long text"));
  KXRECORD target = make_double_record(KX_T("target"), 2.5);
  for (int n = 1; n <= 2; ++n) {
    testing::fail_nth_allocation(n);
    EXPECT_FALSE(target.assign(source));
    testing::fail_nth_allocation(0);
    EXPECT_EQ(target.type, TYPE_DOUBLE);
    EXPECT_EQ(target.value.number, 2.5);
    EXPECT_EQ(Str(target.name), T("target"));
  }
  // Either allocation of a string record failing gives an empty record
  // (ASan sees anything it leaked).
  for (int n = 1; n <= 2; ++n) {
    testing::fail_nth_allocation(n);
    KXRECORD r = make_string_record(kLongName.c_str(), KX_T("t"));
    testing::fail_nth_allocation(0);
    EXPECT_FALSE(r.complete());
  }
}

TEST(Record, NamesOnEitherSideOfTheInlineLimitSurviveMovesAndAssignment) {
  for (const Str& name : {kLongName.substr(1), kLongName}) {
    KXRECORD a = make_value_record(name.c_str(), 1);
    KXRECORD moved(std::move(a));
    KXRECORD copy = make_value_record(kLongName.c_str(), 2);
    ASSERT_TRUE(copy.assign(moved));
    ASSERT_TRUE(moved.assign(moved));
    EXPECT_EQ(Str(moved.name), name);
    EXPECT_EQ(Str(copy.name), name);
    EXPECT_NE(copy.name, moved.name);
  }
}

// Runs first, while this program's registry is still empty (POSIX).
TEST(Wipe, NeverCreatesTheProductKey) {
  plat::Key product = nullptr;
  if (plat::reg_open_key_a(plat::current_user(), kProductKey, &product) == kOk) {
    plat::reg_close_key(product);
    GTEST_SKIP() << "the product key exists already in this registry";
  }
  EXPECT_EQ(KXWipe(KX_T("anything")), kErrFileNotFound);
  EXPECT_EQ(plat::reg_open_key_a(plat::current_user(), kProductKey, &product), kErrFileNotFound);
}

// ---- Reads of pending records -----------------------------------------------------

// Random pushes and pops against the plain scan the index replaces. Few
// names, so each has many records pending at once, types interleaved; runs
// of pushes long enough for the index to grow while records wait.
void check_against_scan(PendingQueue& queue, int steps, uint32_t seed) {
  std::deque<std::pair<int32_t, Str>> model;
  const Str names[] = {T("a"), T("b"), T("A"), T("ab"), T(""),  T("long name"), T("b "),
                       T("c"), T("d"), T("e"), T("f"),  T("g"), T("h"),         T("i")};
  constexpr uint32_t kNames = sizeof names / sizeof names[0];
  auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
  for (int step = 0; step < steps; ++step) {
    // Phases of mostly pushing, then mostly popping.
    bool filling = (step / 500) % 2 == 0;
    if (model.empty() || next() % 4 != (filling ? 0u : 1u)) {
      int32_t type = static_cast<int32_t>(next() % 4);
      const Str* name_ptr = &names[next() % kNames];
      if (next() % 4 == 0 && !model.empty()) {
        // The newest record's type and name again: the push's shortcut.
        type = model.back().first;
        name_ptr = &*std::find(std::begin(names), std::end(names), model.back().second);
      }
      const Str& name = *name_ptr;
      KXRECORD r = make_record(name.c_str(), type);
      if (type != TYPE_STRING) r.value.integer = step;
      ASSERT_TRUE(queue.push(std::move(r)));
      model.emplace_back(type, name);
    } else {
      queue.pop_front();
      model.pop_front();
    }
    ASSERT_EQ(queue.size(), model.size());
    if (!model.empty()) {
      ASSERT_EQ(queue.front().type, model.front().first);
      ASSERT_EQ(Str(queue.front().name), model.front().second);
    }
    for (int probe = 0; probe < 2; ++probe) {
      int32_t type = static_cast<int32_t>(next() % 4);
      const Str& name = names[next() % kNames];
      const KXRECORD* found = queue.find_newest(type, name.c_str());
      auto it = std::find(model.rbegin(), model.rend(), std::make_pair(type, name));
      ASSERT_EQ(found != nullptr, it != model.rend()) << "step " << step;
      if (found) {
        EXPECT_EQ(found->type, type);
        EXPECT_EQ(Str(found->name), name);
      }
    }
  }
}

TEST(PendingQueue, TheIndexAnswersAsANewestFirstScanWould) {
  PendingQueue queue;
  check_against_scan(queue, 20000, 12345);
}

TEST(PendingQueue, SequenceNumbersRoundTheirRange) {
  // The first records take the last numbers; the steps go well past the end.
  PendingQueue queue(PendingQueue::kLastSeq - 300);
  check_against_scan(queue, 5000, 777);
  PendingQueue at_end(PendingQueue::kLastSeq);
  check_against_scan(at_end, 3000, 4242);
}

TEST(PendingQueue, FindsTheNewestOfManyRecordsOfOneName) {
  PendingQueue queue(PendingQueue::kLastSeq - 500);
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(queue.push(make_value_record(KX_T("n"), i)));
  for (int i = 0; i < 999; ++i) {
    EXPECT_EQ(queue.find_newest(TYPE_VALUE, KX_T("n"))->value.integer, 999);
    EXPECT_EQ(queue.front().value.integer, i);
    queue.pop_front();
  }
  EXPECT_EQ(queue.find_newest(TYPE_VALUE, KX_T("n"))->value.integer, 999);
  queue.pop_front();
  EXPECT_EQ(queue.find_newest(TYPE_VALUE, KX_T("n")), nullptr);
}

TEST(PendingQueue, ManyDistinctNamesStayFoundAsTheIndexGrowsAndEmpties) {
  PendingQueue queue;
  constexpr int kRecords = 5000;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < kRecords; ++i) {
      ASSERT_TRUE(queue.push(make_value_record(T("v" + std::to_string(i)).c_str(), i)));
    }
    for (int i = 0; i < kRecords; i += 97) {
      const KXRECORD* r = queue.find_newest(TYPE_VALUE, T("v" + std::to_string(i)).c_str());
      ASSERT_NE(r, nullptr);
      EXPECT_EQ(r->value.integer, i);
    }
    for (int i = 0; i < kRecords; ++i) {
      ASSERT_EQ(queue.front().value.integer, i);
      queue.pop_front();
      if (i + 1 < kRecords) {
        const KXRECORD* r = queue.find_newest(TYPE_VALUE, T("v" + std::to_string(i + 1)).c_str());
        ASSERT_NE(r, nullptr);
      }
      ASSERT_EQ(queue.find_newest(TYPE_VALUE, T("v" + std::to_string(i)).c_str()), nullptr);
    }
    EXPECT_TRUE(queue.empty());
  }
  // After clear, numbering goes on and nothing stale is found.
  ASSERT_TRUE(queue.push(make_value_record(KX_T("x"), 1)));
  queue.clear();
  EXPECT_EQ(queue.find_newest(TYPE_VALUE, KX_T("x")), nullptr);
  ASSERT_TRUE(queue.push(make_value_record(KX_T("y"), 2)));
  EXPECT_EQ(queue.find_newest(TYPE_VALUE, KX_T("y"))->value.integer, 2);
  EXPECT_EQ(queue.find_newest(TYPE_VALUE, KX_T("x")), nullptr);
}

TEST(PendingQueue, APushThatCannotAllocateChangesNothing) {
  // Enough distinct names that the index and the record blocks must grow.
  PendingQueue queue;
  int failed = 0;
  for (int i = 0; i < 300; ++i) {
    Str name = T("n" + std::to_string(i));
    KXRECORD r = make_string_record(name.c_str(), KX_T("text"));
    std::size_t before = queue.size();
    testing::fail_nth_allocation(1);
    bool pushed = queue.push(std::move(r));
    testing::fail_nth_allocation(0);
    if (!pushed) {
      ++failed;
      EXPECT_EQ(queue.size(), before);
      EXPECT_TRUE(r.complete());  // still the caller's to free
      EXPECT_EQ(queue.find_newest(TYPE_STRING, name.c_str()), nullptr);
      ASSERT_TRUE(queue.push(std::move(r)));
    }
    EXPECT_FALSE(r.complete());
    EXPECT_EQ(Str(queue.find_newest(TYPE_STRING, name.c_str())->value.text), T("text"));
  }
  EXPECT_GT(failed, 5);  // both the index and the deque had to grow
  for (int i = 0; i < 300; ++i) {
    EXPECT_EQ(Str(queue.front().name), T("n" + std::to_string(i)));
    queue.pop_front();
  }
}

TEST_F(StoreTest, APendingDeleteHidesNothing) {
  {
    HeldQueue held;
    KXValue(h_, KX_T("x"), 1);
    KXDel(h_, KX_T("x"));
    EXPECT_EQ(pending(), 2u);
    EXPECT_EQ(KXGetValue(h_, KX_T("x")), 1);
    EXPECT_EQ(KXError(h_), 0);
  }
  reopen();
  EXPECT_EQ(KXGetValue(h_, KX_T("x")), 0);
  EXPECT_EQ(KXError(h_), kErrFileNotFound);
}

TEST_F(StoreTest, EachTypeReadsItsOwnNewestPendingRecord) {
  {
    HeldQueue held;
    KXValue(h_, KX_T("x"), 1);
    KXString(h_, KX_T("x"), KX_T("abc"));
    KXValue(h_, KX_T("x"), 2);
    EXPECT_EQ(KXGetValue(h_, KX_T("x")), 2);
    EXPECT_EQ(Str(KXGetString(h_, KX_T("x"))), T("abc"));
    EXPECT_EQ(KXGetDouble(h_, KX_T("x")), 0.0);  // no pending double, none stored
    EXPECT_EQ(KXError(h_), kErrFileNotFound);
  }
  KXString(h_, KX_T("x"), KX_T("abc"));
  reopen();
  // The registry holds the text now: 8 bytes wide, 4 narrow.
  int value = KXGetValue(h_, KX_T("x"));
  if (sizeof(tchar) == 2) {
    EXPECT_EQ(value, 0);
    EXPECT_EQ(KXError(h_), kErrMoreData);
  } else {
    EXPECT_EQ(value, 0x00636261);
    EXPECT_EQ(KXError(h_), 0);
  }
}

TEST_F(StoreTest, APendingRecordMatchesOnlyItsExactName) {
  HeldQueue held;
  KXValue(h_, KX_T("Level"), 5);
  EXPECT_EQ(KXGetValue(h_, KX_T("level")), 0);
  EXPECT_EQ(KXError(h_), kErrFileNotFound);
  EXPECT_EQ(KXGetValue(h_, KX_T("Level")), 5);
  // A pending string the registry does not hold: no integer read succeeds.
  KXString(h_, KX_T("s"), KX_T("x"));
  KXValue(h_, KX_T("other"), 1);
  int error_before = KXError(h_);
  EXPECT_EQ(KXExists(h_, KX_T("s")), 0);
  EXPECT_EQ(KXExists(h_, KX_T("other")), 1);
  EXPECT_EQ(KXError(h_), error_before);  // KXExists records nothing
}

TEST_F(StoreTest, NamesAndCountIgnoreThePendingQueue) {
  KXValue(h_, KX_T("kept"), 1);
  KXValue(h_, KX_T("gone"), 1);
  reopen();
  HeldQueue held;
  KXValue(h_, KX_T("new"), 1);
  KXDel(h_, KX_T("gone"));
  EXPECT_EQ(KXCount(h_), 2);
  EXPECT_EQ(KXDelPref(h_, KX_T("k")), 0);
  EXPECT_EQ(pending(), 3u);  // new, the delete of gone, the delete of kept
  EXPECT_EQ(KXCount(h_), 2);
}

// Names from one unit to the longest the registry takes, either side of the
// stack buffer a name is first fetched into. In 8-bit text on POSIX (UTF-8)
// a name of accented letters needs twice the units the key reports; under a
// Windows code page the two bytes are two letters, hence at most 8191.
TEST_F(StoreTest, NamesOfEveryLengthComeBackWhole) {
  Str accented = sizeof(tchar) == 1 ? T("\xc3\xa9") : Str(1, static_cast<tchar>(0xE9));
  std::vector<Str> names;
  auto check_listed = [&] {
    reopen();
    ASSERT_EQ(KXCount(h_), static_cast<int>(names.size()));
    std::vector<Str> listed;
    for (int i = 0; i < KXCount(h_); ++i) listed.push_back(KXGetKey(h_, i));
    for (const Str& name : names) {
      EXPECT_EQ(std::count(listed.begin(), listed.end(), name), 1) << name.size() << " units";
    }
  };
  // First the accented names are the longest the key reports.
  for (std::size_t n : {1u, 255u, 256u, 257u}) names.push_back(Str(n, 'x'));
  for (std::size_t n : {127u, 128u, 200u, 8191u}) {
    Str name;
    for (std::size_t i = 0; i < n; ++i) name += accented;
    names.push_back(name);
  }
  for (const Str& name : names) KXValue(h_, name.c_str(), 1);
  check_listed();
  for (std::size_t n : {1000u, 16383u}) {
    names.push_back(Str(n, 'x'));
    KXValue(h_, names.back().c_str(), 1);
  }
  check_listed();
  EXPECT_EQ(KXDelPref(h_, KX_T("xxx")), 0);  // fetches every name the same way
  reopen();
  EXPECT_EQ(KXCount(h_), 5);  // "x" and the four accented names
}

// ---- Pace and closing -------------------------------------------------------------

TEST_F(StoreTest, AStringReadNeverFailsBecauseTheValueGrewBetweenItsQueries) {
  plat::Key product = nullptr, key = nullptr;
  ASSERT_EQ(plat::reg_create_key_a(plat::current_user(), "Software\\Kelmix", &product), 0);
  ASSERT_EQ(plat::reg_create_key(product, name_.c_str(), &key), 0);
  plat::reg_close_key(product);
  std::atomic<bool> stop{false};
  // As the queue thread does, outside queue_lock: the value's size flips.
  std::thread writer([&] {
    Str shorter = T("ab"), longer(100, tchar('x'));
    for (int i = 0; !stop; ++i) {
      const Str& text = i % 2 ? longer : shorter;
      plat::reg_set_value(key, KX_T("x"), kRegSz, text.c_str(),
                          static_cast<uint32_t>((text.size() + 1) * sizeof(tchar)));
    }
  });
  int failures = 0;
  for (int i = 0; i < 5000; ++i) {
    KXGetString(h_, KX_T("x"));
    if (KXError(h_) != 0 && KXError(h_) != kErrFileNotFound) ++failures;
    KXRelease(h_);
  }
  stop = true;
  writer.join();
  plat::reg_close_key(key);
  EXPECT_EQ(failures, 0);
}

TEST_F(StoreTest, AnOpenStoreWritesAtMostOneRecordPer100Ms) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 10; ++i) KXValue(h_, T("v" + std::to_string(i)).c_str(), i);
  plat::sleep_ms(250);
  std::size_t left = pending();
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - start)
                     .count();
  // However slow the machine, the thread cannot have gone faster than its pace.
  std::size_t written = 10 - left;
  EXPECT_LE(written, static_cast<std::size_t>(elapsed / 100 + 1));
  EXPECT_LT(left, 10u + 1);
  reopen();
  EXPECT_EQ(KXCount(h_), 10);
}

TEST_F(StoreTest, ClosingDrainsEvenWhenItTakesLongerThanTheFirstWait) {
  constexpr int kRecords = 20000;
  {
    HeldQueue held;
    for (int i = 0; i < kRecords; ++i) {
      KXValue(h_, T("v" + std::to_string(i % 2000)).c_str(), i);
    }
    EXPECT_EQ(pending(), static_cast<std::size_t>(kRecords));
    // Closing overrides the hold: the thread drains everything.
    reopen();
  }
  EXPECT_EQ(KXCount(h_), 2000);
  EXPECT_EQ(KXGetValue(h_, KX_T("v1999")), kRecords - 1);
  EXPECT_EQ(KXGetValue(h_, KX_T("v0")), kRecords - 2000);
}

TEST(Unload, UnloadingWritesWhatOpenStoresQueued) {
  Str name = T(test::unique_name("unload"));
  KXHANDLE h = KXInit(name.c_str());
  ASSERT_GE(h, 0x10000);
  {
    HeldQueue held;
    for (int i = 0; i < 50; ++i) KXValue(h, T("v" + std::to_string(i)).c_str(), i);
    on_library_unload(false);
    on_library_load();
  }
  EXPECT_EQ(KXClose(h), kErrInvalidHandle);  // unloading closed it
  h = KXInit(name.c_str());
  EXPECT_EQ(KXCount(h), 50);
  KXClose(h);
  KXWipe(name.c_str());
}

// ---- Running out of memory --------------------------------------------------------

TEST_F(StoreTest, AWriteThatCannotAllocateQueuesNothingAndSaysSo) {
  HeldQueue held;
  for (int n = 1; n <= 4; ++n) {
    std::size_t before = pending();
    testing::fail_nth_allocation(n);
    int rc = KXString(h_, KX_T("name"), KX_T("text"));
    testing::fail_nth_allocation(0);
    if (rc == kOk) {
      // The nth allocation was not part of this write (the queue had room).
      EXPECT_EQ(pending(), before + 1);
      continue;
    }
    EXPECT_EQ(rc, kErrNotEnoughMemory);
    EXPECT_EQ(KXError(h_), kErrNotEnoughMemory);
    EXPECT_EQ(pending(), before);
  }
  EXPECT_EQ(KXValue(h_, KX_T("after"), 3), 0);
  EXPECT_EQ(KXGetValue(h_, KX_T("after")), 3);
}

TEST_F(StoreTest, AReadThatCannotAllocateReportsIt) {
  KXString(h_, KX_T("s"), KX_T("text"));
  reopen();
  for (int n = 1; n <= 3; ++n) {
    testing::fail_nth_allocation(n);
    const tchar* s = KXGetString(h_, KX_T("s"));
    testing::fail_nth_allocation(0);
    if (KXError(h_) == kOk) {
      EXPECT_EQ(Str(s), T("text"));
    } else {
      EXPECT_EQ(KXError(h_), kErrNotEnoughMemory);
      EXPECT_EQ(s[0], 0);
    }
  }
  EXPECT_EQ(Str(KXGetString(h_, KX_T("s"))), T("text"));
  EXPECT_EQ(KXRelease(h_), 0);
}

// ---- Utilities ----------------------------------------------------------------------

plat::SystemTime g_fake_now;
void fake_clock(plat::SystemTime* now) { *now = g_fake_now; }

int64_t unix_time_at(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute,
                     uint16_t second, uint16_t ms) {
  g_fake_now = plat::SystemTime{year, month, 0, day, hour, minute, second, ms};
  plat::set_clock_for_testing(&fake_clock);
  int64_t t = UnixTime();
  plat::set_clock_for_testing(nullptr);
  return t;
}

TEST(UnixTime, WholeSecondsSince1970Utc) {
  EXPECT_EQ(unix_time_at(1970, 1, 1, 0, 0, 0, 999), 0);
  EXPECT_EQ(unix_time_at(1970, 1, 1, 0, 0, 1, 0), 1);
  EXPECT_EQ(unix_time_at(2038, 1, 19, 3, 14, 8, 500), 2147483648LL);  // past 32 bits
  EXPECT_EQ(unix_time_at(2026, 12, 8, 12, 0, 0, 0), 1796731200LL);
  EXPECT_EQ(unix_time_at(1601, 1, 1, 0, 0, 0, 0), -11644473600LL);
  // The system clock again, and no fraction of a second.
  int64_t now = UnixTime();
  EXPECT_GT(now, 1700000000LL);
}

#if !defined(_WIN32)
// A record the disk has no room for fails alone: the records drained in the
// same batch before and after it are written, as they would be one by one.
TEST(FullDisk, OneRecordTooBigForTheDiskLosesNoOtherOfItsBatch) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  int rc = test::run_child(kFullDiskVariable, test::scratch_dir() + "/full");
  if (rc == 77) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(rc, 0) << "1: the record before was lost, 3: the one after, 2: the big one was written";
}
#endif

// A write the registry refuses loses that record alone: the drain goes on
// with the next one in the same batch.
TEST_F(StoreTest, ARefusedRecordIsDroppedAndTheNextWritten) {
  {
    HeldQueue held;
    KXValue(h_, KX_T("a"), 1);
    KXValue(h_, KX_T("b"), 2);
    KXValue(h_, KX_T("c"), 3);
    plat::fail_nth_registry_write_for_testing(2, kErrAccessDenied);
    reopen();  // one drain batch
  }
  plat::fail_nth_registry_write_for_testing(0, kOk);
  EXPECT_EQ(KXGetValue(h_, KX_T("a")), 1);
  EXPECT_FALSE(KXExists(h_, KX_T("b")));
  EXPECT_EQ(KXGetValue(h_, KX_T("c")), 3);
}

// A record the registry is too busy for stays queued and is tried again;
// the records behind it wait for it rather than pass it.
TEST_F(StoreTest, ABusyRecordIsTriedAgainNotDropped) {
  {
    HeldQueue held;
    KXValue(h_, KX_T("x"), 1);
    KXValue(h_, KX_T("y"), 2);
    plat::fail_nth_registry_write_for_testing(1, kErrBusy);
    reopen();
  }
  plat::fail_nth_registry_write_for_testing(0, kOk);
  EXPECT_EQ(KXGetValue(h_, KX_T("x")), 1);
  EXPECT_EQ(KXGetValue(h_, KX_T("y")), 2);
}

}  // namespace
}  // namespace kx
