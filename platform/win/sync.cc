// Mutexes, events and threads on Windows: kernel objects of kernel32.
#include <windows.h>

#include "platform/platform.h"

namespace kx::plat {

namespace {

// Waits for a mutex; an abandoned mutex (its owner ended while holding it) is
// ours all the same.
void acquire(HANDLE mutex) {
  DWORD rc = WaitForSingleObject(mutex, INFINITE);
  (void)rc;  // WAIT_OBJECT_0 or WAIT_ABANDONED: both leave us the owner.
}

struct ThreadStart {
  Thread::Routine routine;
  void* arg;
};

DWORD WINAPI thread_entry(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  return start.routine(start.arg);
}

}  // namespace

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
}

// False when a thread was already started by this object or the system refuses.
bool Thread::start(Routine routine, void* arg) {
  if (started_) return false;
  auto* start = new ThreadStart{routine, arg};
  handle_ = CreateThread(nullptr, 0, thread_entry, start, 0, nullptr);
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

void sleep_ms(uint32_t ms) { Sleep(ms); }

}  // namespace kx::plat
