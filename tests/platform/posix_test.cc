// The POSIX stand-in's own parts: text conversion, name folding, and the
// files it keeps.
#include <gtest/gtest.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/internal.h"
#include "platform/posix/key_cache.h"
#include "platform/posix/unicode.h"
#include "tests/platform/helpers.h"
#include "tests/support/test_env.h"

// The stand-in's own allocations (std::string and friends) go through
// operator new: while armed, the nth one from then on throws. It allocates
// with malloc, which GCC's inlining takes for a mismatch with free.
// clang's ThreadSanitizer brings its own operator new, which cannot be
// replaced: the cases that need the countdown skip there (the other builds
// run them).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#if defined(__clang__) && defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KX_NO_NEW_COUNTDOWN
#endif
#endif
namespace {
std::atomic<long> g_new_countdown{0};
#if defined(KX_NO_NEW_COUNTDOWN)
constexpr bool kNewCountdown = false;
#else
constexpr bool kNewCountdown = true;
#endif
}  // namespace

#if !defined(KX_NO_NEW_COUNTDOWN)
void* operator new(std::size_t n) {
  if (g_new_countdown.load(std::memory_order_relaxed) > 0 && g_new_countdown.fetch_sub(1) == 1) {
    throw std::bad_alloc();
  }
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return operator new(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
#endif

namespace kx::test {
namespace {

using plat::posix::fold_unit;
using plat::posix::utf16_to_utf8;
using plat::posix::utf8_to_utf16;

TEST(Unicode, Utf8AndUtf16ConvertBothWays) {
  const std::u16string text = u"a\u00C4\u03A3\u65E5\U0001F600";
  const std::string utf8 = "a\xC3\x84\xCE\xA3\xE6\x97\xA5\xF0\x9F\x98\x80";
  EXPECT_EQ(utf16_to_utf8(text), utf8);
  EXPECT_EQ(utf8_to_utf16(utf8), text);
  EXPECT_EQ(utf8_to_utf16(std::string("x\0y", 3)), std::u16string(u"x\0y", 3));
  EXPECT_EQ(utf8_to_utf16(""), u"");
}

// Each byte that starts no well-formed sequence is held as U+DC00 + byte and
// comes back as that byte; other lone surrogates have no bytes to return.
TEST(Unicode, BytesThatAreNotUtf8SurviveTheRoundTrip) {
  EXPECT_EQ(utf8_to_utf16("a\xFF"
                          "b"),
            u"a\xDCFF"
            u"b");
  EXPECT_EQ(utf8_to_utf16("M\xFCller"), u"M\xDCFCller");
  EXPECT_EQ(utf8_to_utf16("\xC3"), u"\xDCC3");                      // cut short
  EXPECT_EQ(utf8_to_utf16("\xED\xA0\x80"), u"\xDCED\xDCA0\xDC80");  // no surrogates
  EXPECT_EQ(utf8_to_utf16("\xF4\x90\x80\x80").size(), 4u);          // beyond U+10FFFF
  EXPECT_EQ(utf8_to_utf16("\xC0\xAF"), u"\xDCC0\xDCAF");            // overlong
  for (const std::string& bytes :
       std::vector<std::string>{"K\xF6ln", "\xC3", "\xED\xB2\x80", "\xE2\x82", "\xF0\x9F\x98",
                                "\x80\xC3\xA4\xFF", std::string("\0\xFE\0", 3)}) {
    EXPECT_EQ(utf16_to_utf8(utf8_to_utf16(bytes)), bytes);
  }
  EXPECT_NE(utf8_to_utf16("M\xFCller"), utf8_to_utf16("M\xE4ller"));
  EXPECT_EQ(utf16_to_utf8(std::u16string(1, u'\xD800') + u"x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(utf16_to_utf8(std::u16string(1, u'\xDC00')), "\xEF\xBF\xBD");
  EXPECT_EQ(utf16_to_utf8(std::u16string(1, u'\xDC7F')), "\xEF\xBF\xBD");
}

TEST(Unicode, FoldingPairsUpperAndLowerCaseOnly) {
  // Pairs that map onto each other both ways fold together.
  EXPECT_EQ(fold_unit(u'A'), u'a');
  EXPECT_EQ(fold_unit(u'\u00C4'), u'\u00E4');
  EXPECT_EQ(fold_unit(u'\u03A3'), u'\u03C3');
  EXPECT_EQ(fold_unit(u'\u0178'), u'\u00FF');
  EXPECT_EQ(fold_unit(u'\u01C4'), u'\u01C6');
  EXPECT_EQ(fold_unit(u'\uFF21'), u'\uFF41');
  // One-way mappings stay apart, as the registry keeps them.
  for (char16_t c : {u'\u212A', u'\u0130', u'\u0131', u'\u01C5', u'\u03C2', u'\u017F', u'\u00B5',
                     u'\u1E9E', u'\u03D1', u'\xD801', u'_', u'1'}) {
    EXPECT_EQ(fold_unit(c), c) << std::hex << static_cast<int>(c);
  }
  // Stored names were folded by this table: moving on is a deliberate change.
  EXPECT_STREQ(plat::posix::fold_unicode_version(), "15.0");
  EXPECT_EQ(fold_unit(u'\u2C2F'), u'\u2C5F');  // Glagolitic, new in Unicode 14
}

// A short ASCII name is folded a word at a time, reading up to the end of
// its page: every length up to the limit and beyond, each ending right at a
// page whose successor is not mapped, folds as the slow path's bytes do.
TEST(Unicode, ShortNamesFoldAsTheDatabaseKeysThemUpToAnUnmappedPage) {
  const long page = sysconf(_SC_PAGESIZE);
  auto* pages = static_cast<char*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
  for (std::size_t length = 0; length <= 70; ++length) {
    for (std::size_t slack = 0; slack < 9; ++slack) {
      tchar* name = reinterpret_cast<tchar*>(pages + page) - length - 1 - slack;
      std::string expected;
      for (std::size_t i = 0; i < length; ++i) {
        name[i] = static_cast<tchar>("aZ_9Q-mx"[(i + slack) % 8]);
        expected += '\0';
        expected += static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
      }
      name[length] = 0;
      plat::posix::FoldedName fast, slow;
      bool short_ascii = fast.fold_short(name);
      EXPECT_EQ(short_ascii, length < 64) << length;
      if (!short_ascii) continue;
      slow.assign(expected);
      EXPECT_EQ(fast.view(), slow.view()) << length << " " << slack;
      EXPECT_EQ(fast.hash(), slow.hash()) << length << " " << slack;
      if (length == 0) continue;
      name[length / 2] = static_cast<tchar>(0xC4);  // not ASCII: the slow path's
      EXPECT_FALSE(fast.fold_short(name)) << length;
    }
  }
  munmap(pages, 2 * page);
}

// Names that differ in one letter, wherever it is, spread over a small
// index's slots (its low bits): value0 to value9 each find their own.
TEST(Unicode, NamesDifferingInOneLetterSpreadOverTheIndex) {
  for (std::size_t position = 0; position < 8; ++position) {
    std::set<uint64_t> slots;
    for (int letter = 0; letter < 16; ++letter) {
      std::basic_string<tchar> name(8, static_cast<tchar>('v'));
      name[position] = static_cast<tchar>('a' + letter);
      plat::posix::FoldedName folded;
      ASSERT_TRUE(folded.fold_short(name.c_str()));
      slots.insert(folded.hash() & 255);
    }
    EXPECT_GE(slots.size(), 8u) << "letter " << position;
  }
}

#if !defined(KX_WIDE)
// 8-bit names and text that are not UTF-8 reach the registry byte for byte:
// names that differ in such bytes are different values.
TEST(Unicode, NamesAndTextThatAreNotUtf8StayApartAndExact) {
  TestKey k("Bytes");
  const std::string text = "K\xF6ln";
  ASSERT_EQ(set_dword(k.key, "M\xFCller", 1), kOk);
  ASSERT_EQ(set_dword(k.key, "M\xE4ller", 2), kOk);
  ASSERT_EQ(plat::reg_set_value(k.key, "city", kRegSz, text.c_str(), 5), kOk);
  EXPECT_EQ(get_dword(k.key, "M\xFCller"), 1u);
  EXPECT_EQ(get_dword(k.key, "M\xE4ller"), 2u);
  EXPECT_EQ(query(k.key, "city").bytes, std::string("K\xF6ln", 5));
  EXPECT_EQ(value_names(k.key), (std::vector<tstring>{"M\xFCller", "M\xE4ller", "city"}));
  // The UTF-16 build sees each such byte as U+DC00 + byte, the names apart.
  ChildProcess child;
  if (!child.start("ByteNamesInUtf16", k.path, true)) GTEST_SKIP() << "other width not built";
  EXPECT_EQ(child.wait(), 0);
}
#else
TEST(ChildRole, DISABLED_ByteNamesInUtf16) {
  plat::Key k = nullptr;
  ASSERT_EQ(plat::reg_open_key_a(plat::current_user(), role_arg().c_str(), &k), kOk);
  EXPECT_EQ(value_names(k), (std::vector<tstring>{u"M\xDCFCller", u"M\xDCE4ller", u"city"}));
  EXPECT_EQ(get_dword(k, u"M\xDCE4ller"), 2u);
  EXPECT_EQ(query(k, u"city").bytes, std::string(reinterpret_cast<const char*>(u"K\xDCF6ln"), 10));
  plat::reg_close_key(k);
}
#endif

// Out of memory at any allocation of a registry call gives 8 and leaves
// nothing half done; the next call works.
TEST(Memory, EveryRegistryCallSurvivesAnyFailedAllocation) {
  if (!kNewCountdown) GTEST_SKIP() << "operator new is the sanitizer's here";
  TestKey k("Memory");
  auto name = text(u"n\u00E4me");
  auto data = text(u"d\u00E4ta");
  ASSERT_TRUE(name && data);
  ASSERT_EQ(set_dword(k.key, ascii("present").c_str(), 1), kOk);
  const std::vector<std::function<int32_t()>> calls = {
      [&] {
        return plat::reg_set_value(k.key, name->c_str(), kRegSz, data->c_str(),
                                   static_cast<uint32_t>((data->size() + 1) * sizeof(tchar)));
      },
      [&] { return get_dword(k.key, ascii("present").c_str()) == 1u ? kOk : kErrNotEnoughMemory; },
      [&] {
        tchar buf[64];
        uint32_t len = 64;
        return plat::reg_enum_value(k.key, 0, buf, &len);
      },
      [&] {
        plat::Key sub = nullptr;
        int32_t rc = plat::reg_create_key(k.key, name->c_str(), &sub);
        if (rc == kOk) plat::reg_close_key(sub);
        return rc;
      },
      [&] {
        plat::Key sub = nullptr;
        int32_t rc = plat::reg_open_key_a(k.key, "missing\\deeper", &sub);
        return rc == kErrFileNotFound ? kOk : rc;
      },
      [&] {
        int32_t rc = plat::reg_delete_value(k.key, name->c_str());
        return rc == kErrFileNotFound ? kOk : rc;
      },
  };
  for (size_t c = 0; c < calls.size(); ++c) {
    for (long n = 1;; ++n) {
      g_new_countdown = n;
      int32_t rc = calls[c]();
      bool failed_one = g_new_countdown.exchange(0) == 0;
      if (!failed_one) {
        EXPECT_EQ(rc, kOk) << "call " << c;
        break;
      }
      EXPECT_TRUE(rc == kOk || rc == kErrNotEnoughMemory) << "call " << c << " rc " << rc;
    }
  }
  EXPECT_EQ(get_dword(k.key, ascii("present").c_str()), 1u);
}

uint32_t do_nothing(void*) { return 0; }

// Opening a named mutex and starting a thread fail cleanly, never throw.
TEST(Memory, NamedMutexesAndThreadsSurviveAnyFailedAllocation) {
  if (!kNewCountdown) GTEST_SKIP() << "operator new is the sanitizer's here";
  for (long n = 1;; ++n) {
    g_new_countdown = n;
    plat::NamedMutex mu;
    bool opened = mu.open("KelmixMemory");
    plat::Thread t;
    bool started = t.start(do_nothing, nullptr);
    bool failed_one = g_new_countdown.exchange(0) == 0;
    if (started) t.wait(plat::kInfinite);
    if (!failed_one) {
      EXPECT_TRUE(opened && started);
      break;
    }
  }
}

TEST(Files, RegistryAndLockFolderArePrivate) {
  plat::Key k = nullptr;
  ASSERT_EQ(plat::reg_create_key_a(plat::current_user(), "Software\\Kelmix\\FileModes", &k), kOk);
  plat::reg_close_key(k);
  std::string dir = std::string(std::getenv("XDG_CONFIG_HOME")) + "/kelmix";
  struct stat st;
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((dir + "/registry.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((dir + "/registry.db-wal").c_str(), &st), 0);  // WAL mode
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  plat::NamedMutex mu;
  ASSERT_TRUE(mu.open("KelmixFileModes"));
  std::string locks = dir + "/locks";  // beside the data, whatever the runtime folder
  ASSERT_EQ(lstat(locks.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// A registry folder made earlier with loose permissions is narrowed; one
// that is a symlink is not used.
TEST(Files, TheRegistryFolderIsNarrowedToItsOwnerOrRefused) {
  std::string saved = std::getenv("XDG_CONFIG_HOME");
  std::string loose = scratch_dir() + "/loose-config";
  ASSERT_EQ(mkdir(loose.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((loose + "/kelmix").c_str(), 0755), 0);
  std::string linked = scratch_dir() + "/linked-config";
  ASSERT_EQ(mkdir(linked.c_str(), 0700), 0);
  ASSERT_EQ(symlink(loose.c_str(), (linked + "/kelmix").c_str()), 0);

  auto create_in = [](const std::string& config) {
    plat::posix::close_registry();
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    plat::Key k = nullptr;
    int32_t rc = plat::reg_create_key_a(plat::current_user(), "Software\\Kelmix\\Modes", &k);
    if (rc == kOk) plat::reg_close_key(k);
    return rc;
  };
  EXPECT_EQ(create_in(loose), kOk);
  struct stat st;
  ASSERT_EQ(stat((loose + "/kelmix").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_NE(create_in(linked), kOk);
  EXPECT_EQ(create_in(saved), kOk);
  plat::posix::close_registry();
}

// Points the stand-in at another config folder (XDG_CONFIG_HOME) for a scope.
class OtherConfig {
 public:
  explicit OtherConfig(const std::string& config) : saved_(std::getenv("XDG_CONFIG_HOME")) {
    plat::posix::close_registry();
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  }
  ~OtherConfig() {
    plat::posix::close_registry();
    setenv("XDG_CONFIG_HOME", saved_.c_str(), 1);
  }
  OtherConfig(const OtherConfig&) = delete;
  OtherConfig& operator=(const OtherConfig&) = delete;

 private:
  std::string saved_;
};

// A fresh config folder under the scratch folder.
std::string fresh_config(const std::string& stem) {
  std::string dir = scratch_dir() + "/" + unique_name(stem);
  mkdir(dir.c_str(), 0700);
  return dir;
}

int32_t create_key(const char* path) {
  plat::Key k = nullptr;
  int32_t rc = plat::reg_create_key_a(plat::current_user(), path, &k);
  if (rc == kOk) plat::reg_close_key(k);
  return rc;
}

// The permission bits; 0 when missing.
mode_t mode_of(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

void sql(sqlite3* db, const char* text) {
  ASSERT_EQ(sqlite3_exec(db, text, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
}

// A database of the first schema, which listed values in folded order, keeps
// its values and that order; values added later go last.
TEST(Files, AFirstSchemaDatabaseIsMigratedKeepingItsValuesAndTheirOrder) {
  std::string config = fresh_config("v1");
  ASSERT_EQ(mkdir((config + "/kelmix").c_str(), 0700), 0);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((config + "/kelmix/registry.db").c_str(), &db), SQLITE_OK);
  sql(db,
      "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
      "  name BLOB NOT NULL, folded BLOB NOT NULL);"
      "CREATE UNIQUE INDEX keys_by_name ON keys(parent, folded);"
      "CREATE TABLE vals(key INTEGER NOT NULL, folded BLOB NOT NULL, name BLOB NOT NULL,"
      "  type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, folded)) WITHOUT ROWID;"
      "INSERT INTO keys(id, parent, name, folded) VALUES(1, 0, x'', x'');"
      // HKCU\K (UTF-16LE name, folded big-endian) with values "b" and "A"
      "INSERT INTO keys(id, parent, name, folded) VALUES(2, 1, x'4B00', x'006B');"
      "INSERT INTO vals VALUES(2, x'0062', x'6200', 4, x'02000000');"
      "INSERT INTO vals VALUES(2, x'0061', x'4100', 4, x'01000000');"
      "PRAGMA user_version = 1;");
  sqlite3_close(db);
  OtherConfig other(config);
  plat::Key k = nullptr;
  ASSERT_EQ(plat::reg_open_key_a(plat::current_user(), "K", &k), kOk);
  EXPECT_EQ(get_dword(k, ascii("a").c_str()), 1u);
  ASSERT_EQ(set_dword(k, ascii("_").c_str(), 3), kOk);
  EXPECT_EQ(value_names(k), (std::vector<tstring>{ascii("A"), ascii("b"), ascii("_")}));
  plat::reg_close_key(k);
}

TEST(Files, ADamagedDatabaseGivesRegistryCorrupt) {
  std::string config = fresh_config("damaged");
  ASSERT_EQ(mkdir((config + "/kelmix").c_str(), 0700), 0);
  FILE* f = std::fopen((config + "/kelmix/registry.db").c_str(), "w");
  ASSERT_NE(f, nullptr);
  for (int i = 0; i < 512; ++i) std::fputs("not a database.", f);
  std::fclose(f);
  OtherConfig other(config);
  EXPECT_EQ(create_key("Software\\Kelmix\\Damaged"), 1015);
  plat::Key k = nullptr;
  EXPECT_EQ(plat::reg_open_key_a(plat::current_user(), "Software", &k), 1015);
}

// Folders and files the stand-in makes get their modes whatever the umask;
// a mode the user gives the database later is theirs, and a database that
// cannot be written is still read.
TEST(Files, ModesHoldUnderAnyUmaskAndAReadOnlyDatabaseIsRead) {
  std::string config = fresh_config("umask");
  OtherConfig other(config + "/deeper");
  mode_t saved = umask(0277);
  EXPECT_EQ(create_key("Software\\Kelmix\\Umask"), kOk);
  umask(saved);
  EXPECT_EQ(mode_of(config + "/deeper"), 0700u);
  EXPECT_EQ(mode_of(config + "/deeper/kelmix"), 0700u);
  std::string db = config + "/deeper/kelmix/registry.db";
  EXPECT_EQ(mode_of(db), 0600u);
  // A folder an older version made 0500 under that umask, with no database.
  std::string older = fresh_config("older");
  ASSERT_EQ(mkdir((older + "/kelmix").c_str(), 0500), 0);
  {
    OtherConfig in_older(older);
    EXPECT_EQ(create_key("Software\\Kelmix\\Umask"), kOk);
    EXPECT_EQ(mode_of(older + "/kelmix"), 0700u);
  }

  TestKey k("ReadOnly");
  ASSERT_EQ(set_dword(k.key, ascii("v").c_str(), 7), kOk);
  plat::posix::close_registry();
  ASSERT_EQ(chmod(db.c_str(), 0400), 0);
  EXPECT_EQ(get_dword(k.key, ascii("v").c_str()), 7u);
  if (geteuid() != 0) {
    EXPECT_EQ(set_dword(k.key, ascii("v").c_str(), 8), kErrAccessDenied);
  }
  EXPECT_EQ(mode_of(db), 0400u);
  plat::posix::close_registry();
  chmod(db.c_str(), 0600);
}

// On a read-only medium, the database's -wal and -shm gone with its last
// writer, values are still read.
TEST(Files, AReadOnlyMediumIsStillRead) {
  if (geteuid() != 0) GTEST_SKIP() << "a read-only mount needs root";
  std::string config = fresh_config("medium");
  OtherConfig other(config);
  plat::Key k = nullptr;
  ASSERT_EQ(plat::reg_create_key_a(plat::current_user(), "Software\\Kelmix\\Medium", &k), kOk);
  ASSERT_EQ(set_dword(k, ascii("v").c_str(), 9), kOk);
  plat::reg_close_key(k);
  plat::posix::close_registry();
  ASSERT_EQ(mode_of(config + "/kelmix/registry.db-shm"), 0u);
  ChildProcess child;
  ASSERT_TRUE(child.start("ReadOnlyMedium", config));
  EXPECT_EQ(child.wait(), 0);
}

TEST(ChildRole, DISABLED_ReadOnlyMedium) {
  std::string dir = role_arg() + "/kelmix";
  if (unshare(CLONE_NEWNS) != 0) GTEST_SKIP() << "no mount namespace here";
  ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  ASSERT_EQ(mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
  setenv("XDG_CONFIG_HOME", role_arg().c_str(), 1);
  plat::Key k = nullptr;
  ASSERT_EQ(plat::reg_open_key_a(plat::current_user(), "Software\\Kelmix\\Medium", &k), kOk);
  EXPECT_EQ(get_dword(k, ascii("v").c_str()), 9u);
  EXPECT_EQ(set_dword(k, ascii("v").c_str(), 1), kErrAccessDenied);
  plat::reg_close_key(k);
}

// Files planted in the folder while it was open to others (a symlinked WAL,
// someone else's database) are not opened.
TEST(Files, PlantedDatabaseFilesAreRefused) {
  std::string config = fresh_config("planted");
  ASSERT_EQ(mkdir((config + "/kelmix").c_str(), 0700), 0);
  std::string target = config + "/target";
  std::fclose(std::fopen(target.c_str(), "w"));
  ASSERT_EQ(symlink(target.c_str(), (config + "/kelmix/registry.db-wal").c_str()), 0);
  {
    OtherConfig other(config);
    EXPECT_EQ(create_key("Software\\Kelmix\\Planted"), kErrAccessDenied);
  }
  EXPECT_EQ(mode_of(config + "/kelmix/registry.db"), 0u);  // nothing made beside it
  if (geteuid() != 0) return;                              // giving a file away needs root
  unlink((config + "/kelmix/registry.db-wal").c_str());
  std::fclose(std::fopen((config + "/kelmix/registry.db").c_str(), "w"));
  ASSERT_EQ(chown((config + "/kelmix/registry.db").c_str(), 65534, 65534), 0);
  OtherConfig other(config);
  EXPECT_EQ(create_key("Software\\Kelmix\\Planted"), kErrAccessDenied);
}

// Root with a user's HOME (sudo) must not make root's files there.
TEST(Files, AHomeOfAnotherUserIsNotWrittenInto) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a folder away needs root";
  std::string home = fresh_config("home");
  ASSERT_EQ(chown(home.c_str(), 65534, 65534), 0);
  std::string saved_home = std::getenv("HOME") ? std::getenv("HOME") : "";
  std::string saved_config = std::getenv("XDG_CONFIG_HOME");
  plat::posix::close_registry();
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", home.c_str(), 1);
  EXPECT_EQ(create_key("Software\\Kelmix\\Sudo"), kErrAccessDenied);
  EXPECT_EQ(mode_of(home + "/.config"), 0u);
  setenv("XDG_CONFIG_HOME", home.c_str(), 1);  // kept by sudo -E, say
  EXPECT_EQ(create_key("Software\\Kelmix\\Sudo"), kErrAccessDenied);
  EXPECT_EQ(mode_of(home + "/kelmix"), 0u);
  plat::posix::close_registry();
  setenv("HOME", saved_home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", saved_config.c_str(), 1);
}

// A /tmp/kelmix-<uid> another user made first is never used: the locks live
// in the registry's folder.
TEST(Files, ALockFolderTakenByAnotherUserGivesWayToTheConfigFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "a /tmp of its own needs root";
  ChildProcess child;
  ASSERT_TRUE(child.start("TakenLockFolder", ""));
  EXPECT_EQ(child.wait(), 0);
}

TEST(ChildRole, DISABLED_TakenLockFolder) {
  if (unshare(CLONE_NEWNS) != 0) GTEST_SKIP() << "no mount namespace here";
  ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  ASSERT_EQ(mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777"), 0);
  std::string taken = "/tmp/kelmix-" + std::to_string(geteuid());
  ASSERT_EQ(mkdir(taken.c_str(), 0777), 0);
  ASSERT_EQ(chmod(taken.c_str(), 0777), 0);
  ASSERT_EQ(chown(taken.c_str(), 65534, 65534), 0);
  ASSERT_EQ(mkdir("/tmp/config", 0700), 0);
  setenv("XDG_CONFIG_HOME", "/tmp/config", 1);
  unsetenv("XDG_RUNTIME_DIR");
  plat::NamedMutex mu;
  ASSERT_TRUE(mu.open("KelmixTaken"));
  EXPECT_EQ(mode_of("/tmp/config/kelmix/locks"), 0700u);
  EXPECT_NE(mode_of("/tmp/config/kelmix/locks/KelmixTaken.lock"), 0u);
  EXPECT_EQ(mode_of(taken + "/KelmixTaken.lock"), 0u);
}

TEST(Files, ALockFolderThatIsASymlinkIsRefused) {
  std::string config = scratch_dir() + "/symlinked-locks";
  ASSERT_EQ(mkdir(config.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((config + "/kelmix").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((scratch_dir() + "/elsewhere").c_str(), 0700), 0);
  ASSERT_EQ(symlink((scratch_dir() + "/elsewhere").c_str(), (config + "/kelmix/locks").c_str()), 0);
  std::string saved = std::getenv("XDG_CONFIG_HOME");
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  plat::NamedMutex mu;
  EXPECT_FALSE(mu.open("KelmixSymlinked"));
  setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

// A mutex name is made a safe file name inside the lock folder, or refused.
TEST(Files, ALockFileStaysInsideTheLockFolder) {
  plat::NamedMutex up, long_one;
  ASSERT_TRUE(up.open("../Up/.x"));
  std::string locks = std::string(std::getenv("XDG_CONFIG_HOME")) + "/kelmix/locks";
  struct stat st;
  EXPECT_EQ(stat((locks + "/_._Up_.x.lock").c_str(), &st), 0);
  EXPECT_FALSE(long_one.open(std::string(plat::kMaxFileName, 'k').c_str()));
}

// Two hosts of one user with different runtime folders (a desktop session,
// a cron job) share the data, and so take the same lock.
TEST(Files, TheLockIsSharedWhateverTheRuntimeFolder) {
  plat::NamedMutex first, second;
  ASSERT_TRUE(first.open("KelmixRuntimes"));
  std::string saved = std::getenv("XDG_RUNTIME_DIR");
  setenv("XDG_RUNTIME_DIR", (scratch_dir() + "/other-runtime").c_str(), 1);
  ASSERT_TRUE(second.open("KelmixRuntimes"));
  setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  std::string locks = std::string(std::getenv("XDG_CONFIG_HOME")) + "/kelmix/locks";
  struct stat st;
  EXPECT_EQ(stat((locks + "/KelmixRuntimes.lock").c_str(), &st), 0);
}

}  // namespace
}  // namespace kx::test
