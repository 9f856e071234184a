#include "library/admin.h"

#include <cstring>
#include <new>

#include "library/library.h"
#include "store/journal_format.h"
#include "store/recovery.h"

namespace kx::admin {

const char* const kProductKey = kx::kProductKey;

LibraryScope::LibraryScope() { on_library_load(); }

LibraryScope::~LibraryScope() { on_library_unload(false); }

namespace {

// As long as a write waits for another program's write lock.
constexpr uint32_t kLockWaitMs = 5000;

// Runs fn(exclusive) under the handles lock.
template <typename Fn>
void under_handles_lock(Fn&& fn) {
  with_handles_lock([](void* context, bool exclusive) { (*static_cast<Fn*>(context))(exclusive); },
                    &fn);
}

bool ends_with(const std::string& s, const char* suffix) {
  std::size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

}  // namespace

int32_t open_completed(const tchar* name, bool create, plat::ScopedKey* key,
                       Completed* done) noexcept {
  int32_t rc = kOk;
  under_handles_lock([&](bool exclusive) {
    rc = open_store_key(name, create, key);
    if (rc != kOk) return;
    // The whole wait under the lock, unlike an opening's turns: the tool opens
    // one store at a time.
    recovery::Outcome outcome = recovery::recover(name, key->get(), kLockWaitMs, exclusive);
    if (done) *done = {outcome.files, outcome.records, outcome.kept};
    rc = outcome.error;
  });
  return rc;
}

int32_t survey_pending(std::vector<PendingFile>* files) noexcept {
  files->clear();
  std::vector<recovery::FileInfo> found;
  int32_t rc = kOk;
  under_handles_lock([&](bool) { rc = recovery::survey(&found); });
  if (rc != kOk) return rc;
  try {
    for (recovery::FileInfo& f : found) {
      PendingFile p;
      p.owner_alive = f.owner_alive;
      p.damaged = f.damaged;
      // A file being made or set aside is never replayed, nor is one
      // without a header.
      p.completable = !f.owner_alive && f.unit_bytes != 0 && ends_with(f.file, journal::kSuffix);
      p.file = std::move(f.file);
      p.pid = f.pid;
      p.unit_bytes = f.unit_bytes;
      p.name_bytes = std::move(f.name_bytes);
      p.pending = f.pending;
      files->push_back(std::move(p));
    }
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  return kOk;
}

}  // namespace kx::admin
