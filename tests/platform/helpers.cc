#include "tests/platform/helpers.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tests/support/test_env.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace kx::test {

namespace {

constexpr char kRoleArgVariable[] = "KX_PLATFORM_ROLE_ARG";

#if defined(KX_WIDE)
constexpr char kSelf[] = "platform_test_w";
constexpr char kOther[] = "platform_test_a";
#else
constexpr char kSelf[] = "platform_test_a";
constexpr char kOther[] = "platform_test_w";
#endif

#if !defined(_WIN32)
std::string utf8(std::u16string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}
#endif

// The folder this program lives in, with a trailing separator.
std::string program_dir() {
#if defined(_WIN32)
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path, n);
  return s.substr(0, s.find_last_of("\\/") + 1);
#else
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  std::string s(path, n > 0 ? static_cast<size_t>(n) : 0);
  return s.substr(0, s.find_last_of('/') + 1);
#endif
}

}  // namespace

std::optional<std::string> narrow(std::u16string_view s) {
#if defined(_WIN32)
  if (s.empty()) return std::string();
  BOOL used_default = FALSE;
  int n =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, reinterpret_cast<const wchar_t*>(s.data()),
                          static_cast<int>(s.size()), nullptr, 0, nullptr, &used_default);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, reinterpret_cast<const wchar_t*>(s.data()),
                      static_cast<int>(s.size()), out.data(), n, nullptr, &used_default);
  if (used_default) return std::nullopt;
  return out;
#else
  return utf8(s);
#endif
}

std::optional<tstring> text(std::u16string_view s) {
#if defined(KX_WIDE)
  return tstring(s.begin(), s.end());
#else
  return narrow(s);
#endif
}

tstring ascii(std::string_view s) { return tstring(s.begin(), s.end()); }

TestKey::TestKey(const std::string& stem) {
  path = "Software\\Kelmix\\PlatformTest\\" + unique_name(stem);
  plat::reg_create_key_a(plat::current_user(), path.c_str(), &key);
}

TestKey::~TestKey() {
  if (key) plat::reg_close_key(key);
  delete_tree(plat::current_user(), ascii(path));
}

void delete_tree(plat::Key key, const tstring& sub_key) {
  plat::Key k = nullptr;
  // There is no open call in the build's width; creating opens an existing key.
  if (plat::reg_create_key(key, sub_key.c_str(), &k) != kOk) return;
  for (const tstring& child : subkey_names(k)) delete_tree(k, child);
  plat::reg_close_key(k);
  plat::reg_delete_key(key, sub_key.c_str());
}

Value query(plat::Key key, const tchar* name) {
  Value v{0, 0, {}};
  uint32_t size = 0;
  v.rc = plat::reg_query_value(key, name, &v.type, nullptr, &size);
  if (v.rc != kOk) return v;
  v.bytes.assign(size, '\x5A');
  v.rc = plat::reg_query_value(key, name, &v.type, v.bytes.data(), &size);
  v.bytes.resize(size);
  return v;
}

int32_t set_dword(plat::Key key, const tchar* name, uint32_t v) {
  return plat::reg_set_value(key, name, kRegDword, &v, sizeof v);
}

uint32_t get_dword(plat::Key key, const tchar* name) {
  uint32_t v = 0, size = sizeof v, type = 0;
  if (plat::reg_query_value(key, name, &type, &v, &size) != kOk || type != kRegDword) return ~0u;
  return v;
}

namespace {

template <class Enum>
std::vector<tstring> names(plat::Key key, Enum enumerate) {
  std::vector<tstring> out;
  for (uint32_t i = 0;; ++i) {
    tchar buf[1024];
    uint32_t len = 1024;
    if (enumerate(key, i, buf, &len) != kOk) break;
    out.emplace_back(buf, len);
  }
  return out;
}

}  // namespace

std::vector<tstring> value_names(plat::Key key) { return names(key, plat::reg_enum_value); }
std::vector<tstring> subkey_names(plat::Key key) { return names(key, plat::reg_enum_key); }

std::string role_arg() {
  const char* v = std::getenv(kRoleArgVariable);
  return v ? v : "";
}

ChildProcess::~ChildProcess() {
  kill();
  wait();
}

#if defined(_WIN32)

bool ChildProcess::start(const std::string& role, const std::string& arg, bool other_width) {
  std::string program = program_dir() + (other_width ? kOther : kSelf) + ".exe";
  if (GetFileAttributesA(program.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  std::string cmd = "\"" + program +
                    "\" --gtest_also_run_disabled_tests --gtest_filter=ChildRole.DISABLED_" + role;
  SetEnvironmentVariableA(kRoleArgVariable, arg.c_str());
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  BOOL ok =
      CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
  SetEnvironmentVariableA(kRoleArgVariable, nullptr);
  if (!ok) return false;
  CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  return true;
}

int ChildProcess::wait() {
  if (!process_) return -1;
  WaitForSingleObject(process_, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  CloseHandle(process_);
  process_ = nullptr;
  return static_cast<int>(code);
}

void ChildProcess::kill() {
  if (process_) TerminateProcess(process_, 99);
}

#else

bool ChildProcess::start(const std::string& role, const std::string& arg, bool other_width) {
  std::string program = program_dir() + (other_width ? kOther : kSelf);
  if (access(program.c_str(), X_OK) != 0) return false;
  std::string filter = "--gtest_filter=ChildRole.DISABLED_" + role;
  std::string also = "--gtest_also_run_disabled_tests";
  char* argv[] = {program.data(), also.data(), filter.data(), nullptr};
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, kRoleArgVariable, sizeof kRoleArgVariable - 1) != 0)
      env_strings.push_back(*e);
  }
  env_strings.push_back(std::string(kRoleArgVariable) + "=" + arg);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return false;
  pid_ = pid;
  return true;
}

int ChildProcess::wait() {
  if (pid_ < 0) return -1;
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void ChildProcess::kill() {
  if (pid_ >= 0) ::kill(pid_, SIGKILL);
}

#endif

}  // namespace kx::test
