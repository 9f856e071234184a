// The nineteen exports. Each holds its store for the length of the call, so a
// handle that was never given out or is already closed finds nothing and the
// export returns its failure value; no exception leaves here. Those that use
// the queue or the handed-out strings (the writes, the reads, the releases)
// hold the store's queue lock for it; the others take a reference.
#include <type_traits>

#include "kelmix.h"
#include "library/library.h"

namespace kx {
namespace {

static_assert(std::is_same<KXCHAR, tchar>::value, "the header and the build agree on text");

// Returned by every read that fails; never in any store's strings.
const tchar kEmpty[1] = {0};
// KX_T pastes its argument, so the header's macro needs one expansion first.
#define KX_T_EXPANDED(s) KX_T(s)
const tchar kVersion[] = KX_T_EXPANDED(KELMIX_VERSION_TEXT);

// Runs body on the store behind handle, or returns fail for a bad handle.
template <class R, class Body>
R with_store(KXHANDLE handle, R fail, Body body) noexcept {
  HandleMap::Ref store = acquire_store(handle);
  if (!store) return fail;
  return body(*store);
}

// The write exports record their result (a delete only a failure to queue);
// a missing name or text queues nothing. The record is built before the lock
// is taken.
template <class Make>
int write_export(KXHANDLE handle, bool args_ok, Make make, bool failures_only = false) noexcept {
  if (!args_ok) {
    HandleMap::Held store(store_map(), handle);
    if (!store) return kErrInvalidHandle;
    store->set_error(kErrInvalidParameter);
    return kErrInvalidParameter;
  }
  KXRECORD record = make();
  HandleMap::Held store(store_map(), handle);
  if (!store) return kErrInvalidHandle;
  int32_t rc = store->push(std::move(record));
  if (rc != kOk || !failures_only) store->set_error(rc);
  return rc;
}

}  // namespace
}  // namespace kx

using kx::KXDATA;
using Held = kx::HandleMap::Held;

extern "C" {

KX_API KXHANDLE KX_CALL KXInit(const KXCHAR* name) { return kx::open_store(name); }

KX_API int KX_CALL KXClose(KXHANDLE store) { return kx::close_store(store); }

KX_API int KX_CALL KXString(KXHANDLE store, const KXCHAR* name, const KXCHAR* text) {
  return kx::write_export(store, name && text, [&] { return kx::make_string_record(name, text); });
}

KX_API int KX_CALL KXValue(KXHANDLE store, const KXCHAR* name, int value) {
  return kx::write_export(store, name != nullptr,
                          [&] { return kx::make_value_record(name, value); });
}

KX_API int KX_CALL KXDouble(KXHANDLE store, const KXCHAR* name, double value) {
  return kx::write_export(store, name != nullptr,
                          [&] { return kx::make_double_record(name, value); });
}

KX_API int KX_CALL KXDel(KXHANDLE store, const KXCHAR* name) {
  return kx::write_export(
      store, name != nullptr, [&] { return kx::make_record(name, kx::TYPE_DELETE); }, true);
}

KX_API const KXCHAR* KX_CALL KXGetString(KXHANDLE store, const KXCHAR* name) {
  Held s(kx::store_map(), store);
  if (!s) return kx::kEmpty;
  kx::tchar* text = nullptr;
  int32_t rc = name ? s->read_string(name, &text) : kx::kErrInvalidParameter;
  s->set_error(rc);
  return rc == kx::kOk ? text : kx::kEmpty;
}

KX_API int KX_CALL KXGetValue(KXHANDLE store, const KXCHAR* name) {
  Held s(kx::store_map(), store);
  if (!s) return 0;
  int32_t value = 0;
  int32_t rc = name ? s->read_value(name, &value) : kx::kErrInvalidParameter;
  s->set_error(rc);
  return rc == kx::kOk ? value : 0;
}

KX_API double KX_CALL KXGetDouble(KXHANDLE store, const KXCHAR* name) {
  Held s(kx::store_map(), store);
  if (!s) return 0.0;
  double value = 0.0;
  int32_t rc = name ? s->read_double(name, &value) : kx::kErrInvalidParameter;
  s->set_error(rc);
  return rc == kx::kOk ? value : 0.0;
}

KX_API int KX_CALL KXExists(KXHANDLE store, const KXCHAR* name) {
  Held s(kx::store_map(), store);
  if (!s || !name) return -1;
  int32_t value;
  int32_t rc = s->read_value(name, &value);
  return rc == kx::kOk ? 1 : rc == kx::kErrFileNotFound ? 0 : -1;
}

KX_API int KX_CALL KXCount(KXHANDLE store) {
  return kx::with_store(store, -kx::kErrInvalidHandle, [](KXDATA& s) { return s.count(); });
}

KX_API const KXCHAR* KX_CALL KXGetKey(KXHANDLE store, int index) {
  Held s(kx::store_map(), store);
  if (!s) return kx::kEmpty;
  kx::tchar* name = nullptr;
  return s->get_key(static_cast<uint32_t>(index), &name) == kx::kOk ? name : kx::kEmpty;
}

KX_API int KX_CALL KXDelPref(KXHANDLE store, const KXCHAR* prefix) {
  return kx::with_store(store, kx::kErrInvalidHandle, [&](KXDATA& s) {
    return prefix ? s.delete_prefix(prefix) : kx::kErrInvalidParameter;
  });
}

KX_API int KX_CALL KXError(KXHANDLE store) {
  return kx::with_store(store, kx::kErrInvalidHandle, [](KXDATA& s) { return s.last_error(); });
}

KX_API int KX_CALL KXRelease(KXHANDLE store) {
  Held s(kx::store_map(), store);
  if (!s) return kx::kErrInvalidHandle;
  s->release_all();
  s->set_error(kx::kOk);
  return kx::kOk;
}

KX_API int KX_CALL KXReleaseOne(KXHANDLE store, const KXCHAR* str) {
  Held s(kx::store_map(), store);
  if (!s) return -1;
  return s->release_one(str);
}

KX_API int KX_CALL KXWipe(const KXCHAR* name) { return kx::wipe_store(name); }

KX_API const KXCHAR* KX_CALL KXVersion(void) { return kx::kVersion; }

KX_API KXINT64 KX_CALL UnixTime(void) {
  kx::plat::SystemTime now;
  kx::plat::get_system_time(&now);
  now.milliseconds = 0;
  uint64_t now_count = 0;
  kx::plat::system_time_to_file_time(now, &now_count);
  kx::plat::SystemTime epoch = {};
  epoch.year = 1970;
  epoch.month = 1;
  epoch.day = 1;
  uint64_t epoch_count = 0;  // 116444736000000000
  kx::plat::system_time_to_file_time(epoch, &epoch_count);
  return static_cast<int64_t>(now_count - epoch_count) / 10000000;
}

}  // extern "C"
