// Mutexes, events and threads on Windows: kernel objects of kernel32.
#include <windows.h>

#include <new>

#include "platform/platform.h"

namespace kx::plat {

namespace {

// Waits for a mutex; an abandoned mutex (its owner ended while holding it) is
// ours all the same.
void acquire(HANDLE mutex) {
  DWORD rc = WaitForSingleObject(mutex, INFINITE);
  (void)rc;  // WAIT_OBJECT_0 or WAIT_ABANDONED: both leave us the owner.
}

}  // namespace

struct ThreadAccess {
  Thread* thread;
  Thread::Routine routine;
  void* arg;

  static DWORD WINAPI entry(void* p) {
    ThreadAccess start = *static_cast<ThreadAccess*>(p);
    delete static_cast<ThreadAccess*>(p);
    start.thread->entered_.store(true);
    return start.routine(start.arg);
  }
};

// ---- Mutex ----

Mutex::Mutex() : handle_(CreateMutexA(nullptr, FALSE, nullptr)) {}

Mutex::~Mutex() {
  if (handle_) CloseHandle(handle_);
}

bool Mutex::ok() const { return handle_ != nullptr; }

void Mutex::lock() { acquire(handle_); }

void Mutex::unlock() { ReleaseMutex(handle_); }

// ---- NamedMutex ----

NamedMutex::~NamedMutex() {
  if (impl_) CloseHandle(impl_);
}

bool NamedMutex::open(const char* name) {
  if (impl_) return true;
  impl_ = CreateMutexA(nullptr, FALSE, name);
  return impl_ != nullptr;
}

void NamedMutex::lock() { acquire(impl_); }

void NamedMutex::unlock() { ReleaseMutex(impl_); }

// ---- Event ----

Event::Event(bool manual_reset) : handle_(CreateEventA(nullptr, manual_reset, FALSE, nullptr)) {}

Event::~Event() {
  if (handle_) CloseHandle(handle_);
}

bool Event::ok() const { return handle_ != nullptr; }

void Event::set() { SetEvent(handle_); }

void Event::reset() { ResetEvent(handle_); }

bool Event::wait(uint32_t ms) { return WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0; }

// ---- Thread ----

Thread::~Thread() {
  if (handle_) CloseHandle(handle_);
  if (release_) CloseHandle(release_);
}

// False when a thread was already started by this object or the system refuses.
bool Thread::start(Routine routine, void* arg) {
  if (started_) return false;
  release_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!release_) return false;
  auto* start = new (std::nothrow) ThreadAccess{this, routine, arg};
  if (!start) return false;
  handle_ = CreateThread(nullptr, 0, &ThreadAccess::entry, start, 0, nullptr);
  if (!handle_) {
    delete start;
    return false;
  }
  started_ = true;
  return true;
}

// False also when no thread was started.
bool Thread::wait(uint32_t ms) {
  if (!handle_) return false;
  return WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0;
}

void Thread::finish(Event& done) {
  // Signalling and waiting in one call: after the signal the thread is in
  // the system's code, never back in ours, until released.
  SignalObjectAndWait(done.handle_, release_, INFINITE, FALSE);
}

void Thread::release() {
  if (release_) SetEvent(release_);
}

void Thread::end() {
  if (!handle_ || WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0) return;
  TerminateThread(handle_, 0);
  // A terminated thread gets no loader notification, so this wait does not
  // need the loader lock; bounded all the same.
  WaitForSingleObject(handle_, 5000);
}

bool Thread::entered() const { return entered_.load(); }

void sleep_ms(uint32_t ms) { Sleep(ms); }

}  // namespace kx::plat
