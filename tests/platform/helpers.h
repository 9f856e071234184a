// Helpers of the platform tests: the build's text, registry shortcuts and
// starting this test program (or the other width's) as a child process.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kx::test {

using tstring = std::basic_string<tchar>;

// s as 8-bit text of the system code page (UTF-8 on POSIX); nullopt when the
// code page cannot hold it.
std::optional<std::string> narrow(std::u16string_view s);
// s in the build's tchar.
std::optional<tstring> text(std::u16string_view s);
// An ASCII string in the build's tchar.
tstring ascii(std::string_view s);

// A fresh key under HKCU\Software\Kelmix\PlatformTest with a unique name.
struct TestKey {
  explicit TestKey(const std::string& stem);
  ~TestKey();
  std::string path;  // below HKCU
  plat::Key key = nullptr;
};

// Deletes key\sub_key with everything below it.
void delete_tree(plat::Key key, const tstring& sub_key);

struct Value {
  int32_t rc;
  uint32_t type;
  std::string bytes;
};
// The type and exact bytes of a value, asked for in two steps as callers do.
Value query(plat::Key key, const tchar* name);
int32_t set_dword(plat::Key key, const tchar* name, uint32_t v);
// The DWORD value, or ~0u when missing.
uint32_t get_dword(plat::Key key, const tchar* name);
std::vector<tstring> value_names(plat::Key key);
std::vector<tstring> subkey_names(plat::Key key);

// Waits until pred() holds, polling; false after a generous limit.
template <class Pred>
bool eventually(Pred pred) {
  for (int i = 0; i < 6000; ++i) {  // 10 minutes: a slow machine must not fail a test
    if (pred()) return true;
    plat::sleep_ms(100);
  }
  return false;
}

// Another process running some tests of this program (or of the other width's
// program). It sees the same registry and lock folder; role_arg is handed to it
// in the environment variable KX_PLATFORM_ROLE_ARG.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Runs the disabled test ChildRole.DISABLED_<role>; other_width picks the
  // sibling program. False when it cannot be started or does not exist.
  bool start(const std::string& role, const std::string& role_arg, bool other_width = false);
  // The exit code; waits without limit.
  int wait();
  void kill();

 private:
#if defined(_WIN32)
  void* process_ = nullptr;
#else
  int pid_ = -1;
#endif
};

// The argument a child was started with; empty in a normal run.
std::string role_arg();

}  // namespace kx::test
