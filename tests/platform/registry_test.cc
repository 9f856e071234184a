// The registry calls, run unchanged against Windows (Wine) and the POSIX
// stand-in: both must answer with the same codes and bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "tests/platform/helpers.h"
#include "tests/support/test_env.h"

namespace kx::test {
namespace {

using plat::Key;

std::string bytes_of(const void* p, size_t n) {
  return std::string(static_cast<const char*>(p), n);
}

template <class C>
std::string bytes_of(const std::basic_string<C>& s, bool with_nul) {
  return bytes_of(s.c_str(), (s.size() + (with_nul ? 1 : 0)) * sizeof(C));
}

class Registry : public ::testing::Test {
 protected:
  Registry() : test_key_("Registry") {}
  Key key() { return test_key_.key; }
  TestKey test_key_;
};

TEST_F(Registry, CreateMakesParentsAndOpensExistingKeys) {
  ASSERT_NE(key(), nullptr);
  Key deep = nullptr, again = nullptr, opened = nullptr;
  ASSERT_EQ(plat::reg_create_key(key(), ascii("one\\two\\three").c_str(), &deep), kOk);
  ASSERT_EQ(plat::reg_create_key_a(key(), "one\\two\\three", &again), kOk);
  ASSERT_EQ(plat::reg_open_key_a(key(), "ONE\\Two\\tHREE", &opened), kOk);
  EXPECT_EQ(set_dword(deep, ascii("v").c_str(), 7), kOk);
  EXPECT_EQ(get_dword(again, ascii("v").c_str()), 7u);
  EXPECT_EQ(get_dword(opened, ascii("V").c_str()), 7u);

  Key mid = nullptr;
  ASSERT_EQ(plat::reg_open_key_a(key(), "one\\two", &mid), kOk);
  EXPECT_EQ(subkey_names(mid), std::vector<tstring>{ascii("three")});
  // An empty or null sub-key opens the key itself.
  Key self = nullptr, self2 = nullptr;
  ASSERT_EQ(plat::reg_open_key_a(deep, "", &self), kOk);
  ASSERT_EQ(plat::reg_create_key(deep, nullptr, &self2), kOk);
  EXPECT_EQ(get_dword(self, ascii("v").c_str()), 7u);
  EXPECT_EQ(get_dword(self2, ascii("v").c_str()), 7u);

  Key untouched = reinterpret_cast<Key>(0x1234);
  EXPECT_EQ(plat::reg_open_key_a(key(), "one\\missing", &untouched), kErrFileNotFound);
  EXPECT_EQ(plat::reg_open_key_a(key(), "missing\\deeper", &untouched), kErrFileNotFound);
  EXPECT_EQ(untouched, reinterpret_cast<Key>(0x1234));
  // The open in the build's width finds keys the same way and makes none.
  Key wide_open = nullptr;
  ASSERT_EQ(plat::reg_open_key(key(), ascii("ONE\\two").c_str(), &wide_open), kOk);
  EXPECT_EQ(subkey_names(wide_open), std::vector<tstring>{ascii("three")});
  EXPECT_EQ(plat::reg_open_key(key(), ascii("one\\none").c_str(), &untouched), kErrFileNotFound);
  EXPECT_EQ(plat::reg_open_key(key(), ascii("one\\none").c_str(), &untouched), kErrFileNotFound);
  for (Key k : {deep, again, opened, mid, self, self2, wide_open}) {
    EXPECT_EQ(plat::reg_close_key(k), kOk);
  }
  EXPECT_EQ(plat::reg_close_key(plat::current_user()), kOk);
}

TEST_F(Registry, NamesCompareWithoutCaseBeyondAsciiAndKeepTheirCase) {
  struct Pair {
    std::u16string created, other;
  };
  const Pair same[] = {{u"\u00C4pfel", u"\u00E4PFEL"},      // Ä ä
                       {u"\u03A3igma", u"\u03C3IGMA"},      // Σ σ
                       {u"\u042F\u0411", u"\u044F\u0431"},  // Я Б / я б
                       {u"\u0178", u"\u00FF"}};             // Ÿ ÿ
  int checked = 0;
  for (const Pair& p : same) {
    auto created = text(p.created), other = text(p.other);
    auto created_a = narrow(p.created), other_a = narrow(p.other);
    if (!created || !other || !created_a || !other_a) continue;  // not in this code page
    ++checked;
    SCOPED_TRACE(*created_a);
    EXPECT_EQ(set_dword(key(), created->c_str(), 1), kOk);
    EXPECT_EQ(set_dword(key(), other->c_str(), 2), kOk);
    EXPECT_EQ(get_dword(key(), created->c_str()), 2u);
    EXPECT_EQ(value_names(key()), std::vector<tstring>{*created});
    EXPECT_EQ(plat::reg_delete_value(key(), other->c_str()), kOk);
    EXPECT_TRUE(value_names(key()).empty());

    Key k = nullptr, k2 = nullptr;
    ASSERT_EQ(plat::reg_create_key(key(), created->c_str(), &k), kOk);
    ASSERT_EQ(plat::reg_open_key_a(key(), other_a->c_str(), &k2), kOk);
    EXPECT_EQ(plat::reg_create_key(key(), (*other + ascii("\\sub")).c_str(), &k2), kOk);
    EXPECT_EQ(subkey_names(key()), std::vector<tstring>{*created});
    plat::reg_close_key(k);
    plat::reg_close_key(k2);
    delete_tree(key(), *created);
  }
  EXPECT_GT(checked, 0);
  // Accented letters are letters of their own, not case variants.
  EXPECT_EQ(set_dword(key(), ascii("a").c_str(), 1), kOk);
  if (auto accented = text(u"\u00E1")) {
    EXPECT_EQ(plat::reg_query_value(key(), accented->c_str(), nullptr, nullptr, nullptr),
              kErrFileNotFound);
  }
}

TEST_F(Registry, ValuesKeepTheirTypeAndExactBytes) {
  const char binary[] = {'\0', '\x01', '\xFF', '\0', '\x80'};
  const uint32_t dword = 0xA1B2C3D4u;
  const tstring str = ascii("plain text");
  struct Case {
    const char* name;
    uint32_t type;
    std::string bytes;
  };
  const Case cases[] = {
      {"binary", kRegBinary, bytes_of(binary, sizeof binary)},
      {"dword", kRegDword, bytes_of(&dword, sizeof dword)},
      {"string", kRegSz, bytes_of(str, true)},
      {"empty binary", kRegBinary, ""},
      {"none", kRegNone, "xy"},
      {"private type", 0x4B58u, "\x01\x02"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tstring name = ascii(c.name);
    ASSERT_EQ(plat::reg_set_value(key(), name.c_str(), c.type, c.bytes.data(),
                                  static_cast<uint32_t>(c.bytes.size())),
              kOk);
    Value v = query(key(), name.c_str());
    EXPECT_EQ(v.rc, kOk);
    EXPECT_EQ(v.type, c.type);
    EXPECT_EQ(v.bytes, c.bytes);
  }
  // A value with no data bytes, even without a buffer.
  tstring nodata = ascii("no data");
  ASSERT_EQ(plat::reg_set_value(key(), nodata.c_str(), kRegBinary, nullptr, 0), kOk);
  uint32_t type = 0, size = 99;
  EXPECT_EQ(plat::reg_query_value(key(), nodata.c_str(), &type, nullptr, &size), kOk);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(type, kRegBinary);

  // Replacing changes type and size; deleting removes.
  tstring name = ascii("binary");
  ASSERT_EQ(set_dword(key(), name.c_str(), 5), kOk);
  Value v = query(key(), name.c_str());
  EXPECT_EQ(v.type, kRegDword);
  EXPECT_EQ(v.bytes.size(), 4u);
  EXPECT_EQ(plat::reg_delete_value(key(), name.c_str()), kOk);
  EXPECT_EQ(query(key(), name.c_str()).rc, kErrFileNotFound);
  EXPECT_EQ(plat::reg_delete_value(key(), name.c_str()), kErrFileNotFound);
  // A data pointer with a size is required.
  EXPECT_EQ(plat::reg_set_value(key(), name.c_str(), kRegBinary, nullptr, 4), 998);
  uint32_t out = 0;
  EXPECT_EQ(plat::reg_query_value(key(), ascii("dword").c_str(), nullptr, &out, nullptr),
            kErrInvalidParameter);
  EXPECT_EQ(plat::reg_query_value(key(), ascii("dword").c_str(), nullptr, nullptr, nullptr), kOk);
}

TEST_F(Registry, ShortBuffersReportTheSizeNeeded) {
  const char data[10] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  tstring name = ascii("ten");
  ASSERT_EQ(plat::reg_set_value(key(), name.c_str(), kRegBinary, data, 10), kOk);
  char buf[16];
  uint32_t size = 0, type = 0;
  EXPECT_EQ(plat::reg_query_value(key(), name.c_str(), &type, nullptr, &size), kOk);
  EXPECT_EQ(size, 10u);
  size = 9;
  EXPECT_EQ(plat::reg_query_value(key(), name.c_str(), &type, buf, &size), kErrMoreData);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(type, kRegBinary);
  size = 0;
  EXPECT_EQ(plat::reg_query_value(key(), name.c_str(), nullptr, buf, &size), kErrMoreData);
  EXPECT_EQ(size, 10u);
  size = 10;
  EXPECT_EQ(plat::reg_query_value(key(), name.c_str(), nullptr, buf, &size), kOk);
  EXPECT_EQ(std::memcmp(buf, data, 10), 0);
}

TEST_F(Registry, UnnamedValueIsTheEmptyName) {
  ASSERT_EQ(set_dword(key(), nullptr, 11), kOk);
  EXPECT_EQ(get_dword(key(), ascii("").c_str()), 11u);
  ASSERT_EQ(set_dword(key(), ascii("a").c_str(), 1), kOk);
  EXPECT_EQ(value_names(key()), (std::vector<tstring>{ascii(""), ascii("a")}));
  EXPECT_EQ(plat::reg_delete_value(key(), nullptr), kOk);
  EXPECT_EQ(get_dword(key(), ascii("").c_str()), ~0u);
}

// Sub-keys are listed in folded order everywhere. Values are listed in
// creation order by Windows and the stand-in but sorted by Wine, so only the
// names listed are compared here.
TEST_F(Registry, EnumerationListsEachNameOnceSubKeysInFoldedOrder) {
  for (const char* n : {"b", "a", "B_", "Ba", "_", "c", "z", "A", "b"}) {
    ASSERT_EQ(set_dword(key(), ascii(n).c_str(), 1), kOk);
  }
  std::vector<tstring> expected = {ascii("_"),  ascii("a"), ascii("b"), ascii("B_"),
                                   ascii("Ba"), ascii("c"), ascii("z")};
  std::vector<tstring> listed = value_names(key());
  std::sort(listed.begin(), listed.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed, expected);
  uint32_t count = 0, longest = 0;
  EXPECT_EQ(plat::reg_query_info_key(key(), &count, &longest), kOk);
  EXPECT_EQ(count, 7u);
  EXPECT_EQ(longest, 2u);
  EXPECT_EQ(plat::reg_query_info_key(key(), nullptr, nullptr), kOk);

  for (const char* n : {"kb", "ka", "KB_", "kBa", "k_"}) {
    Key k = nullptr;
    ASSERT_EQ(plat::reg_create_key_a(key(), n, &k), kOk);
    plat::reg_close_key(k);
  }
  EXPECT_EQ(subkey_names(key()), (std::vector<tstring>{ascii("k_"), ascii("ka"), ascii("kb"),
                                                       ascii("KB_"), ascii("kBa")}));
  // Sub-keys added later take their place in the order.
  Key k = nullptr;
  ASSERT_EQ(plat::reg_create_key_a(key(), "kAa", &k), kOk);
  plat::reg_close_key(k);
  EXPECT_EQ(subkey_names(key())[2], ascii("kAa"));
}

#if !defined(_WIN32)
// As Windows lists them (Wine sorts): a new value goes last, a replaced one
// keeps its place, a deleted one's place closes.
TEST_F(Registry, ValuesAreListedInCreationOrder) {
  for (const char* n : {"b", "a", "C", "_"}) ASSERT_EQ(set_dword(key(), ascii(n).c_str(), 1), kOk);
  ASSERT_EQ(set_dword(key(), ascii("A").c_str(), 2), kOk);  // replaces "a" in place
  ASSERT_EQ(plat::reg_delete_value(key(), ascii("C").c_str()), kOk);
  ASSERT_EQ(set_dword(key(), ascii("c").c_str(), 3), kOk);  // anew: last
  EXPECT_EQ(value_names(key()),
            (std::vector<tstring>{ascii("b"), ascii("a"), ascii("_"), ascii("c")}));
}
#endif

TEST_F(Registry, EnumerationIntoShortBuffers) {
  ASSERT_EQ(set_dword(key(), ascii("name5").c_str(), 1), kOk);
  Key k = nullptr;
  ASSERT_EQ(plat::reg_create_key_a(key(), "key_5", &k), kOk);
  plat::reg_close_key(k);
  for (auto enumerate : {plat::reg_enum_value, plat::reg_enum_key}) {
    tchar buf[8];
    uint32_t len = 5;  // no room for the terminator
    EXPECT_EQ(enumerate(key(), 0, buf, &len), kErrMoreData);
    EXPECT_EQ(len, 5u);
    len = 6;
    EXPECT_EQ(enumerate(key(), 0, buf, &len), kOk);
    EXPECT_EQ(len, 5u);
    EXPECT_EQ(buf[5], tchar(0));
    len = 8;
    EXPECT_EQ(enumerate(key(), 1, buf, &len), kErrNoMoreItems);
  }
}

TEST_F(Registry, StringsInTheBuildsWidthRoundTripWithNonAsciiText) {
  auto s = text(u"Gr\u00FC\u00DFe \u00C4\u00D6");
  ASSERT_TRUE(s.has_value());
  tstring name = ascii("greeting");
  std::string bytes = bytes_of(*s, true);
  ASSERT_EQ(plat::reg_set_value(key(), name.c_str(), kRegSz, bytes.data(),
                                static_cast<uint32_t>(bytes.size())),
            kOk);
  Value v = query(key(), name.c_str());
  EXPECT_EQ(v.rc, kOk);
  EXPECT_EQ(v.type, kRegSz);
  EXPECT_EQ(v.bytes, bytes);
  // The size is the build's: one byte short gives kErrMoreData and the size.
  std::string buf(bytes.size(), '\0');
  uint32_t size = static_cast<uint32_t>(bytes.size() - 1);
  EXPECT_EQ(plat::reg_query_value(key(), name.c_str(), nullptr, buf.data(), &size), kErrMoreData);
  EXPECT_EQ(size, bytes.size());

  // The other string types convert the same way.
  for (uint32_t type : {kRegExpandSz, kRegMultiSz}) {
    tstring multi = *s + tchar(0) + ascii("x") + tchar(0);
    std::string mb = bytes_of(multi, true);
    ASSERT_EQ(
        plat::reg_set_value(key(), name.c_str(), type, mb.data(), static_cast<uint32_t>(mb.size())),
        kOk);
    Value m = query(key(), name.c_str());
    EXPECT_EQ(m.type, type);
    EXPECT_EQ(m.bytes, mb);
  }
}

TEST_F(Registry, LongestValueNameCountsUtf16Units) {
  auto name = text(u"\u00C4\u00D6\u00DC");
  ASSERT_TRUE(name.has_value());
  ASSERT_EQ(set_dword(key(), name->c_str(), 1), kOk);
  uint32_t count = 0, longest = 0;
  EXPECT_EQ(plat::reg_query_info_key(key(), &count, &longest), kOk);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(longest, 3u);
  // The enumerated name needs its own length in tchars, plus the terminator.
  tchar buf[16];
  uint32_t len = static_cast<uint32_t>(name->size());
  EXPECT_EQ(plat::reg_enum_value(key(), 0, buf, &len), kErrMoreData);
  len = static_cast<uint32_t>(name->size() + 1);
  EXPECT_EQ(plat::reg_enum_value(key(), 0, buf, &len), kOk);
  EXPECT_EQ(tstring(buf, len), *name);
}

TEST_F(Registry, HandlesOfADeletedKeyReportKeyDeleted) {
  Key a = nullptr, b = nullptr;
  ASSERT_EQ(plat::reg_create_key_a(key(), "doomed", &a), kOk);
  ASSERT_EQ(plat::reg_open_key_a(key(), "doomed", &b), kOk);
  ASSERT_EQ(set_dword(a, ascii("v").c_str(), 1), kOk);
  ASSERT_EQ(plat::reg_delete_key(key(), ascii("DOOMED").c_str()), kOk);

  for (Key k : {a, b}) {
    tchar buf[8];
    uint32_t len = 8, count = 0, size = 4, v = 0;
    Key sub = nullptr;
    EXPECT_EQ(set_dword(k, ascii("v").c_str(), 2), kErrKeyDeleted);
    EXPECT_EQ(plat::reg_query_value(k, ascii("v").c_str(), nullptr, &v, &size), kErrKeyDeleted);
    EXPECT_EQ(plat::reg_delete_value(k, ascii("v").c_str()), kErrKeyDeleted);
    EXPECT_EQ(plat::reg_query_info_key(k, &count, nullptr), kErrKeyDeleted);
    EXPECT_EQ(plat::reg_enum_value(k, 0, buf, &len), kErrKeyDeleted);
    EXPECT_EQ(plat::reg_enum_key(k, 0, buf, &len), kErrKeyDeleted);
    EXPECT_EQ(plat::reg_create_key_a(k, "sub", &sub), kErrKeyDeleted);
    EXPECT_EQ(plat::reg_open_key_a(k, "sub", &sub), kErrKeyDeleted);
  }
  // A key made again under the same name is a new, empty key; old handles stay dead.
  Key c = nullptr;
  ASSERT_EQ(plat::reg_create_key_a(key(), "doomed", &c), kOk);
  EXPECT_EQ(get_dword(c, ascii("v").c_str()), ~0u);
  EXPECT_EQ(set_dword(a, ascii("v").c_str(), 2), kErrKeyDeleted);
  // A key can delete itself through its own handle.
  EXPECT_EQ(plat::reg_delete_key(c, ascii("").c_str()), kOk);
  EXPECT_EQ(set_dword(c, ascii("v").c_str(), 2), kErrKeyDeleted);
  for (Key k : {a, b, c}) EXPECT_EQ(plat::reg_close_key(k), kOk);
}

TEST_F(Registry, DeletingAKeyWithSubKeysIsRefused) {
  Key k = nullptr;
  ASSERT_EQ(plat::reg_create_key_a(key(), "parent\\child", &k), kOk);
  plat::reg_close_key(k);
  EXPECT_EQ(plat::reg_delete_key(key(), ascii("parent").c_str()), kErrAccessDenied);
  EXPECT_EQ(plat::reg_delete_key(key(), ascii("missing").c_str()), kErrFileNotFound);
  EXPECT_EQ(plat::reg_delete_key(key(), nullptr), kErrInvalidParameter);
  EXPECT_EQ(plat::reg_delete_key(key(), ascii("parent\\child").c_str()), kOk);
  EXPECT_EQ(plat::reg_delete_key(key(), ascii("parent").c_str()), kOk);
  EXPECT_TRUE(subkey_names(key()).empty());
}

TEST_F(Registry, KeyPathForms) {
  Key k = nullptr;
  // A leading backslash is refused everywhere.
  EXPECT_EQ(plat::reg_create_key_a(key(), "\\lead", &k), kErrBadPathname);
  EXPECT_EQ(plat::reg_create_key(key(), ascii("\\lead").c_str(), &k), kErrBadPathname);
  EXPECT_EQ(plat::reg_open_key_a(key(), "\\lead", &k), kErrBadPathname);
  EXPECT_EQ(plat::reg_delete_key(key(), ascii("\\lead").c_str()), kErrBadPathname);
  // Trailing and doubled backslashes are ignored.
  ASSERT_EQ(plat::reg_create_key_a(key(), "a\\\\b\\", &k), kOk);
  plat::reg_close_key(k);
  ASSERT_EQ(plat::reg_open_key_a(key(), "a\\b", &k), kOk);
  plat::reg_close_key(k);
  ASSERT_EQ(plat::reg_open_key_a(key(), "a\\b\\\\", &k), kOk);
  plat::reg_close_key(k);
  // ".." is an ordinary name.
  ASSERT_EQ(plat::reg_create_key_a(key(), "a\\..\\c", &k), kOk);
  plat::reg_close_key(k);
  Key a = nullptr;
  ASSERT_EQ(plat::reg_open_key_a(key(), "a", &a), kOk);
  EXPECT_EQ(subkey_names(a), (std::vector<tstring>{ascii(".."), ascii("b")}));
  plat::reg_close_key(a);
  EXPECT_EQ(plat::reg_delete_key(key(), ascii("a\\b\\").c_str()), kOk);

  // A component may have 255 characters, not more (Wine takes one more than
  // Windows documents).
  std::string n255(255, 'k');
#if defined(_WIN32)
  std::string n256(257, 'k');
#else
  std::string n256(256, 'k');
#endif
  ASSERT_EQ(plat::reg_create_key_a(key(), n255.c_str(), &k), kOk);
  plat::reg_close_key(k);
  ASSERT_EQ(plat::reg_create_key(key(), ascii(n255).c_str(), &k), kOk);
  plat::reg_close_key(k);
  EXPECT_EQ(plat::reg_create_key_a(key(), n256.c_str(), &k), kErrInvalidParameter);
  EXPECT_EQ(plat::reg_create_key(key(), ascii(n256).c_str(), &k), kErrInvalidParameter);
  EXPECT_EQ(plat::reg_open_key_a(key(), n256.c_str(), &k), kErrInvalidParameter);
  EXPECT_EQ(plat::reg_delete_key(key(), ascii(n256).c_str()), kErrInvalidParameter);
  EXPECT_EQ(plat::reg_create_key(key(), ascii("x\\" + n256).c_str(), &k), kErrInvalidParameter);
  // The 8-bit functions take paths of up to 260 characters.
  std::string path;
  while (path.size() < 258) path += "p\\";  // 258 characters
  ASSERT_EQ(plat::reg_create_key_a(key(), (path + "pp").c_str(), &k), kOk);
  plat::reg_close_key(k);
  EXPECT_EQ(plat::reg_create_key_a(key(), (path + "ppp").c_str(), &k), kErrMoreData);
  EXPECT_EQ(plat::reg_open_key_a(key(), (path + "ppp").c_str(), &k), kErrMoreData);
}

TEST_F(Registry, ValueNamesUpTo16383Characters) {
  tstring longest(16383, tchar('v')), too_long(16384, tchar('v'));
  EXPECT_EQ(set_dword(key(), longest.c_str(), 3), kOk);
  EXPECT_EQ(get_dword(key(), longest.c_str()), 3u);
  uint32_t count = 0, max_len = 0;
  EXPECT_EQ(plat::reg_query_info_key(key(), &count, &max_len), kOk);
  EXPECT_EQ(max_len, 16383u);
  EXPECT_EQ(set_dword(key(), too_long.c_str(), 3), kErrInvalidParameter);
  EXPECT_EQ(plat::reg_query_value(key(), too_long.c_str(), nullptr, nullptr, nullptr),
            kErrFileNotFound);
  EXPECT_EQ(plat::reg_delete_value(key(), too_long.c_str()), kErrFileNotFound);
}

struct WriterArgs {
  Key key;
  int thread;
};

uint32_t write_values(void* p) {
  auto* args = static_cast<WriterArgs*>(p);
  for (int i = 0; i < 40; ++i) {
    tstring name = ascii("t" + std::to_string(args->thread) + "_" + std::to_string(i));
    if (set_dword(args->key, name.c_str(), static_cast<uint32_t>(args->thread * 1000 + i)) != kOk) {
      return 1;
    }
  }
  return 0;
}

TEST_F(Registry, ConcurrentWritersInOneProcess) {
  constexpr int kThreads = 6;
  WriterArgs args[kThreads];
  plat::Thread threads[kThreads];
  for (int t = 0; t < kThreads; ++t) {
    args[t] = {key(), t};
    ASSERT_TRUE(threads[t].start(write_values, &args[t]));
  }
  for (auto& t : threads) EXPECT_TRUE(t.wait(plat::kInfinite));
  uint32_t count = 0;
  EXPECT_EQ(plat::reg_query_info_key(key(), &count, nullptr), kOk);
  EXPECT_EQ(count, kThreads * 40u);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < 40; ++i) {
      tstring name = ascii("t" + std::to_string(t) + "_" + std::to_string(i));
      EXPECT_EQ(get_dword(key(), name.c_str()), static_cast<uint32_t>(t * 1000 + i));
    }
  }
}

struct ReaderArgs {
  Key key;
  const std::atomic<uint32_t>* written;
  const std::atomic<bool>* done;
  int failures;
};

// Reads a value over and over: never one older than the last the writer
// finished before the read began, nor than the read before.
uint32_t read_rising(void* p) {
  auto* args = static_cast<ReaderArgs*>(p);
  tstring name = ascii("rising");
  for (uint32_t last = 0; !args->done->load();) {
    uint32_t floor = args->written->load();
    uint32_t v = get_dword(args->key, name.c_str());
    if (v == ~0u || v < floor || v < last) ++args->failures;
    last = v;
  }
  return 0;
}

// Two threads read a value, one through the writer's handle and one through
// its own, while a third raises it.
TEST_F(Registry, ReadersBesideAWriterSeeEachWriteAtOnce) {
  tstring name = ascii("rising");
  ASSERT_EQ(set_dword(key(), name.c_str(), 0), kOk);
  Key own = nullptr;
  ASSERT_EQ(plat::reg_open_key_a(plat::current_user(), test_key_.path.c_str(), &own), kOk);
  std::atomic<uint32_t> written{0};
  std::atomic<bool> done{false};
  ReaderArgs args[2] = {{key(), &written, &done, 0}, {own, &written, &done, 0}};
  plat::Thread readers[2];
  for (int t = 0; t < 2; ++t) ASSERT_TRUE(readers[t].start(read_rising, &args[t]));
  for (uint32_t i = 1; i <= 300; ++i) {
    if (set_dword(key(), name.c_str(), i) != kOk) break;  // the check below tells
    written.store(i);
  }
  done.store(true);
  for (auto& t : readers) EXPECT_TRUE(t.wait(plat::kInfinite));
  EXPECT_EQ(args[0].failures, 0);
  EXPECT_EQ(args[1].failures, 0);
  EXPECT_EQ(get_dword(own, name.c_str()), 300u);
  plat::reg_close_key(own);
}

// ---- Across processes ----

TEST_F(Registry, AnotherProcessSeesWritesAndItsDeletionsReachOurHandles) {
  ASSERT_EQ(set_dword(key(), ascii("from parent").c_str(), 41), kOk);
  Key doomed = nullptr;
  ASSERT_EQ(plat::reg_create_key_a(key(), "doomed", &doomed), kOk);
  ChildProcess child;
  ASSERT_TRUE(child.start("RegistryPeer", test_key_.path));
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(get_dword(key(), ascii("from child").c_str()), 42u);
  EXPECT_EQ(set_dword(doomed, ascii("v").c_str(), 1), kErrKeyDeleted);
  plat::reg_close_key(doomed);
}

TEST(ChildRole, DISABLED_RegistryPeer) {
  Key k = nullptr;
  ASSERT_EQ(plat::reg_open_key_a(plat::current_user(), role_arg().c_str(), &k), kOk);
  ASSERT_EQ(get_dword(k, ascii("from parent").c_str()), 41u);
  ASSERT_EQ(plat::reg_delete_key(k, ascii("doomed").c_str()), kOk);
  ASSERT_EQ(set_dword(k, ascii("from child").c_str(), 42), kOk);
  plat::reg_close_key(k);
}

// Several processes writing one key at once: every write lands.
TEST_F(Registry, ConcurrentWritersInSeveralProcesses) {
  ChildProcess children[2];
  for (int c = 0; c < 2; ++c) {
    ASSERT_TRUE(children[c].start("Writer", test_key_.path + "|" + std::to_string(c + 1)));
  }
  WriterArgs mine{key(), 0};
  EXPECT_EQ(write_values(&mine), 0u);
  for (auto& c : children) EXPECT_EQ(c.wait(), 0);
  uint32_t count = 0;
  EXPECT_EQ(plat::reg_query_info_key(key(), &count, nullptr), kOk);
  EXPECT_EQ(count, 3 * 40u);
  for (int t = 0; t < 3; ++t) {
    tstring last = ascii("t" + std::to_string(t) + "_39");
    EXPECT_EQ(get_dword(key(), last.c_str()), static_cast<uint32_t>(t * 1000 + 39));
  }
}

TEST(ChildRole, DISABLED_Writer) {
  std::string arg = role_arg();
  size_t bar = arg.find('|');
  Key k = nullptr;
  ASSERT_EQ(plat::reg_open_key_a(plat::current_user(), arg.substr(0, bar).c_str(), &k), kOk);
  WriterArgs args{k, std::stoi(arg.substr(bar + 1))};
  EXPECT_EQ(write_values(&args), 0u);
  plat::reg_close_key(k);
}

// The two widths share the registry: strings written by one read back in the
// other, converted.
const char16_t kParentText[] = u"Gr\u00FC\u00DFe, \u00C4rger!";
const char16_t kChildText[] = u"\u00C7a va, \u00D6l?";

TEST_F(Registry, TheOtherWidthReadsAndWritesTheSameStrings) {
  auto mine = text(kParentText);
  ASSERT_TRUE(mine.has_value());
  std::string bytes = bytes_of(*mine, true);
  ASSERT_EQ(plat::reg_set_value(key(), ascii("parent").c_str(), kRegSz, bytes.data(),
                                static_cast<uint32_t>(bytes.size())),
            kOk);
  ChildProcess child;
  if (!child.start("OtherWidth", test_key_.path, true)) GTEST_SKIP() << "other width not built";
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(get_dword(key(), ascii("child checked").c_str()), 1u);
  Value v = query(key(), ascii("child").c_str());
  EXPECT_EQ(v.type, kRegSz);
  EXPECT_EQ(v.bytes, bytes_of(*text(kChildText), true));
}

TEST(ChildRole, DISABLED_OtherWidth) {
  Key k = nullptr;
  ASSERT_EQ(plat::reg_open_key_a(plat::current_user(), role_arg().c_str(), &k), kOk);
  auto expected = text(kParentText);
  auto reply = text(kChildText);
  ASSERT_TRUE(expected && reply);
  Value v = query(k, ascii("parent").c_str());
  ASSERT_EQ(v.rc, kOk);
  EXPECT_EQ(v.type, kRegSz);
  EXPECT_EQ(v.bytes, bytes_of(*expected, true));
  std::string bytes = bytes_of(*reply, true);
  ASSERT_EQ(plat::reg_set_value(k, ascii("child").c_str(), kRegSz, bytes.data(),
                                static_cast<uint32_t>(bytes.size())),
            kOk);
  if (!::testing::Test::HasFailure()) set_dword(k, ascii("child checked").c_str(), 1);
  plat::reg_close_key(k);
}

}  // namespace
}  // namespace kx::test
