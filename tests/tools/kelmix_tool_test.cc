// The kelmix tool as a script runs it: a child process sharing this test's
// registry (on Linux through the XDG folders test_main sets up), its output,
// exit codes, and the exact bytes it leaves in the registry; and hosts that
// die with writes pending, whose records the tool completes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "kelmix.h"
#include "platform/platform.h"
#include "store/store.h"
#include "store/store_test_helper.h"
#include "tests/library/api.h"
#include "tests/support/test_env.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace kx::test {
namespace {

using WString = std::basic_string<kx::tchar>;
using Bytes = std::vector<uint8_t>;

// ---- UTF-8 for names and texts ------------------------------------------------------

WString W(const std::string& utf8) {
  WString out;
  for (std::size_t i = 0; i < utf8.size();) {
    auto c = static_cast<unsigned char>(utf8[i]);
    int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) cp = cp << 6 | (utf8[i + k] & 0x3F);
    i += extra + 1;
    if (cp >= 0x10000) {
      out += static_cast<tchar>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<tchar>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<tchar>(cp);
    }
  }
  return out;
}

Bytes units_bytes(const WString& s, bool terminator) {
  Bytes b(s.size() * 2);
  if (!b.empty()) std::memcpy(b.data(), s.data(), b.size());
  if (terminator) b.insert(b.end(), {0, 0});
  return b;
}

template <class T>
Bytes bytes_of(T v) {
  Bytes b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

// ---- The registry, looked at directly ------------------------------------------------

struct Key {
  plat::Key key = nullptr;
  ~Key() {
    if (key) plat::reg_close_key(key);
  }
};

// Whether the store exists, without creating it (ASCII names).
bool store_exists(const std::string& store) {
  Key k;
  return plat::reg_open_key_a(plat::current_user(), ("Software\\Kelmix\\" + store).c_str(),
                              &k.key) == 0;
}

// Opens (creating) a store's key; for stores the test has made.
bool open_store(const WString& store, Key* k) {
  Key product;
  if (plat::reg_create_key_a(plat::current_user(), "Software\\Kelmix", &product.key) != 0) {
    return false;
  }
  return plat::reg_create_key(product.key, store.c_str(), &k->key) == 0;
}

struct Stored {
  WString name;
  uint32_t type = 0;
  Bytes bytes;
  bool operator==(const Stored& o) const {
    return name == o.name && type == o.type && bytes == o.bytes;
  }
};

std::ostream& operator<<(std::ostream& os, const Stored& s) {
  os << "{" << s.name.size() << " units, type " << s.type << ",";
  for (uint8_t b : s.bytes) os << " " << int(b);
  return os << "}";
}

// Every value of the store with its type and bytes, in the registry's order.
std::vector<Stored> snapshot(const WString& store) {
  std::vector<Stored> out;
  Key k;
  if (!open_store(store, &k)) return out;
  for (uint32_t i = 0;; ++i) {
    std::vector<tchar> name(16385);
    uint32_t length = 16385;
    if (plat::reg_enum_value(k.key, i, name.data(), &length) != 0) break;
    Stored s;
    s.name.assign(name.data(), length);
    uint32_t size = 0;
    plat::reg_query_value(k.key, s.name.c_str(), &s.type, nullptr, &size);
    s.bytes.resize(size);
    plat::reg_query_value(k.key, s.name.c_str(), &s.type, s.bytes.data(), &size);
    out.push_back(s);
  }
  return out;
}

Stored stored(const WString& store, const WString& name) {
  for (Stored& s : snapshot(store)) {
    if (s.name == name) return s;
  }
  return Stored{name, 0xFFFFFFFFu, {}};
}

// Writes a value bypassing the tool and the library. A nonzero unit follows
// the bytes, so text stays without a terminator when given without one.
void write_raw(const WString& store, const WString& name, uint32_t type, Bytes bytes) {
  Key k;
  ASSERT_TRUE(open_store(store, &k));
  auto size = static_cast<uint32_t>(bytes.size());
  bytes.insert(bytes.end(), {0xFF, 0xFF});
  ASSERT_EQ(plat::reg_set_value(k.key, name.c_str(), type, bytes.data(), size), 0);
}

// ---- Running the tool -----------------------------------------------------------------

struct Result {
  int code = -1;
  std::string out, err;
};

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary);
  f << data;
}

// Runs kelmix with args (UTF-8), input as its stdin; waits for it.
Result kelmix(const std::vector<std::string>& args, const std::string& input = "") {
  std::string base = scratch_dir() + "/kelmix_run_" + unique_name("io");
  std::string in = base + ".in", out = base + ".out", err = base + ".err";
  write_file(in, input);
  Result r;
#if defined(_WIN32)
  // Quoted as CommandLineToArgvW reads it back.
  auto quote = [](const WString& a) {
    WString q = L"\"";
    std::size_t slashes = 0;
    for (wchar_t c : a) {
      if (c == L'\\') {
        ++slashes;
        continue;
      }
      q.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
      slashes = 0;
      q += c;
    }
    q.append(slashes * 2, L'\\');
    return q + L"\"";
  };
  // Beside this program in bin/: Wine is given a Windows path.
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  WString exe = self;
  exe = exe.substr(0, exe.find_last_of(L"\\/") + 1) + L"kelmix.exe";
  WString command = quote(exe);
  for (const std::string& a : args) command += L" " + quote(W(a));
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  auto open = [&](const std::string& path, bool write) {
    return CreateFileW(W(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, 0, nullptr);
  };
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = open(in, false);
  startup.hStdOutput = open(out, true);
  startup.hStdError = open(err, true);
  PROCESS_INFORMATION process = {};
  if (CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                     &startup, &process)) {
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    r.code = static_cast<int>(code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  CloseHandle(startup.hStdInput);
  CloseHandle(startup.hStdOutput);
  CloseHandle(startup.hStdError);
#else
  pid_t pid = fork();
  if (pid == 0) {
    int fds[3] = {open(in.c_str(), O_RDONLY), open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                  open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
    for (int i = 0; i < 3; ++i) dup2(fds[i], i);
    std::vector<char*> argv{const_cast<char*>(KX_TEST_KELMIX)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(KX_TEST_KELMIX, argv.data());
    _exit(127);
  }
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    r.code = WEXITSTATUS(status);
  }
#endif
  r.out = read_file(out);
  r.err = read_file(err);
  for (const std::string& p : {in, out, err}) std::remove(p.c_str());
  return r;
}

// ---- Hosts that die with writes pending -------------------------------------------------
// This program again, with KX_TOOL_CHILD=width:store.

constexpr const char* kChildVariable = "KX_TOOL_CHILD";
constexpr const char* kNarrowSuffix = "\xC3\xBC";  // ü: the narrow host's name is not ASCII

// The wide core linked in, its queue thread held: v = 1, 2, 3 all pending.
int child_wide(const std::string& store) {
  on_library_load();
  kx::testing::hold_queue_threads(true);
  KXHANDLE h = KXInit(W(store).c_str());
  if (h < 0x10000) return 4;
  for (int v = 1; v <= 3; ++v) KXValue(h, W("v").c_str(), v);
  die_now();
}

// The narrow library, whose queue may perform v = 7 before the end.
int child_narrow(const std::string& store) {
  auto& kx = api<Narrow>();
  KXHANDLE h = kx.KXInit(text<char>(store + kNarrowSuffix).c_str());
  if (h < 0x10000) return 4;
  kx.KXValue(h, "v", 7);
  die_now();
}

const bool g_child = [] {
  const char* value = std::getenv(kChildVariable);
  if (!value) return false;
  std::string v(value);
  std::string width = v.substr(0, v.find(':')), store = v.substr(v.find(':') + 1);
  std::exit(width == "wide" ? child_wide(store) : child_narrow(store));
}();

// Whether the pending files' folder holds that file.
bool pending_file_exists(const std::string& file) {
  std::vector<std::string> names;
  plat::list_pending_files("", "", &names);
  return std::find(names.begin(), names.end(), file) != names.end();
}

// The columns of `kelmix pending`'s line for the store, or none.
std::vector<std::string> pending_line(const std::string& store) {
  Result r = kelmix({"pending"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.rfind("# folder: " + plat::pending_folder() + "\n", 0), 0u) << r.out;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> columns;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '\t');) columns.push_back(cell);
    if (columns.size() == 6 && columns[1] == store) return columns;
  }
  return {};
}

// A fresh store name for one test, wiped afterwards.
class KelmixTool : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& s : made) kelmix({"wipe", s});
  }
  std::string store(const std::string& stem = "kx_tool") {
    made.push_back(unique_name(stem));
    return made.back();
  }
  std::vector<std::string> made;
};

#define EXPECT_OK(r) EXPECT_EQ((r).code, 0) << (r).err

// ---- set and get ----------------------------------------------------------------------

TEST_F(KelmixTool, IntegersKeepEvery32BitValueAndRefuseTheRest) {
  std::string s = store();
  const std::pair<const char*, int32_t> good[] = {
      {"-2147483648", INT32_MIN}, {"2147483647", INT32_MAX}, {"0", 0}, {"-1", -1}, {"+7", 7}};
  for (auto [text, value] : good) {
    EXPECT_OK(kelmix({"set", s, "n", std::string("--int=") + text}));
    Stored v = stored(W(s), W("n"));
    EXPECT_EQ(v.type, 4u) << text;
    EXPECT_EQ(v.bytes, bytes_of(value)) << text;
    Result r = kelmix({"get", s, "n"});
    EXPECT_OK(r);
    EXPECT_EQ(r.out, std::to_string(value) + "\n");
  }
  // Refused before the store is opened: a fresh store is not even created.
  std::string untouched = store();
  for (const char* bad : {"2147483648", "-2147483649", "12x", "", "0x10", "1.0", " 5", "+-5"}) {
    Result r = kelmix({"set", untouched, "n", std::string("--int=") + bad});
    EXPECT_EQ(r.code, 2) << bad;
    EXPECT_NE(r.err.find("--int"), std::string::npos) << r.err;
  }
  EXPECT_FALSE(store_exists(untouched));
}

TEST_F(KelmixTool, DoublesAreStoredBitForBitAndPrintedToReadBack) {
  std::string s = store();
  struct Case {
    const char* text;
    double value;
    const char* printed;
  } cases[] = {
      {"0.1", 0.1, "0.1"},
      {"-0", -0.0, "-0"},
      {"1e308", 1e308, "1e+308"},
      {"1.7976931348623157e308", 1.7976931348623157e308, "1.7976931348623157e+308"},
      {"4.9e-324", 4.9e-324, "5e-324"},  // the least denormal
      {"2.2250738585072009e-308", 2.2250738585072009e-308, "2.225073858507201e-308"},
      {"0x1.8p1", 3.0, "3"},
      {"-inf", -HUGE_VAL, "-inf"},
  };
  for (const Case& c : cases) {
    EXPECT_OK(kelmix({"set", s, "d", std::string("--double=") + c.text}));
    Stored v = stored(W(s), W("d"));
    EXPECT_EQ(v.type, 3u) << c.text;
    EXPECT_EQ(v.bytes, bytes_of(c.value)) << c.text;
    Result r = kelmix({"get", s, "d"});
    EXPECT_OK(r);
    EXPECT_EQ(r.out, std::string(c.printed) + "\n");
  }
  EXPECT_OK(kelmix({"set", s, "d", "--double", "nan"}));
  uint64_t bits = 0;
  Stored nan = stored(W(s), W("d"));
  ASSERT_EQ(nan.bytes.size(), 8u);
  std::memcpy(&bits, nan.bytes.data(), 8);
  EXPECT_EQ(bits & 0x7FF0000000000000ull, 0x7FF0000000000000ull);
  EXPECT_NE(bits & 0x000FFFFFFFFFFFFFull, 0u);
  for (const char* bad : {"1e309", "abc", "1.5.2", "", "0x", "--1"}) {
    EXPECT_EQ(kelmix({"set", s, "x", std::string("--double=") + bad}).code, 2) << bad;
  }
}

TEST_F(KelmixTool, TextAndNamesBeyondAsciiArriveIntact) {
  std::string s = store("kx_tool_Grüße");
  const std::string text = "Grüße 𝄞 名前";
  EXPECT_OK(kelmix({"set", s, "名前", "--string", text}));
  EXPECT_OK(kelmix({"set", s, "empty", "--string", ""}));
  EXPECT_OK(kelmix({"set", s, "dash", "--string=-x"}));
  EXPECT_EQ(stored(W(s), W("名前")).bytes, units_bytes(W(text), true));
  EXPECT_EQ(stored(W(s), W("名前")).type, 1u);
  EXPECT_EQ(stored(W(s), W("empty")).bytes, units_bytes(W(""), true));
  EXPECT_EQ(kelmix({"get", s, "名前"}).out, text + "\n");
  EXPECT_EQ(kelmix({"get", s, "dash"}).out, "-x\n");
  // Store names compare as the registry compares them: letter case aside.
  std::string upper = s;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
  EXPECT_EQ(kelmix({"get", upper, "名前"}).out, text + "\n");

  Result stores = kelmix({"stores"});
  EXPECT_OK(stores);
  EXPECT_NE(("\n" + stores.out).find("\n" + s + "\n"), std::string::npos) << stores.out;
}

// ---- list, del, delpref, wipe -----------------------------------------------------------

TEST_F(KelmixTool, ListShowsEachValueAsOneRowOfThreeColumns) {
  std::string s = store();
  EXPECT_OK(kelmix({"set", s, "n", "--int", "-7"}));
  EXPECT_OK(kelmix({"set", s, "d", "--double", "0.1"}));
  EXPECT_OK(kelmix({"set", s, "t\tab", "--string", "a\tb\nc\\"}));
  write_raw(W(s), W("r"), 3, {0x0A, 0x0B, 0x0C});
  write_raw(W(s), W("u"), 1, units_bytes(W("abc"), false));
  Result r = kelmix({"list", s});
  EXPECT_OK(r);
  std::vector<std::string> rows;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(rows,
            (std::vector<std::string>{"d\tdouble\t0.1", "n\tint\t-7", "r\traw:3\t0a0b0c",
                                      "t\\tab\tstring\ta\\tb\\nc\\\\", "u\traw:1\t610062006300"}));
  // A raw value's bytes, since no export reads it as it is.
  EXPECT_EQ(kelmix({"get", s, "r"}).out, "0a0b0c\n");
}

TEST_F(KelmixTool, DeletesValuesByNameAndPrefixAndWipesStores) {
  std::string s = store();
  for (const char* name : {"a1", "a2", "ab", "b", "A3"}) {
    EXPECT_OK(kelmix({"set", s, name, "--int", "1"}));
  }
  EXPECT_OK(kelmix({"delpref", s, "a"}));
  std::vector<WString> left;
  for (const Stored& v : snapshot(W(s))) left.push_back(v.name);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<WString>{W("A3"), W("b")}));  // prefixes keep letter case
  EXPECT_OK(kelmix({"del", s, "b"}));
  Result again = kelmix({"del", s, "b"});
  EXPECT_EQ(again.code, 3);
  EXPECT_EQ(again.err, "kelmix: del: store \"" + s + "\" has no value \"b\"\n");
  EXPECT_EQ(snapshot(W(s)).size(), 1u);

  EXPECT_OK(kelmix({"wipe", s}));
  EXPECT_FALSE(store_exists(s));
  EXPECT_EQ(kelmix({"stores"}).out.find(s), std::string::npos);
  EXPECT_EQ(kelmix({"wipe", s}).code, 3);
}

// ---- Errors -----------------------------------------------------------------------------

TEST_F(KelmixTool, MissingStoresAndValuesAreErrorsNamingThem) {
  std::string missing = store();
  for (std::vector<std::string> args : {std::vector<std::string>{"get", missing, "v"},
                                        {"list", missing},
                                        {"dump", missing},
                                        {"del", missing, "v"},
                                        {"delpref", missing, "v"},
                                        {"wipe", missing}}) {
    Result r = kelmix(args);
    EXPECT_EQ(r.code, 3) << args[0];
    EXPECT_EQ(r.err, "kelmix: " + args[0] + ": store \"" + missing + "\" does not exist\n");
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(store_exists(missing));  // looked for, never created

  std::string s = store();
  EXPECT_OK(kelmix({"set", s, "x", "--int", "1"}));
  Result r = kelmix({"get", s, "y"});
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.err, "kelmix: get: store \"" + s + "\" has no value \"y\"\n");
}

TEST_F(KelmixTool, BadCommandLinesGiveUsageErrorsAndHelpSucceeds) {
  std::string s = store();
  for (std::vector<std::string> args : {std::vector<std::string>{},
                                        {"frobnicate"},
                                        {"get", s},
                                        {"set", s, "n"},
                                        {"set", s, "n", "--int", "1", "--string", "x"},
                                        {"delpref", s, ""},
                                        {"get", "a\\b", "n"},
                                        {"list", ""}}) {
    Result r = kelmix(args);
    EXPECT_EQ(r.code, 2) << (args.empty() ? "(none)" : args[0]);
    EXPECT_EQ(r.err.rfind("kelmix: ", 0), 0u) << r.err;
  }
  EXPECT_FALSE(store_exists(s));
  for (const char* command : {"stores", "list", "get", "set", "del", "delpref", "wipe", "dump",
                              "load", "export", "import", "pending", "recover"}) {
    Result r = kelmix({command, "--help"});
    EXPECT_EQ(r.code, 0) << command;
    EXPECT_NE(r.out.find(std::string("kelmix ") + command), std::string::npos) << r.out;
  }
}

// ---- dump and load ------------------------------------------------------------------------

TEST_F(KelmixTool, DumpWipeLoadLeavesEveryValueByteForByte) {
  std::string s = store();
  WString ws = W(s);
  EXPECT_OK(kelmix({"set", s, "int", "--int", "-2147483648"}));
  EXPECT_OK(kelmix({"set", s, "double", "--double", "4.9e-324"}));
  EXPECT_OK(kelmix({"set", s, "negzero", "--double", "-0"}));
  EXPECT_OK(kelmix({"set", s, "text", "--string", "Grüße 𝄞"}));
  EXPECT_OK(kelmix({"set", s, "", "--int", "5"}));  // the key's default value
  // What no export writes back as it is.
  write_raw(ws, W("bin3"), 3, {0x0A, 0x0B, 0x0C});
  write_raw(ws, W("bin0"), 3, {});
  write_raw(ws, W("unterminated"), 1, units_bytes(W("abc"), false));
  write_raw(ws, W("odd"), 1, {'a', 0, 'b'});
  write_raw(ws, W("nul"), 1, units_bytes(WString{'a', 0, 'b'}, true));
  write_raw(ws, W("lone"), 1, units_bytes(WString{'a', tchar(0xD800), 'b'}, true));
  write_raw(ws, W("dword2"), 4, {1, 2});
  write_raw(ws, W("qword"), 11, bytes_of(uint64_t{0x0102030405060708}));
  write_raw(ws, W("nan"), 3, bytes_of(uint64_t{0x7FF8000000000123}));
  write_raw(ws, W("snan"), 3, bytes_of(uint64_t{0xFFF0000000000001}));
  write_raw(ws, WString{'n', tchar(0xDC00)}, 4, bytes_of(int32_t{9}));
  const std::vector<Stored> before = snapshot(ws);
  ASSERT_EQ(before.size(), 16u);

  Result dump = kelmix({"dump", s});
  ASSERT_EQ(dump.code, 0) << dump.err;
  auto doc = nlohmann::json::parse(dump.out);
  EXPECT_EQ(doc["format"], "kelmix-dump");
  std::map<std::string, nlohmann::json> by_name;
  for (const auto& v : doc["values"]) {
    by_name[v.contains("name") ? v["name"].get<std::string>()
                               : v["name_utf16le"].get<std::string>()] = v;
  }
  EXPECT_EQ(by_name["nan"]["type"], "double");
  EXPECT_TRUE(by_name["nan"]["value"].is_null());
  EXPECT_EQ(by_name["nan"]["bits"], "7ff8000000000123");
  EXPECT_EQ(by_name["negzero"]["bits"], "8000000000000000");
  EXPECT_EQ(
      by_name["bin3"],
      (nlohmann::json{{"name", "bin3"}, {"type", "raw"}, {"reg_type", 3}, {"hex", "0a0b0c"}}));
  EXPECT_EQ(by_name["text"]["value"], "Grüße 𝄞");
  EXPECT_EQ(by_name["lone"]["type"], "raw");
  EXPECT_EQ(by_name["6e0000dc"]["type"], "int");

  std::string file = scratch_dir() + "/" + s + ".json";
  write_file(file, dump.out);
  EXPECT_OK(kelmix({"wipe", s}));
  EXPECT_FALSE(store_exists(s));
  EXPECT_OK(kelmix({"load", s, file}));
  EXPECT_EQ(snapshot(ws), before);

  // Loading replaces: a value the dump does not hold goes; from stdin too.
  EXPECT_OK(kelmix({"set", s, "extra", "--int", "1"}));
  EXPECT_OK(kelmix({"load", s, "-"}, dump.out));
  EXPECT_EQ(snapshot(ws), before);
  // Unless merging.
  EXPECT_OK(kelmix({"set", s, "extra", "--int", "1"}));
  EXPECT_OK(kelmix({"load", "--merge", s, file}));
  EXPECT_EQ(snapshot(ws).size(), before.size() + 1);
  std::remove(file.c_str());
}

TEST_F(KelmixTool, LoadRefusesWhatIsNotADumpAndChangesNothing) {
  std::string s = store();
  EXPECT_OK(kelmix({"set", s, "keep", "--int", "1"}));
  const std::vector<Stored> before = snapshot(W(s));
  const char* bad[] = {
      "not json",
      "{\"values\": 5}",
      "{\"format\": \"other\", \"values\": []}",
      "{\"values\": [{\"name\": \"x\", \"type\": \"int\", \"value\": 2147483648}]}",
      "{\"values\": [{\"name\": \"x\", \"type\": \"double\", \"bits\": \"123\"}]}",
      "{\"values\": [{\"name\": \"x\", \"type\": \"raw\", \"reg_type\": 3, \"hex\": \"0g\"}]}",
      "{\"values\": [{\"name\": \"x\", \"type\": \"float\", \"value\": 1}]}",
      "{\"values\": [{\"type\": \"int\", \"value\": 1}]}",
  };
  for (const char* input : bad) {
    Result r = kelmix({"load", s, "-"}, input);
    EXPECT_EQ(r.code, 4) << input;
    EXPECT_EQ(r.err.rfind("kelmix: load: \"-\" is not a kelmix dump: ", 0), 0u) << r.err;
  }
  EXPECT_EQ(kelmix({"load", s, scratch_dir() + "/no-such-file.json"}).code, 4);
  EXPECT_EQ(snapshot(W(s)), before);
}

// ---- export and import ----------------------------------------------------------------------

// A version 5 registry file's bytes: BOM and UTF-16LE.
std::string utf16_file(const std::string& utf8) {
  Bytes b = units_bytes(W(utf8), false);
  return "\xFF\xFE" + std::string(b.begin(), b.end());
}

TEST_F(KelmixTool, ExportThenImportLeavesEveryValueByteForByte) {
  std::string s = store(), other = store();
  WString ws = W(s);
  EXPECT_OK(kelmix({"set", s, "", "--int", "-1"}));
  EXPECT_OK(kelmix({"set", s, "int", "--int", "-2147483648"}));
  EXPECT_OK(kelmix({"set", s, "double", "--double", "4.9e-324"}));
  EXPECT_OK(kelmix({"set", s, "text", "--string", "Grüße 𝄞 \"q\" \\"}));
  EXPECT_OK(kelmix({"set", s, "empty", "--string", ""}));
  EXPECT_OK(kelmix({"set", s, "na\"me\\", "--string", "x"}));
  write_raw(ws, W("nan"), 3, bytes_of(uint64_t{0x7FF8000000000123}));
  write_raw(ws, W("snan"), 3, bytes_of(uint64_t{0xFFF0000000000001}));
  write_raw(ws, W("lines"), 1, units_bytes(W("a\r\nb"), true));
  write_raw(ws, W("unterminated"), 1, units_bytes(W("abc"), false));
  write_raw(ws, W("nul"), 1, units_bytes(WString{'a', 0, 'b'}, true));
  write_raw(ws, W("dword2"), 4, {1, 2});
  write_raw(ws, W("qword"), 11, bytes_of(uint64_t{0x0102030405060708}));
  write_raw(ws, W("bin0"), 3, {});
  write_raw(ws, W("long"), 3, Bytes(200, 0xAB));
  const std::vector<Stored> before = snapshot(ws);
  ASSERT_EQ(before.size(), 15u);

  std::string file = scratch_dir() + "/" + s + ".reg";
  EXPECT_OK(kelmix({"export", s, file}));
  EXPECT_OK(kelmix({"import", file, other}));
  EXPECT_EQ(snapshot(W(other)), before);
  // Without a store the file's key decides.
  EXPECT_OK(kelmix({"wipe", s}));
  EXPECT_OK(kelmix({"import", file}));
  EXPECT_EQ(snapshot(ws), before);
  std::remove(file.c_str());
}

TEST_F(KelmixTool, ExportWritesTheBytesRegExportWrites) {
  std::string s = store();
  // Names in order, as Wine's registry lists them sorted.
  EXPECT_OK(kelmix({"set", s, "", "--string", ""}));
  write_raw(W(s), W("b"), 3, {1, 2});
  EXPECT_OK(kelmix({"set", s, "n", "--int", "42"}));
  EXPECT_OK(kelmix({"set", s, "t", "--string", "a\"\\"}));
  write_raw(W(s), W("u"), 1, units_bytes(W("ab"), false));
  Bytes wide(30);
  for (std::size_t i = 0; i < wide.size(); ++i) wide[i] = static_cast<uint8_t>(i);
  write_raw(W(s), W("w"), 3, wide);
  Result r = kelmix({"export", s, "-"});
  EXPECT_OK(r);
  EXPECT_EQ(r.out, utf16_file("Windows Registry Editor Version 5.00\r\n\r\n"
                              "[HKEY_CURRENT_USER\\Software\\Kelmix\\" +
                              s +
                              "]\r\n"
                              "@=\"\"\r\n"
                              "\"b\"=hex:01,02\r\n"
                              "\"n\"=dword:0000002a\r\n"
                              "\"t\"=\"a\\\"\\\\\"\r\n"
                              "\"u\"=hex(1):61,00,62,00\r\n"
                              "\"w\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,"
                              "11,12,13,14,15,16,\\\r\n"
                              "  17,18,19,1a,1b,1c,1d\r\n"
                              "\r\n"));
}

TEST_F(KelmixTool, ImportReadsRegedit4ContinuationsCommentsAndDeletions) {
  std::string s = store();
  EXPECT_OK(kelmix({"set", s, "x", "--int", "1"}));
  EXPECT_OK(kelmix({"set", s, "keep", "--int", "2"}));
  std::string file = scratch_dir() + "/" + s + ".reg";
  write_file(file, "REGEDIT4\r\n\r\n; a comment\r\n[HKCU\\SOFTWARE\\kelmix\\" + s +
                       "]\r\n\"h\"=hex:01,02,\\\r\n  03\r\n\"x\"=-\r\n\"t\"=\"caf\\\\e\"\r\n");
  EXPECT_OK(kelmix({"import", file}));
  EXPECT_EQ(stored(W(s), W("h")), (Stored{W("h"), 3, {1, 2, 3}}));
  EXPECT_EQ(stored(W(s), W("t")), (Stored{W("t"), 1, units_bytes(W("caf\\e"), true)}));
  EXPECT_EQ(stored(W(s), W("x")).type, 0xFFFFFFFFu);  // deleted
  EXPECT_EQ(stored(W(s), W("keep")), (Stored{W("keep"), 4, bytes_of(int32_t{2})}));
  // A deleted key is a wiped store.
  write_file(file, utf16_file("Windows Registry Editor Version 5.00\r\n\r\n"
                              "[-HKEY_CURRENT_USER\\Software\\Kelmix\\" +
                              s + "]\r\n"));
  EXPECT_OK(kelmix({"import", file}));
  EXPECT_FALSE(store_exists(s));
  std::remove(file.c_str());
}

TEST_F(KelmixTool, ImportRefusesOtherKeysAndMalformedLinesWritingNothing) {
  std::string s = store();
  EXPECT_OK(kelmix({"set", s, "keep", "--int", "1"}));
  const std::vector<Stored> before = snapshot(W(s));
  std::string file = scratch_dir() + "/" + s + ".reg";
  std::string key = "[HKEY_CURRENT_USER\\Software\\Kelmix\\" + s + "]\r\n";
  struct Case {
    std::string body;
    std::string line, quoted;
  } cases[] = {
      {key + "\"a\"=dword:1\r\n[HKEY_CURRENT_USER\\Software\\Other]\r\n", "4",
       "HKEY_CURRENT_USER\\Software\\Other"},
      {"[HKEY_CURRENT_USER\\Software\\Kelmix\\" + s + "\\sub]\r\n", "2", s + "\\sub"},
      {key + "\"a\"=dword:1\r\n\"b\"=dword:123456789\r\n", "4", ""},
      {key + "\"a\"=hex:01,\\\r\n  0g\r\n", "4", "0g"},
      {key + "\"a\"=\"open\r\n", "3", ""},
      {key + "a=1\r\n", "3", ""},
  };
  for (const Case& c : cases) {
    write_file(file, utf16_file("Windows Registry Editor Version 5.00\r\n" + c.body));
    Result r = kelmix({"import", file});
    EXPECT_EQ(r.code, 4) << c.body;
    EXPECT_EQ(r.err.rfind("kelmix: import: " + file + ":" + c.line + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.quoted), std::string::npos) << r.err;
  }
  // Into a store given by name, only one key goes.
  write_file(file,
             utf16_file("Windows Registry Editor Version 5.00\r\n" + key + "\"a\"=dword:1\r\n" +
                        "[HKEY_CURRENT_USER\\Software\\Kelmix\\other]\r\n"));
  Result r = kelmix({"import", file, s});
  EXPECT_EQ(r.code, 4);
  EXPECT_NE(r.err.find(file + ":4: key \"HKEY_CURRENT_USER\\Software\\Kelmix\\other\""),
            std::string::npos)
      << r.err;
  EXPECT_EQ(snapshot(W(s)), before);
  std::remove(file.c_str());
}

// ---- What the registry would not keep as given -------------------------------------------

std::string reg_file(const std::string& store, const std::string& lines) {
  return utf16_file(
      "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software\\Kelmix\\" + store +
      "]\r\n" + lines);
}

// A dump with an int value per name, 1, 2, ... in order.
std::string int_dump(const std::vector<std::string>& names) {
  nlohmann::json values = nlohmann::json::array();
  for (const std::string& name : names) {
    values.push_back({{"name", name}, {"type", "int"}, {"value", values.size() + 1}});
  }
  return nlohmann::json{{"values", values}}.dump();
}

TEST_F(KelmixTool, LoadChecksNameLengthsBeforeTheStoreLosesAValue) {
  std::string s = store();
  EXPECT_OK(kelmix({"set", s, "old", "--int", "7"}));
  const std::vector<Stored> before = snapshot(W(s));
  const std::string longest(16383, 'n');
  Result r = kelmix({"load", s, "-"}, int_dump({"new", longest + "n"}));
  EXPECT_EQ(r.code, 4) << r.err.substr(0, 300);
  EXPECT_EQ(r.err.rfind("kelmix: load: \"-\" is not a kelmix dump: value 1 has a name longer", 0),
            0u)
      << r.err.substr(0, 300);
  EXPECT_EQ(snapshot(W(s)), before);
  EXPECT_OK(kelmix({"load", s, "-"}, int_dump({"new", longest})));
  EXPECT_EQ(snapshot(W(s)), (std::vector<Stored>{{W("new"), 4, bytes_of(int32_t{1})},
                                                 {W(longest), 4, bytes_of(int32_t{2})}}));
}

TEST_F(KelmixTool, AZeroUnitInANameOrTextIsRefusedRatherThanCut) {
  std::string s = store();
  EXPECT_OK(kelmix({"set", s, "a", "--int", "7"}));
  const std::vector<Stored> before = snapshot(W(s));
  for (const char* dump : {
           R"({"values": [{"name": "a\u0000x", "type": "int", "value": 1}]})",
           R"({"values": [{"name_utf16le": "610000007800", "type": "int", "value": 1}]})",
           R"({"values": [{"name": "a", "type": "string", "value": "1\u0000x"}]})",
       }) {
    Result r = kelmix({"load", s, "-"}, dump);
    EXPECT_EQ(r.code, 4) << dump;
    EXPECT_NE(r.err.find(": value 0 has "), std::string::npos) << r.err;
  }
  const std::string zero(1, '\0');
  std::string file = scratch_dir() + "/" + s + ".reg";
  for (const std::string& body : {
           reg_file(s, "\"a" + zero + "x\"=dword:00000001\r\n"),
           reg_file(s, "\"a\"=\"1" + zero + "x\"\r\n"),
           reg_file(s + zero + "x", "\"a\"=dword:00000001\r\n"),
       }) {
    write_file(file, body);
    Result r = kelmix({"import", file});
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(r.err.rfind("kelmix: import: " + file + ":", 0), 0u) << r.err;
  }
  EXPECT_EQ(snapshot(W(s)), before);
  std::remove(file.c_str());
}

TEST_F(KelmixTool, NamesDifferingInLetterCaseAreOneValueAndTheLaterWins) {
  std::string s = store();
  EXPECT_OK(kelmix({"set", s, "Mixed", "--int", "0"}));
  EXPECT_OK(kelmix({"set", s, "gone", "--int", "0"}));
  EXPECT_OK(kelmix({"load", s, "-"}, int_dump({"Äb", "mixed", "äB"})));
  // As the registry keeps them: a value keeps the name it was made with.
  EXPECT_EQ(snapshot(W(s)), (std::vector<Stored>{{W("Mixed"), 4, bytes_of(int32_t{2})},
                                                 {W("Äb"), 4, bytes_of(int32_t{3})}}));
}

TEST_F(KelmixTool, RefusalsShowALongNameCutShort) {
  std::string s = store();
  std::string clef;
  for (int i = 0; i < 8191; ++i) clef += "𝄞";
  std::string file = scratch_dir() + "/" + s + ".reg";
  write_file(file, reg_file(s, "\"n" + clef + "n\"=dword:00000001\r\n"));  // 16384 units
  Result r = kelmix({"import", file});
  EXPECT_EQ(r.code, 4);
  // Cut before the pair that would be split.
  EXPECT_EQ(r.err, "kelmix: import: " + file +
                       ":3: a value name longer than the 16383 units the registry takes: \"n" +
                       clef.substr(0, 29 * 4) + "…\" (16384 units)\n");
  EXPECT_FALSE(store_exists(s));
  std::remove(file.c_str());
}

// ---- pending and recover ----------------------------------------------------------------

TEST_F(KelmixTool, PendingListsADeadHostsFileAndRecoverCompletesIt) {
  std::string s = store();
  run_child(kChildVariable, "wide:" + s);
  std::vector<std::string> line = pending_line(s);
  ASSERT_EQ(line.size(), 6u);
  EXPECT_EQ(line[2], "3");  // records
  EXPECT_EQ(line[3], "wide");
  EXPECT_EQ(line[5], "orphaned");
  EXPECT_EQ(stored(W(s), W("v")).type, 0xFFFFFFFFu);  // none performed yet

  Result r = kelmix({"recover"});
  EXPECT_OK(r);
  EXPECT_NE(("\n" + r.out).find("\n" + s + "\trecords=3\tremoved=1\tkept=0\n"), std::string::npos)
      << r.out;
  EXPECT_EQ(stored(W(s), W("v")), (Stored{W("v"), 4, bytes_of(int32_t{3})}));
  EXPECT_FALSE(pending_file_exists(line[0]));
}

// Its name is 8-bit text (the ANSI code page on Windows): shown in UTF-8, and
// the key opened is the one the narrow library opens.
TEST_F(KelmixTool, RecoverFindsTheStoreOfANarrowHostsFile) {
  std::string base = store();
  std::string s = base + kNarrowSuffix;
  made.push_back(s);
  run_child(kChildVariable, "narrow:" + base);
  std::vector<std::string> line = pending_line(s);
  ASSERT_EQ(line.size(), 6u);
  EXPECT_EQ(line[3], "narrow");

  Result r = kelmix({"recover"});
  EXPECT_OK(r);
  EXPECT_NE(("\n" + r.out).find("\n" + s + "\t"), std::string::npos) << r.out;
  EXPECT_EQ(stored(W(s), W("v")), (Stored{W("v"), 4, bytes_of(int32_t{7})}));
  EXPECT_FALSE(pending_file_exists(line[0]));
}

TEST_F(KelmixTool, GetShowsTheValueADeadHostHadAccepted) {
  std::string s = store();
  run_child(kChildVariable, "wide:" + s);
  Result r = kelmix({"get", s, "v"});
  EXPECT_OK(r);
  EXPECT_EQ(r.out, "3\n");
}

}  // namespace
}  // namespace kx::test
