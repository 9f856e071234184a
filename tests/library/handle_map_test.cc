// The handle map alone, with made-up stores: handles never small, never
// reused for another store, and retiring waits for the calls that hold one.
#include "library/handle_map.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace kx {
namespace {

// A store at a made-up address, never looked at.
KXDATA* const kFake = reinterpret_cast<KXDATA*>(0x1000);
KXDATA* fake_store(plat::Mutex&) { return kFake; }

TEST(Handles, NeverSmallAndNeverReusedSoon) {
  HandleMap map;
  int32_t first = map.insert(fake_store);
  EXPECT_GE(first, 0x10000);
  EXPECT_TRUE(map.acquire(first));
  EXPECT_EQ(map.retire(first), kFake);
  EXPECT_EQ(map.retire(first), nullptr);  // once only
  map.release(first);
  EXPECT_FALSE(map.acquire(first));
  // Every entry used once more: the old handle still finds nothing.
  std::vector<int32_t> handles;
  for (uint32_t i = 0; i < HandleMap::kCapacity; ++i) {
    int32_t h = map.insert(fake_store);
    ASSERT_GE(h, 0x10000);
    ASSERT_NE(h, first);
    handles.push_back(h);
  }
  EXPECT_EQ(map.insert(fake_store), 0);  // full
  EXPECT_FALSE(map.acquire(first));
  EXPECT_FALSE(HandleMap::Held(map, first));  // its entry's lock now belongs to a later store
  EXPECT_FALSE(map.acquire(0));
  EXPECT_FALSE(map.acquire(-5));
  EXPECT_FALSE(map.acquire(2));
}

// Retires a handle and waits for its calls, on a thread of its own.
class Closer {
 public:
  Closer(HandleMap& map, int32_t h)
      : thread_([this, &map, h] {
          map.retire(h);
          map.wait_for_calls(h);
          done_ = true;
        }) {}
  ~Closer() { join(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  bool done() const { return done_.load(); }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST(Handles, RetiringWaitsForCallsInFlight) {
  HandleMap map;
  int32_t h = map.insert(fake_store);
  auto ref = std::make_unique<HandleMap::Ref>(map.acquire(h));
  Closer closer(map, h);
  plat::sleep_ms(50);
  EXPECT_FALSE(closer.done());
  EXPECT_FALSE(map.acquire(h));  // no new call gets in meanwhile
  ref.reset();
  closer.join();
  EXPECT_TRUE(closer.done());
}

TEST(Handles, RetiringWaitsForACallHoldingTheQueueLock) {
  HandleMap map;
  int32_t h = map.insert(fake_store);
  auto held = std::make_unique<HandleMap::Held>(map, h);
  ASSERT_TRUE(*held);
  EXPECT_EQ(&**held, kFake);
  Closer closer(map, h);
  plat::sleep_ms(50);
  EXPECT_FALSE(closer.done());
  held.reset();
  closer.join();
  EXPECT_TRUE(closer.done());
  EXPECT_FALSE(HandleMap::Held(map, h));
  EXPECT_FALSE(HandleMap::Held(map, h + 1));  // another entry, never given out
}

}  // namespace
}  // namespace kx
