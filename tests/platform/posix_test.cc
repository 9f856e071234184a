// The POSIX stand-in's own parts: text conversion, name folding, and the
// files it keeps.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "platform/posix/internal.h"
#include "platform/posix/unicode.h"
#include "tests/platform/helpers.h"
#include "tests/support/test_env.h"

// The stand-in's own allocations (std::string and friends) go through
// operator new: while armed, the nth one from then on throws.
namespace {
std::atomic<long> g_new_countdown{0};
}  // namespace

void* operator new(std::size_t n) {
  if (g_new_countdown.load(std::memory_order_relaxed) > 0 && g_new_countdown.fetch_sub(1) == 1) {
    throw std::bad_alloc();
  }
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

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
}
#endif

// Out of memory at any allocation of a registry call gives 8 and leaves
// nothing half done; the next call works.
TEST(Memory, EveryRegistryCallSurvivesAnyFailedAllocation) {
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
  std::string locks = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/kelmix";
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

TEST(Files, ALockFolderThatIsASymlinkIsRefused) {
  std::string runtime = scratch_dir() + "/fake-runtime";
  ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((scratch_dir() + "/elsewhere").c_str(), 0700), 0);
  ASSERT_EQ(symlink((scratch_dir() + "/elsewhere").c_str(), (runtime + "/kelmix").c_str()), 0);
  std::string saved = std::getenv("XDG_RUNTIME_DIR");
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  plat::NamedMutex mu;
  EXPECT_FALSE(mu.open("KelmixSymlinked"));
  setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

}  // namespace
}  // namespace kx::test
