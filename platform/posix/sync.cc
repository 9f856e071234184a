// Mutexes, events and threads from pthreads; the named mutex adds a lock file.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#endif

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace kx::plat {

namespace {

// A recursive mutex that survives a thread ending while it holds it: the next
// locker gets it, as with an abandoned Windows mutex. False on failure.
bool init_owner_mutex(pthread_mutex_t* mu) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  bool ok = pthread_mutex_init(mu, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return ok;
}

// Locks; true when the previous owner ended while holding it.
bool lock_owner_mutex(pthread_mutex_t* mu) {
  int rc = pthread_mutex_lock(mu);
  if (rc == EOWNERDEAD) {
    pthread_mutex_consistent(mu);
    return true;
  }
  return false;
}

timespec deadline_after(uint32_t ms) {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += ms / 1000;
  t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

// Where the lock files live: beside the data they guard, in the registry's
// own folder, so every process of the user that sees the same stores and
// pending files takes the same lock, whatever its runtime folder (a desktop
// session and a cron job have different ones, or none).
std::string lock_dir() {
  std::string config = posix::private_config_dir();
  if (config.empty()) return {};
  std::string dir = config + "/locks";
  return posix::private_dir(dir) ? dir : std::string();
}

// The lock file's name: the mutex name with every character a file name may
// not hold, and a leading '.', as '_'. Empty when it would be too long.
std::string lock_file_name(const char* name) {
  std::string out;
  for (const char* p = name; *p; ++p) out += file_name_char(*p) ? *p : '_';
  if (out[0] == '.') out[0] = '_';
  out += ".lock";
  return safe_file_name(out.c_str()) ? out : std::string();
}

// The state of a NamedMutex: flock on its own open file excludes other
// processes and the other NamedMutex objects of this one (each library has
// its own); the recursive mutex excludes the other threads and counts depth.
struct NamedLock {
  int fd = -1;
  pthread_mutex_t mu;
  std::atomic<pthread_t> owner{};  // meaningful while depth > 0
  uint32_t depth = 0;              // guarded by mu
  std::string path;                // reopened by a forked child
  NamedLock* next = nullptr;       // in g_named_locks
};

// Every open NamedLock, for fork: a child must not share the parent's open
// file description, on which flock would make the two one owner.
pthread_mutex_t g_named_locks_mu = PTHREAD_MUTEX_INITIALIZER;
NamedLock* g_named_locks = nullptr;  // guarded by g_named_locks_mu

void list_named(NamedLock* state) {
  pthread_mutex_lock(&g_named_locks_mu);
  state->next = g_named_locks;
  g_named_locks = state;
  pthread_mutex_unlock(&g_named_locks_mu);
}

void unlist_named(NamedLock* state) {
  pthread_mutex_lock(&g_named_locks_mu);
  for (NamedLock** p = &g_named_locks; *p; p = &(*p)->next) {
    if (*p == state) {
      *p = state->next;
      break;
    }
  }
  pthread_mutex_unlock(&g_named_locks_mu);
}

void flock_retrying(int fd, int op) {
  while (flock(fd, op) != 0 && errno == EINTR) {
  }
}

// The named locks the calling thread holds. A thread that ends holding one
// releases it at its exit, as Windows hands an abandoned mutex to the next
// waiter at once: otherwise other processes would wait for the whole
// process to end. The list is plain thread-local data, and a pthread key's
// destructor does the releasing: a thread_local with a destructor would keep
// the library from unloading.
struct HeldNamedLocks {
  NamedLock* held[8];
  void add(NamedLock* state) {
    for (NamedLock*& slot : held) {
      if (!slot) {
        slot = state;
        return;
      }
    }
  }
  void remove(NamedLock* state) {
    for (NamedLock*& slot : held) {
      if (slot == state) slot = nullptr;
    }
  }
};
thread_local HeldNamedLocks t_held;

pthread_key_t g_exit_key;
bool g_exit_key_made = false;
pthread_once_t g_exit_key_once = PTHREAD_ONCE_INIT;

void release_held_at_exit(void*) {
  for (NamedLock*& state : t_held.held) {
    if (!state) continue;
    uint32_t depth = state->depth;
    state->depth = 0;
    state->owner = pthread_t{};
    if (state->fd >= 0) flock_retrying(state->fd, LOCK_UN);
    while (depth-- > 0) pthread_mutex_unlock(&state->mu);
    state = nullptr;
  }
}

void make_exit_key() {
  g_exit_key_made = pthread_key_create(&g_exit_key, release_held_at_exit) == 0;
}

// Has the calling thread's exit release what it still holds.
void release_at_exit() {
  pthread_once(&g_exit_key_once, make_exit_key);
  if (g_exit_key_made && !pthread_getspecific(g_exit_key)) {
    pthread_setspecific(g_exit_key, &t_held);
  }
}

struct ThreadStart {
  Thread::Routine routine;
  void* arg;
};

void* thread_entry(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  start.routine(start.arg);
  return nullptr;
}

}  // namespace

namespace posix {
// No thread's exit may call into the library once it is unloaded.
void release_sync() {
  if (g_exit_key_made) pthread_key_delete(g_exit_key);
  g_exit_key_made = false;
}

// Only the list is taken: a lock's own mutex may be held by a thread that
// waits for another process, and the child makes every lock afresh anyway.
void fork_prepare_named_mutexes() { pthread_mutex_lock(&g_named_locks_mu); }

void fork_parent_named_mutexes() { pthread_mutex_unlock(&g_named_locks_mu); }

// Each lock free, on a file description of the child's own: on the inherited
// one, flock would make parent and child one owner. Closing the inherited
// descriptor leaves the parent's lock alone (the parent still has the
// description open). When the file cannot be opened again the lock works
// within the process only.
void fork_child_named_mutexes() {
  pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
  g_named_locks_mu = fresh;
  for (NamedLock* state = g_named_locks; state; state = state->next) {
    init_owner_mutex(&state->mu);
    state->depth = 0;
    state->owner = pthread_t{};
    if (state->fd >= 0) close(state->fd);
    state->fd = ::open(state->path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  }
  t_held = HeldNamedLocks{};
}
}  // namespace posix

// ---- Mutex ----

#if defined(__linux__)
void Mutex::wait() {
  // errno is left as found, as pthread_mutex_lock leaves it.
  int saved_errno = errno;
  // A holder is mostly out within a few hundred cycles (a record queued, a
  // value copied): worth a short spin before a system call.
  for (int spins = 0; spins < 100; ++spins) {
    int seen = state_.load(std::memory_order_relaxed);
    if (seen == 0 && state_.compare_exchange_weak(seen, 1, std::memory_order_acquire)) return;
    if (seen == 2) break;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  // Marked as waited for, so that the holder's unlock wakes a sleeper.
  while (state_.exchange(2, std::memory_order_acquire) != 0) {
    syscall(SYS_futex, reinterpret_cast<int*>(&state_), FUTEX_WAIT_PRIVATE, 2, nullptr, nullptr, 0);
  }
  errno = saved_errno;
}

void Mutex::wake() {
  int saved_errno = errno;
  syscall(SYS_futex, reinterpret_cast<int*>(&state_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  errno = saved_errno;
}
#endif

// ---- NamedMutex ----

NamedMutex::~NamedMutex() {
  auto* state = static_cast<NamedLock*>(impl_);
  if (!state) return;
  unlist_named(state);
  if (state->fd >= 0) close(state->fd);  // drops the file lock too
  pthread_mutex_destroy(&state->mu);
  delete state;
}

// False when the lock folder is missing or unsafe, the name is too long for
// a file, the file cannot be opened or memory runs out.
bool NamedMutex::open(const char* name) {
  if (impl_) return true;
  if (!name || !*name) return false;
  std::string path;
  try {
    std::string dir = lock_dir();
    std::string file = lock_file_name(name);
    if (dir.empty() || file.empty()) return false;
    path = dir + "/" + file;
  } catch (const std::bad_alloc&) {
    return false;
  }
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  auto* state = new (std::nothrow) NamedLock;
  if (!state) {
    close(fd);
    return false;
  }
  state->fd = fd;
  try {
    state->path = path;
  } catch (const std::bad_alloc&) {
    close(fd);
    delete state;
    return false;
  }
  if (!init_owner_mutex(&state->mu)) {
    close(fd);
    delete state;
    return false;
  }
  impl_ = state;
  list_named(state);
  return true;
}

// Waits without limit, for other threads and then other processes or the other
// library. A process that dies holding the lock releases it.
void NamedMutex::lock() {
  auto* state = static_cast<NamedLock*>(impl_);
  if (!state) return;
  if (lock_owner_mutex(&state->mu) && state->depth > 0) {
    // Our thread that held it ended; the file lock is still ours.
    state->depth = 0;
  }
  if (state->depth++ == 0) {
    if (state->fd >= 0) flock_retrying(state->fd, LOCK_EX);
    state->owner = pthread_self();
    t_held.add(state);
    release_at_exit();
  }
}

// Does nothing unless the calling thread holds the mutex.
void NamedMutex::unlock() {
  auto* state = static_cast<NamedLock*>(impl_);
  if (!state) return;
  // Only the owner reads depth; another thread sees an owner that is not itself.
  if (!pthread_equal(state->owner.load(), pthread_self())) return;
  if (--state->depth == 0) {
    state->owner = pthread_t{};
    if (state->fd >= 0) flock_retrying(state->fd, LOCK_UN);
    t_held.remove(state);
  }
  pthread_mutex_unlock(&state->mu);
}

// ---- Event ----

Event::Event(bool manual_reset) : manual_(manual_reset) {
  pthread_condattr_t attr;
  if (pthread_condattr_init(&attr) != 0) return;
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  bool cv_ok = pthread_cond_init(&cv_, &attr) == 0;
  pthread_condattr_destroy(&attr);
  if (!cv_ok) return;
  if (pthread_mutex_init(&mu_, nullptr) != 0) {
    pthread_cond_destroy(&cv_);
    return;
  }
  ok_ = true;
}

Event::~Event() {
  if (!ok_) return;
  pthread_cond_destroy(&cv_);
  pthread_mutex_destroy(&mu_);
}

bool Event::ok() const { return ok_; }

void Event::set() {
  pthread_mutex_lock(&mu_);
  signalled_ = true;
  if (manual_) {
    pthread_cond_broadcast(&cv_);
  } else {
    pthread_cond_signal(&cv_);
  }
  pthread_mutex_unlock(&mu_);
}

void Event::reset_after_fork() {
  if (!ok_) return;
  pthread_mutex_init(&mu_, nullptr);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&cv_, &attr);
  pthread_condattr_destroy(&attr);
  signalled_ = false;
}

// An auto-reset event is reset by the wait that sees it signalled.
bool Event::wait(uint32_t ms) {
  pthread_mutex_lock(&mu_);
  timespec deadline = deadline_after(ms == kInfinite ? 0 : ms);
  while (!signalled_) {
    if (ms == kInfinite) {
      pthread_cond_wait(&cv_, &mu_);
    } else if (pthread_cond_timedwait(&cv_, &mu_, &deadline) == ETIMEDOUT) {
      break;
    }
  }
  bool got = signalled_;
  if (got && !manual_) signalled_ = false;
  pthread_mutex_unlock(&mu_);
  return got;
}

// ---- Thread ----

Thread::~Thread() {
  if (started_ && !joined_) pthread_detach(thread_);
}

// False when this object already started a thread or the system refuses. No
// pin: closing and unloading join.
bool Thread::start(Routine routine, void* arg, void*) {
  if (started_) return false;
  auto* start = new (std::nothrow) ThreadStart{routine, arg};
  if (!start) return false;
  if (pthread_create(&thread_, nullptr, thread_entry, start) != 0) {
    delete start;
    return false;
  }
  started_ = true;
  return true;
}

// Joins the thread once it ended; false also when no thread was started.
bool Thread::wait(uint32_t ms) {
  if (!started_) return false;
  if (joined_) return true;
  int rc;
  // The join calls that thread checkers know, so the thread's last writes
  // are seen to happen before whatever the joiner does next.
  if (ms == kInfinite) {
    rc = pthread_join(thread_, nullptr);
  } else if (ms == 0) {
    rc = pthread_tryjoin_np(thread_, nullptr);
  } else {
    timespec deadline = deadline_after(ms);
    rc = pthread_clockjoin_np(thread_, nullptr, CLOCK_MONOTONIC, &deadline);
  }
  if (rc != 0) return false;
  joined_ = true;
  return true;
}

// Closing and the unload hook join here, so a finished thread just returns.
void Thread::finish(Event& done) { done.set(); }

// A started thread always gets into its routine here: it drains for itself.
bool Thread::cancel() { return false; }

void Thread::let_go() { wait(kInfinite); }

void Thread::forget_after_fork() {
  started_ = false;
  joined_ = false;
  thread_ = pthread_t{};
}

void* pin_library() { return nullptr; }

void unpin_library(void*) {}

bool process_exiting() { return false; }

namespace {

// In lock order: the named mutexes' list, the library's locks, the registry.
void fork_prepare() {
  posix::fork_prepare_named_mutexes();
  on_fork_prepare();
  posix::fork_prepare_registry();
}

void fork_parent() {
  posix::fork_parent_registry();
  on_fork_parent();
  posix::fork_parent_named_mutexes();
}

void fork_child() {
  posix::fork_child_registry();
  posix::fork_child_named_mutexes();
  on_fork_child();
}

pthread_once_t g_forks_once = PTHREAD_ONCE_INIT;

void register_fork_handlers() { pthread_atfork(fork_prepare, fork_parent, fork_child); }

}  // namespace

// Registered for this shared object, so the handlers go when it is unloaded
// and a later load registers its own (its once flag is fresh then).
void watch_forks() { pthread_once(&g_forks_once, register_fork_handlers); }

void sleep_ms(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace kx::plat
