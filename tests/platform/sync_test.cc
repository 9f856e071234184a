// Mutexes, events and threads: exclusion, re-entrancy and the waits, within a
// process and across processes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "tests/platform/helpers.h"
#include "tests/support/test_env.h"

// These cases take and let go of the primitives in shapes the library never
// does (re-entrantly, across helpers, held on at the end): the analysis is
// for the library's use of them.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

namespace kx::test {
namespace {

using plat::kInfinite;

// Locks m on another thread and records when it got it.
template <class M>
struct Locker {
  M* mu;
  plat::Event trying{true};
  std::atomic<bool> acquired{false};

  static uint32_t run(void* p) {
    auto* self = static_cast<Locker*>(p);
    self->trying.set();
    self->mu->lock();
    self->acquired = true;
    self->mu->unlock();
    return 0;
  }
};

// While the calling thread holds mu, another thread trying to lock it waits,
// and gets it once the caller lets go.
template <class M>
void expect_excludes_other_thread(M& mu, M& other_view) {
  Locker<M> locker{&other_view};
  plat::Thread t;
  ASSERT_TRUE(t.start(Locker<M>::run, &locker));
  ASSERT_TRUE(locker.trying.wait(kInfinite));
  plat::sleep_ms(200);
  EXPECT_FALSE(locker.acquired.load());
  EXPECT_FALSE(t.wait(0));
  mu.unlock();
  EXPECT_TRUE(t.wait(kInfinite));
  EXPECT_TRUE(locker.acquired.load());
}

TEST(Mutex, ExcludesOtherThreads) {
  plat::Mutex mu;
  mu.lock();
  expect_excludes_other_thread(mu, mu);
}

// Contended: threads that find it held sleep and are woken, and no increment
// is lost to two holders at once.
TEST(Mutex, CountsExactlyUnderContention) {
  struct Shared {
    plat::Mutex mu;
    long count = 0;
    static uint32_t run(void* p) {
      auto* self = static_cast<Shared*>(p);
      for (int i = 0; i < 100000; ++i) {
        plat::Lock<plat::Mutex> lock(self->mu);
        ++self->count;
      }
      return 0;
    }
  } shared;
  plat::Thread threads[4];
  for (auto& t : threads) ASSERT_TRUE(t.start(Shared::run, &shared));
  for (auto& t : threads) ASSERT_TRUE(t.wait(kInfinite));
  EXPECT_EQ(shared.count, 400000);
}

std::string mutex_name() { return unique_name("KelmixTestMutex"); }

TEST(NamedMutex, IsReentrantAndExcludesOtherThreads) {
  plat::NamedMutex mu;
  ASSERT_TRUE(mu.open(mutex_name().c_str()));
  mu.lock();
  mu.lock();
  mu.unlock();
  expect_excludes_other_thread(mu, mu);
}

// Each loaded library opens the mutex for itself: two objects of one name
// exclude each other like one.
TEST(NamedMutex, TwoOpeningsOfOneNameExcludeEachOther) {
  std::string name = mutex_name();
  plat::NamedMutex first, second;
  ASSERT_TRUE(first.open(name.c_str()));
  ASSERT_TRUE(second.open(name.c_str()));
  first.lock();
  expect_excludes_other_thread(first, second);
  // Other names are other mutexes.
  plat::NamedMutex unrelated;
  ASSERT_TRUE(unrelated.open(mutex_name().c_str()));
  first.lock();
  Locker<plat::NamedMutex> locker{&unrelated};
  plat::Thread t;
  ASSERT_TRUE(t.start(Locker<plat::NamedMutex>::run, &locker));
  EXPECT_TRUE(t.wait(kInfinite));
  first.unlock();
}

// The child's progress, reported through the registry.
enum ChildState : uint32_t { kWaiting = 1, kHolding = 2, kDone = 3 };

TEST(NamedMutex, ExcludesAnotherProcessUntilReleased) {
  TestKey state("MutexState");
  std::string name = mutex_name();
  plat::NamedMutex mu;
  ASSERT_TRUE(mu.open(name.c_str()));
  mu.lock();
  ChildProcess child;
  ASSERT_TRUE(child.start("MutexWaiter", state.path + "|" + name));
  tstring value = ascii("state");
  ASSERT_TRUE(eventually([&] { return get_dword(state.key, value.c_str()) == kWaiting; }));
  plat::sleep_ms(300);
  EXPECT_EQ(get_dword(state.key, value.c_str()), kWaiting);
  mu.unlock();
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(get_dword(state.key, value.c_str()), kDone);
}

uint32_t lock_named(void* p) {
  static_cast<plat::NamedMutex*>(p)->lock();
  return 0;
}

TEST(NamedMutex, AKilledOwnerProcessReleasesIt) {
  TestKey state("MutexState");
  std::string name = mutex_name();
  ChildProcess child;
  ASSERT_TRUE(child.start("MutexHolder", state.path + "|" + name));
  tstring value = ascii("state");
  ASSERT_TRUE(eventually([&] { return get_dword(state.key, value.c_str()) == kHolding; }));
  plat::NamedMutex mu;
  ASSERT_TRUE(mu.open(name.c_str()));
  plat::Thread t;
  ASSERT_TRUE(t.start(lock_named, &mu));
  plat::sleep_ms(200);
  EXPECT_FALSE(t.wait(0));  // the child still holds it
  child.kill();
  child.wait();
  ASSERT_TRUE(t.wait(kInfinite));
  // The thread that got it has ended; a thread that ends holding a Windows
  // mutex abandons it, so this thread gets it too.
  mu.lock();
  mu.unlock();
}

// As with a Windows mutex, a thread that ends holding it abandons it: another
// process waiting gets it at once, not when this process ends.
TEST(NamedMutex, AThreadEndingWhileHoldingItReleasesItToOtherProcesses) {
  TestKey state("MutexState");
  std::string name = mutex_name();
  plat::NamedMutex mu;
  ASSERT_TRUE(mu.open(name.c_str()));
  plat::Thread t;
  ASSERT_TRUE(t.start(lock_named, &mu));
  ASSERT_TRUE(t.wait(kInfinite));
  ChildProcess child;
  ASSERT_TRUE(child.start("MutexWaiter", state.path + "|" + name));
  tstring value = ascii("state");
  bool done = false;
  for (int i = 0; i < 600 && !done; ++i) {  // a minute: only a stuck waiter takes that long
    done = get_dword(state.key, value.c_str()) == kDone;
    if (!done) plat::sleep_ms(100);
  }
  EXPECT_TRUE(done);
  if (!done) child.kill();
  child.wait();
}

// Child roles: role_arg() is "<state key path>|<mutex name>".
struct RoleArgs {
  plat::Key key = nullptr;
  std::string mutex;
  RoleArgs() {
    std::string arg = role_arg();
    size_t bar = arg.find('|');
    plat::reg_open_key_a(plat::current_user(), arg.substr(0, bar).c_str(), &key);
    mutex = arg.substr(bar + 1);
  }
  ~RoleArgs() { plat::reg_close_key(key); }
};

TEST(ChildRole, DISABLED_MutexWaiter) {
  RoleArgs args;
  ASSERT_NE(args.key, nullptr);
  plat::NamedMutex mu;
  ASSERT_TRUE(mu.open(args.mutex.c_str()));
  tstring value = ascii("state");
  ASSERT_EQ(set_dword(args.key, value.c_str(), kWaiting), kOk);
  mu.lock();
  set_dword(args.key, value.c_str(), kDone);
  mu.unlock();
}

TEST(ChildRole, DISABLED_MutexHolder) {
  RoleArgs args;
  ASSERT_NE(args.key, nullptr);
  plat::NamedMutex mu;
  ASSERT_TRUE(mu.open(args.mutex.c_str()));
  mu.lock();
  set_dword(args.key, ascii("state").c_str(), kHolding);
  for (;;) plat::sleep_ms(1000);  // until killed
}

// ---- Events ----

TEST(Event, AutoResetWakesOneWaitAtATime) {
  plat::Event e(false);
  ASSERT_TRUE(e.ok());
  EXPECT_FALSE(e.wait(0));
  e.set();
  e.set();
  EXPECT_TRUE(e.wait(0));
  EXPECT_FALSE(e.wait(0));
}

TEST(Event, ManualResetStaysSignalled) {
  plat::Event e(true);
  ASSERT_TRUE(e.ok());
  e.set();
  EXPECT_TRUE(e.wait(0));
  EXPECT_TRUE(e.wait(kInfinite));
}

TEST(Event, TimedWaitLastsAtLeastItsTime) {
  plat::Event e(false);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(e.wait(100));
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start)
                .count();
  EXPECT_GE(ms, 80);  // timer granularity allows a little early
}

struct Ping {
  plat::Event go{false};
  plat::Event done{true};
  int value = 0;
};

uint32_t wait_then_answer(void* p) {
  auto* ping = static_cast<Ping*>(p);
  if (!ping->go.wait(kInfinite)) return 1;
  ping->value = 42;
  ping->done.set();
  return 0;
}

TEST(Event, SetWakesAThreadWaitingWithoutLimit) {
  Ping ping;
  plat::Thread t;
  ASSERT_TRUE(t.start(wait_then_answer, &ping));
  EXPECT_FALSE(ping.done.wait(50));
  EXPECT_FALSE(t.wait(0));
  ping.go.set();
  EXPECT_TRUE(ping.done.wait(kInfinite));
  EXPECT_TRUE(t.wait(kInfinite));
  EXPECT_TRUE(t.wait(0));  // stays ended
  EXPECT_EQ(ping.value, 42);
}

// ---- Threads ----

TEST(Thread, StartsOnceAndWaitsForItsEnd) {
  plat::Thread never;
  EXPECT_FALSE(never.started());
  EXPECT_FALSE(never.wait(0));

  Ping ping;
  plat::Thread t;
  ASSERT_TRUE(t.start(wait_then_answer, &ping));
  EXPECT_TRUE(t.started());
  EXPECT_FALSE(t.start(wait_then_answer, &ping));
  EXPECT_FALSE(t.wait(20));
  ping.go.set();
  EXPECT_TRUE(t.wait(kInfinite));
  EXPECT_EQ(ping.value, 42);
}

uint32_t quick(void*) { return 0; }

TEST(Thread, DestroyingLeavesTheThreadRunning) {
  Ping ping;
  {
    plat::Thread t;
    ASSERT_TRUE(t.start(wait_then_answer, &ping));
  }
  ping.go.set();
  EXPECT_TRUE(ping.done.wait(kInfinite));
  EXPECT_EQ(ping.value, 42);
  plat::Thread ended;
  ASSERT_TRUE(ended.start(quick, nullptr));
  // Destroyed after the thread ended, never waited for.
}

}  // namespace
}  // namespace kx::test
