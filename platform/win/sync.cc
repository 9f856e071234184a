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

// What a queue thread shares with its Thread object. Heap memory of its own,
// so a thread that enters after its store is gone still finds it; the last of
// the two to let go frees it.
struct Control {
  enum : LONG { kStarting, kEntered, kCancelled };
  std::atomic<LONG> state{kStarting};
  std::atomic<LONG> refs{2};
  Thread::Routine routine;
  void* arg;
  HANDLE release;                     // manual-reset: a finished thread may leave
  std::atomic<HMODULE> pin{nullptr};  // the library, held loaded for the leaving thread

  static Control* make(Thread::Routine routine, void* arg) {
    void* block = HeapAlloc(GetProcessHeap(), 0, sizeof(Control));
    if (!block) return nullptr;
    auto* c = new (block) Control;
    c->routine = routine;
    c->arg = arg;
    c->release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!c->release) {
      HeapFree(GetProcessHeap(), 0, block);
      return nullptr;
    }
    return c;
  }

  void unref() {
    if (refs.fetch_sub(1) != 1) return;
    CloseHandle(release);
    this->~Control();
    HeapFree(GetProcessHeap(), 0, this);
  }

  // The library reference the leaving thread will drop; one is enough.
  void adopt_pin(void* p) {
    HMODULE expected = nullptr;
    if (p && !pin.compare_exchange_strong(expected, static_cast<HMODULE>(p))) unpin_library(p);
  }

  static DWORD WINAPI entry(void* p) {
    auto* c = static_cast<Control*>(p);
    // The first act, settled against cancel(): a cancelled thread runs none
    // of the store's code.
    LONG expected = kStarting;
    if (c->state.compare_exchange_strong(expected, kEntered)) c->routine(c->arg);
    HMODULE pin = c->pin.load();
    c->unref();
    // Leaving through the system, the library stays loaded until this
    // thread is out of it.
    if (pin) FreeLibraryAndExitThread(pin, 0);
    return 0;
  }
};

// ---- Mutex ----

static_assert(sizeof(CRITICAL_SECTION) == sizeof(Mutex), "the mutex is one CRITICAL_SECTION");

namespace {
CRITICAL_SECTION* cs_of(void* storage) { return static_cast<CRITICAL_SECTION*>(storage); }
}  // namespace

// Without debug information the section allocates nothing, so making one
// cannot fail.
Mutex::Mutex() { InitializeCriticalSectionEx(cs_of(cs_), 0, CRITICAL_SECTION_NO_DEBUG_INFO); }

Mutex::~Mutex() { DeleteCriticalSection(cs_of(cs_)); }

void Mutex::lock() { EnterCriticalSection(cs_of(cs_)); }

void Mutex::unlock() { LeaveCriticalSection(cs_of(cs_)); }

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
  if (control_) control_->unref();
}

// False when a thread was already started by this object or the system refuses.
bool Thread::start(Routine routine, void* arg) {
  if (started_) return false;
  Control* control = Control::make(routine, arg);
  if (!control) return false;
  handle_ = CreateThread(nullptr, 0, &Control::entry, control, 0, nullptr);
  if (!handle_) {
    control->refs.store(1);
    control->unref();
    return false;
  }
  control_ = control;
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
  // the system's code, never back in the store's, until let go.
  SignalObjectAndWait(done.handle_, control_->release, INFINITE, FALSE);
}

bool Thread::cancel(void* pin) {
  if (!control_) {
    unpin_library(pin);
    return false;
  }
  // The pin first: a cancelled thread may enter at any moment and leave.
  control_->adopt_pin(pin);
  LONG expected = Control::kStarting;
  return control_->state.compare_exchange_strong(expected, Control::kCancelled) ||
         expected == Control::kCancelled;
}

void Thread::let_go(void* pin) {
  if (!control_ || WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0) {
    // Ended by the system meanwhile: nobody leaves through a pin.
    if (control_) unpin_library(control_->pin.exchange(nullptr));
    unpin_library(pin);
    return;
  }
  control_->adopt_pin(pin);
  SetEvent(control_->release);
  // Without a pin the thread would return into a library that may be
  // unloaded: then it is waited for, as the only safe way left.
  if (!control_->pin.load()) wait(kInfinite);
}

void Thread::end(Event& drained) {
  if (!handle_ || WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0) return;
  LONG expected = Control::kStarting;
  if (!control_->state.compare_exchange_strong(expected, Control::kCancelled) &&
      expected == Control::kEntered) {
    // Inside: its drain first, unless the system ended it.
    while (!drained.wait(100) && !wait(0)) {
    }
  }
  // At the loader's door or in finish(): no library code runs there.
  if (!TerminateThread(handle_, 0)) return;
  // A terminated thread gets no loader notification, so this wait does not
  // need the loader lock; bounded all the same.
  WaitForSingleObject(handle_, 5000);
  control_->unref();  // the ended thread's share
}

void sleep_ms(uint32_t ms) { Sleep(ms); }

void* pin_library() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&pin_library), &module)) {
    return nullptr;
  }
  return module;
}

void unpin_library(void* pin) {
  if (pin) FreeLibrary(static_cast<HMODULE>(pin));
}

bool process_exiting() {
  // Looked up each time: a lock guarding a cached copy might be held by a
  // thread that exiting has ended.
  using Query = BOOLEAN(NTAPI*)();
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlDllShutdownInProgress")));
  return query && query() != 0;
}

}  // namespace kx::plat
