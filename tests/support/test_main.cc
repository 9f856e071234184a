// Test entry point. On POSIX every test program gets a private registry and
// runtime folder, so runs never disturb the user's stores or each other.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/support/test_env.h"

#if !defined(_WIN32)
#include <ftw.h>
#include <unistd.h>
#endif

namespace kx::test {

namespace {
std::string g_scratch;
}

const std::string& scratch_dir() { return g_scratch; }

}  // namespace kx::test

#if !defined(_WIN32)
static int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
#if defined(_WIN32)
  const char* tmp = std::getenv("TEMP");
  kx::test::g_scratch = tmp ? tmp : ".";
  return RUN_ALL_TESTS();
#else
  // A child process started by a test inherits its parent's folders.
  const char* inherited = std::getenv("KX_TEST_SCRATCH");
  bool owner = inherited == nullptr;
  if (owner) {
    std::string tmpl = "/tmp/kelmix-test-XXXXXX";
    if (!mkdtemp(tmpl.data())) return 2;
    kx::test::g_scratch = tmpl;
    setenv("KX_TEST_SCRATCH", tmpl.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (tmpl + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", tmpl.c_str(), 1);
  } else {
    kx::test::g_scratch = inherited;
  }
  int rc = RUN_ALL_TESTS();
  if (owner && std::getenv("KX_TEST_KEEP") == nullptr) {
    nftw(kx::test::g_scratch.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
  }
  return rc;
#endif
}
