#include "tools/kelmix/store_access.h"

#include <set>

#include "library/admin.h"

namespace kx::cli {

namespace {

bool is_signaling_nan(uint64_t bits) {
  return (bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull &&
         (bits & 0x000FFFFFFFFFFFFFull) != 0 && (bits & 0x0008000000000000ull) == 0;
}

}  // namespace

void Session::close() {
  int rc = KXClose(handle_);
  handle_ = 0;
  if (rc != kOk) fail(kExitFailed, "closing store " + shown(name_) + " failed: " + error_text(rc));
}

void Session::open() {
  KXHANDLE h = KXInit(name_.c_str());
  if (h < 0x10000) {
    fail(kExitFailed, "cannot open store " + shown(name_) + ": " +
                          (h == 0 ? std::string("out of memory") : error_text(h)));
  }
  handle_ = h;
}

void require_store(const WStr& store) {
  bool exists = false;
  int32_t rc = store_exists(store, &exists);
  if (rc != kOk) fail(kExitFailed, "cannot read the list of stores: " + error_text(rc));
  if (!exists) fail(kExitNotFound, "store " + shown(store) + " does not exist");
}

void open_key(const WStr& store, plat::ScopedKey* key) {
  int32_t rc = admin::open_completed(store.c_str(), false, key, nullptr);
  if (rc != kOk) fail(kExitFailed, "cannot open store " + shown(store) + ": " + error_text(rc));
}

RawValue read_existing(plat::Key key, const WStr& store, const WStr& name) {
  RawValue v;
  int32_t rc = query_value(key, name, &v);
  if (rc == kErrFileNotFound) {
    fail(kExitNotFound, "store " + shown(store) + " has no value " + shown(name));
  }
  if (rc != kOk) {
    fail(kExitFailed,
         "cannot read value " + shown(name) + " of store " + shown(store) + ": " + error_text(rc));
  }
  return v;
}

std::vector<WStr> names_of(const Session& session, const WStr& store) {
  int count = KXCount(session.get());
  if (count < 0) {
    fail(kExitFailed,
         "cannot count the values of store " + shown(store) + ": " + error_text(-count));
  }
  std::vector<WStr> names;
  for (int i = 0; i < count; ++i) {
    const KXCHAR* p = KXGetKey(session.get(), i);
    names.push_back(p ? WStr(p) : WStr());
    KXReleaseOne(session.get(), p);
  }
  return names;
}

std::vector<NamedValue> read_store(const WStr& store) {
  require_store(store);
  Session session(store);
  plat::ScopedKey key;
  open_key(store, &key);
  std::vector<NamedValue> values;
  for (WStr& name : names_of(session, store)) {
    RawValue v;
    int32_t rc = query_value(key.get(), name, &v);
    if (rc == kErrFileNotFound) continue;  // deleted meanwhile by another writer
    if (rc != kOk) {
      fail(kExitFailed, "cannot read value " + shown(name) + " of store " + shown(store) + ": " +
                            error_text(rc));
    }
    values.push_back({std::move(name), std::move(v)});
  }
  session.close();
  return values;
}

void write_changes(const WStr& store, const std::vector<Change>& changes) {
  Session session(store);
  plat::ScopedKey key;
  open_key(store, &key);
  bool queued = false;
  for (const Change& c : changes) {
    const NamedValue& nv = c.value;
    const RawValue& v = nv.value;
    Kind kind = classify(v);
    // A signalling NaN may come back quiet from a call through the x87 stack.
    if (kind == Kind::kDouble && is_signaling_nan(bits_of(v))) kind = Kind::kRaw;
    KXHANDLE h = session.get();
    int32_t rc = kOk;
    if (c.erase) {
      rc = KXDel(h, nv.name.c_str());
    } else {
      switch (kind) {
        case Kind::kInt:
          rc = KXValue(h, nv.name.c_str(), int_of(v));
          break;
        case Kind::kDouble:
          rc = KXDouble(h, nv.name.c_str(), double_of(v));
          break;
        case Kind::kString:
          rc = KXString(h, nv.name.c_str(), text_of(v).c_str());
          break;
        case Kind::kRaw:
          // Queued writes first, so the values reach the registry in file order.
          if (queued) session.flush();
          rc = write_raw(key.get(), nv.name, v);
          break;
      }
    }
    // After a raw write nothing is queued: the flush before it wrote the rest.
    queued = c.erase || kind != Kind::kRaw;
    if (rc != kOk) {
      fail(kExitFailed, std::string(c.erase ? "cannot delete value " : "cannot write value ") +
                            shown(nv.name) + (c.erase ? " of store " : " to store ") +
                            shown(store) + ": " + error_text(rc));
    }
  }
  session.close();
  // The queue thread does not report the registry's answers: compare. A name
  // given again later, in any letter case, was meant to be replaced.
  std::vector<bool> replaced(changes.size());
  std::set<WStr, NameLess> later;
  for (std::size_t i = changes.size(); i-- > 0;)
    replaced[i] = !later.insert(changes[i].value.name).second;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const Change& c = changes[i];
    if (replaced[i]) continue;
    RawValue now;
    int32_t rc = query_value(key.get(), c.value.name, &now);
    bool kept =
        c.erase ? rc == kErrFileNotFound
                : rc == kOk && now.type == c.value.value.type && now.bytes == c.value.value.bytes;
    if (!kept) {
      fail(kExitFailed, "the registry did not keep value " + shown(c.value.name) + " of store " +
                            shown(store) + (c.erase ? " deleted" : " as written"));
    }
  }
}

}  // namespace kx::cli
