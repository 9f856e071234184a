// Mutexes, events and threads on Windows: kernel objects of kernel32.
#include <windows.h>

#include <new>

#include "platform/platform.h"

namespace kx::plat {

namespace {

// A thread's stack reservation: registry calls, the heap and waits, all
// shallow, with room to spare.
constexpr SIZE_T kStackBytes = 256 * 1024;

// Waits for a mutex; an abandoned mutex (its owner ended while holding it) is
// ours all the same.
void acquire(HANDLE mutex) {
  DWORD rc = WaitForSingleObject(mutex, INFINITE);
  (void)rc;  // WAIT_OBJECT_0 or WAIT_ABANDONED: both leave us the owner.
}

}  // namespace

// What a thread shares with its Thread object. Heap memory of its own, so a
// thread that enters after its store is gone still finds it; the last of the
// two to let go frees it.
struct Control {
  enum : LONG { kStarting, kEntered, kCancelled };
  std::atomic<LONG> state{kStarting};
  std::atomic<LONG> refs{2};
  Thread::Routine routine;
  void* arg;
  HMODULE pin;  // the library, held loaded while the thread lives; may be null

  static Control* make(Thread::Routine routine, void* arg, void* pin) {
    void* block = HeapAlloc(GetProcessHeap(), 0, sizeof(Control));
    if (!block) return nullptr;
    auto* c = new (block) Control;
    c->routine = routine;
    c->arg = arg;
    c->pin = static_cast<HMODULE>(pin);
    return c;
  }

  void unref() {
    if (refs.fetch_sub(1) != 1) return;
    this->~Control();
    HeapFree(GetProcessHeap(), 0, this);
  }

  static DWORD WINAPI entry(void* p) {
    auto* c = static_cast<Control*>(p);
    // The first act, settled against cancel(): a cancelled thread runs none
    // of the store's code.
    LONG expected = kStarting;
    if (c->state.compare_exchange_strong(expected, kEntered)) c->routine(c->arg);
    HMODULE pin = c->pin;
    c->unref();
    // Leaving through the system: the library stays loaded until this thread
    // is out of it, even when the host has freed it meanwhile. The last
    // reference going here runs the unload hook on this thread.
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

// Windows has no fork.
void Event::reset_after_fork() {}

void Event::set() { SetEvent(handle_); }

bool Event::wait(uint32_t ms) { return WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0; }

// ---- Thread ----

Thread::~Thread() {
  if (handle_) CloseHandle(handle_);
  if (control_) control_->unref();
}

bool Thread::start(Routine routine, void* arg, void* pin) {
  if (started_) return false;
  Control* control = Control::make(routine, arg, pin);
  if (!control) return false;
  // A host may open hundreds of stores, each with its thread: the program's
  // default reservation (megabytes) would take a 32-bit host's address space.
  handle_ = CreateThread(nullptr, kStackBytes, &Control::entry, control,
                         STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (!handle_) {
    control->pin = nullptr;  // still the caller's
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

void Thread::finish(Event& done) { SetEvent(done.handle_); }

void Thread::forget_after_fork() {}

bool Thread::cancel() {
  if (!control_) return false;
  LONG expected = Control::kStarting;
  return control_->state.compare_exchange_strong(expected, Control::kCancelled) ||
         expected == Control::kCancelled;
}

// The thread leaves through its pin; nothing waits for it, since its exit
// needs the loader lock a closing host may hold.
void Thread::let_go() {}

void sleep_ms(uint32_t ms) { Sleep(ms); }

// Windows has no fork.
void watch_forks() {}

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
