// The store linked in directly: reads of pending records, pace and closing,
// and faults (memory, a refusing or busy registry, a full disk).
#include "store/store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "kelmix.h"
#include "library/handle_map.h"
#include "library/library.h"
#include "library/library_test_helper.h"
#include "platform/platform_test_helper.h"
#include "store/journal_format.h"
#include "store/record.h"
#include "store/store_test_helper.h"
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

// The registry on a 1 MB tmpfs in a mount namespace of the child's own;
// false where there is none.
bool registry_on_small_tmpfs(const std::string& dir) {
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mkdir(dir.c_str(), 0700) != 0 ||
      mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m,mode=0700") != 0) {
    return false;
  }
  setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  return true;
}

// Fills the disk but for room bytes, with the file at path.
bool fill_disk(const std::string& path, off_t room) {
  int fill = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  static const char kBlock[4096] = {};
  off_t filled = 0;
  while (write(fill, kBlock, sizeof kBlock) > 0) filled += sizeof kBlock;
  bool ok = ftruncate(fill, filled > room ? filled - room : 0) == 0;
  close(fill);
  return ok;
}

// In a mount namespace of its own, the registry on a small tmpfs filled up
// but for the store's pending file and a little more: a text too big for the
// room waits, with the record behind it, rather than being dropped; closing
// reports the full disk and leaves both in the pending file; an opening
// while the disk is still full refuses; once there is room, the next opening
// completes them. Exit codes: 0 as wanted, 77 no namespace.
int full_disk_child(const std::string& dir) {
  if (!registry_on_small_tmpfs(dir)) return 77;
  on_library_load();
  KXHANDLE h = KXInit(KX_T("full"));
  KXValue(h, KX_T("first"), 0);
  if (KXClose(h) != 0) return 10;
  // Room for the store's pending file (its first 64 KB) and a few pages.
  std::string fill_path = dir + "/fill";
  if (!fill_disk(fill_path, 65536 + 16384)) return 11;

  testing::hold_queue_threads(true);
  h = KXInit(KX_T("full"));
  if (h < 0x10000) return 12;
  Str big(48000 / sizeof(tchar), tchar('x'));  // fits the pending file, not the disk
  KXValue(h, KX_T("a"), 1);
  KXString(h, KX_T("big"), big.c_str());
  KXValue(h, KX_T("c"), 3);
  testing::hold_queue_threads(false);
  if (KXClose(h) != kErrDiskFull) return 4;
  if (KXInit(KX_T("full")) != kErrDiskFull) return 5;
  unlink(fill_path.c_str());
  h = KXInit(KX_T("full"));
  if (h < 0x10000) return 6;
  int rc = 0;
  if (KXGetValue(h, KX_T("a")) != 1) rc = 1;
  if (Str(KXGetString(h, KX_T("big"))) != big) rc = 2;
  if (KXGetValue(h, KX_T("c")) != 3) rc = 3;
  KXClose(h);
  on_library_unload(false);
  return rc;
}

// The change sequence's file is deleted and the disk fills up; the next
// commit, by a connection that finds the file gone, must not die of a
// SIGBUS writing to a file with no blocks. Exit code 0, or 77.
int full_disk_sequence_child(const std::string& dir) {
  if (!registry_on_small_tmpfs(dir)) return 77;
  on_library_load();
  KXHANDLE h = KXInit(KX_T("seq"));
  KXValue(h, KX_T("first"), 0);
  if (KXClose(h) != 0) return 10;
  unlink((dir + "/kelmix/registry.changes").c_str());
  if (!fill_disk(dir + "/fill", 0)) return 11;
  // A new second: the stand-in looks for a replaced file and reconnects.
  sleep(1);
  h = KXInit(KX_T("seq"));
  KXValue(h, KX_T("second"), 0);
  KXClose(h);
  on_library_unload(false);
  return 0;
}

// A burst the full disk's pending file had no room for turns it off; room
// comes back, and a writer that never lets the queue empty goes on. Once
// the burst is performed, the file starts over (a later epoch) and holds
// the writer's records again. Exit code 0, 77, or 7 when it stayed off.
int full_disk_rejoin_child(const std::string& dir) {
  if (!registry_on_small_tmpfs(dir)) return 77;
  on_library_load();
  KXHANDLE h = KXInit(KX_T("rejoin"));
  KXValue(h, KX_T("first"), 0);
  if (KXClose(h) != 0) return 10;
  std::string fill_path = dir + "/fill";
  if (!fill_disk(fill_path, 65536 + 16384)) return 11;
  h = KXInit(KX_T("rejoin"));
  {
    testing::hold_queue_threads(true);
    for (int i = 0; i < 10000; ++i) KXValue(h, KX_T("burst"), i);
    testing::hold_queue_threads(false);
  }
  unlink(fill_path.c_str());
  for (int i = 0; i < 500; ++i) {
    KXValue(h, KX_T("tick"), i);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::string file = plat::pending_folder() + "/" + testing::pending_file_of(h);
  journal::FileHeader header{};
  int fd = open(file.c_str(), O_RDONLY);
  bool read_whole = fd >= 0 && read(fd, &header, sizeof header) == sizeof header;
  if (fd >= 0) close(fd);
  KXClose(h);
  on_library_unload(false);
  if (!read_whole) return 12;
  return static_cast<uint32_t>(header.epoch) > 0 ? 0 : 7;
}

const bool g_full_disk_child = [] {
  const char* dir = std::getenv(kFullDiskVariable);
  if (!dir) return false;
  std::string d(dir);
  auto ends_with = [&](const char* tail) {
    std::size_t n = std::strlen(tail);
    return d.size() > n && d.compare(d.size() - n, n, tail) == 0;
  };
  if (ends_with("-seq")) std::exit(full_disk_sequence_child(d));
  if (ends_with("-rejoin")) std::exit(full_disk_rejoin_child(d));
  std::exit(full_disk_child(d));
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

// A host that writes faster than the pace for longer than a second is
// caught up with: the records that have waited a second are performed, in
// order, so the registry trails it by about that, not by a growing backlog.
TEST_F(StoreTest, ASustainedWriterIsTrailedByAboutASecondNotABacklog) {
  auto start = std::chrono::steady_clock::now();
  int written = 0;
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(3)) {
    KXValue(h_, KX_T("tick"), written++);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // At the pace alone, 30 of them would be in the registry; caught up, all
  // but about the last second's.
  std::size_t performed = static_cast<std::size_t>(written) - pending();
  EXPECT_GT(performed, static_cast<std::size_t>(written / 4)) << written << " written";
  reopen();
  EXPECT_EQ(KXGetValue(h_, KX_T("tick")), written - 1);
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

#if !defined(_WIN32)
TEST(FullDisk, RecordsWaitForRoomAndClosingLeavesThemForTheNextOpening) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  int rc = test::run_child(kFullDiskVariable, test::scratch_dir() + "/full");
  if (rc == 77) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(rc, 0) << "1-3: a, big or c lost; 4: KXClose did not report the full disk; "
                      "5: an opening on the full disk did not refuse; 6: nor opened after";
}

TEST(FullDisk, APendingFileThatTurnedOffStartsOverUnderAWriterThatNeverStops) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  int rc = test::run_child(kFullDiskVariable, test::scratch_dir() + "/full-rejoin");
  if (rc == 77) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(rc, 0) << "7: the file stayed off";
}

TEST(FullDisk, ANewChangeSequenceFileOnAFullDiskIsNoCrash) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  int rc = test::run_child(kFullDiskVariable, test::scratch_dir() + "/full-seq");
  if (rc == 77) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(rc, 0);
}
#endif

// The queue thread keeps a record the registry refused for a full disk, and
// performs it once the registry takes it.
TEST_F(StoreTest, ARecordRefusedForAFullDiskIsTriedAgainNotDropped) {
  plat::testing::fail_nth_registry_write(1, kErrDiskFull);
  KXValue(h_, KX_T("x"), 1);
  for (int i = 0; i < 3000 && pending() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(KXGetValue(h_, KX_T("x")), 1);
}

// A write the registry refuses loses that record alone: the drain goes on
// with the next one in the same batch.
TEST_F(StoreTest, ARefusedRecordIsDroppedAndTheNextWritten) {
  {
    HeldQueue held;
    KXValue(h_, KX_T("a"), 1);
    KXValue(h_, KX_T("b"), 2);
    KXValue(h_, KX_T("c"), 3);
    plat::testing::fail_nth_registry_write(2, kErrAccessDenied);
    reopen();  // one drain batch
  }
  plat::testing::fail_nth_registry_write(0, kOk);
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
    plat::testing::fail_nth_registry_write(1, kErrBusy);
    reopen();
  }
  plat::testing::fail_nth_registry_write(0, kOk);
  EXPECT_EQ(KXGetValue(h_, KX_T("x")), 1);
  EXPECT_EQ(KXGetValue(h_, KX_T("y")), 2);
}

}  // namespace
}  // namespace kx
