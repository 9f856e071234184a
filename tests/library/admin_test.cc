// The tool's door into the library (library/admin.h).
#include "library/admin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "library/library.h"
#include "tests/support/test_env.h"

namespace kx {
namespace {

// Completing a store's pending files shuts out every other opening, in any
// process: it waits for "KelmixHandlesMutex" held elsewhere and opens only
// once that holder has let go.
TEST(Admin, OpenCompletedWaitsForTheHandlesMutex) {
  admin::LibraryScope library;
  std::string stem = test::unique_name("admin-wait");
  std::basic_string<tchar> name(stem.begin(), stem.end());
  plat::NamedMutex handles;  // another holder: a mutex of its own, as another process has
  ASSERT_TRUE(handles.open(kHandlesMutexName));
  handles.lock();
  std::atomic<bool> let_go{false};
  int32_t rc = -1;
  bool opened_after = false;
  std::thread opener([&] {
    plat::ScopedKey key;
    rc = admin::open_completed(name.c_str(), true, &key, nullptr);
    opened_after = let_go.load();
  });
  plat::sleep_ms(200);  // the opener has long reached the mutex
  let_go = true;
  handles.unlock();
  opener.join();
  EXPECT_EQ(rc, kOk);
  EXPECT_TRUE(opened_after);
  EXPECT_EQ(wipe_store(name.c_str()), kOk);
}

}  // namespace
}  // namespace kx
