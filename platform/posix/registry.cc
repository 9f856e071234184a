// The registry stand-in: HKEY_CURRENT_USER kept in an SQLite database at
// $XDG_CONFIG_HOME/kelmix/registry.db (default ~/.config/kelmix/registry.db),
// shared by every process of the user and by both builds of the library.
//
// Keys are rows with a never-reused id; a handle holds the id, so a handle whose
// key was deleted (here or in another process) finds no row and reports
// kErrKeyDeleted. Names keep the case they were created with and are looked up
// by their folded form; sub-keys are listed in folded order and values in the
// order they were created, as Windows lists them. REG_SZ,
// REG_EXPAND_SZ and REG_MULTI_SZ data are held as UTF-16; the narrow build
// converts from and to UTF-8 like the A functions of Windows.
//
// Reads of an open key are answered from a copy of it in memory while the
// registry is known not to have changed since the copy was loaded: every
// commit of every process numbers itself in the change sequence
// (change_sequence.h), and a copy is tagged with the number it was loaded
// at. Another program's commits number nothing: they are found once a second
// and at every key opened (data_version, and the file's identity), and drop
// every copy.
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/change_sequence.h"
#include "platform/posix/internal.h"
#include "platform/posix/key_cache.h"
#include "platform/posix/open_keys.h"
#include "platform/posix/registry_connection.h"
#include "platform/posix/registry_file.h"
#include "platform/posix/registry_text.h"
#include "platform/posix/sqlite.h"
#include "platform/posix/turnstile.h"
#include "platform/posix/unicode.h"
#include "platform/registry_fault.h"

namespace kx::plat {

namespace {

using posix::CacheTag;
using posix::ChangeSequence;
using posix::CommitMark;
using posix::data_version;
using posix::flock_within;
using posix::fold;
using posix::folded_key;
using posix::FoldedName;
using posix::forget_statements;
using posix::from_units;
using posix::g_root;
using posix::guarded;
using posix::kBusyPollMs;
using posix::kBusyTimeoutMs;
using posix::kErrRegistryIoFailed;
using posix::kOpeningWaitMs;
using posix::kRootId;
using posix::kTurnPollMs;
using posix::open_database;
using posix::open_turnstile;
using posix::OpenKeys;
using posix::Path;
using posix::Patience;
using posix::Registry;
using posix::registry_dir;
using posix::release_statements;
using posix::split_path;
using posix::split_path_a;
using posix::split_path_t;
using posix::SqlError;
using posix::Stmt;
using posix::stored_to_text;
using posix::t_batch_open;
using posix::Text;
using posix::text_to_stored;
using posix::to_units;
using posix::to_win32_error;
using posix::Transaction;
using posix::TurnstileHold;
using posix::units_of;
using posix::utf16_to_utf8;
using posix::utf8_to_utf16;

constexpr int32_t kErrNoAccess = 998;  // ERROR_NOACCESS: data null with a size

constexpr size_t kMaxValueNameUnits = 16383;

bool is_string_type(uint32_t type) {
  return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

// ---- Keys ----

bool key_exists(sqlite3* db, int64_t id) {
  return Stmt(db, "SELECT 1 FROM keys WHERE id = ?").bind(1, id).step();
}

// The child of parent with that name, or 0.
int64_t find_child(sqlite3* db, int64_t parent, std::u16string_view name) {
  std::string f = folded_key(name);
  Stmt s(db, "SELECT id FROM keys WHERE parent = ? AND folded = ?");
  s.bind(1, parent).bind(2, f.data(), f.size());
  return s.step() ? s.int_at(0) : 0;
}

// Resolves path below start into *id (0 when missing); kErrKeyDeleted when
// start itself is gone. With found, *id is instead the deepest key of the
// path that exists and *found how many components lead to it.
int32_t resolve(sqlite3* db, int64_t start, const Path& path, int64_t* id,
                size_t* found = nullptr) {
  if (!key_exists(db, start)) return kErrKeyDeleted;
  int64_t current = start;
  size_t depth = 0;
  for (; depth < path.size(); ++depth) {
    int64_t child = find_child(db, current, path[depth]);
    if (!child) break;
    current = child;
  }
  if (found) {
    *found = depth;
  } else if (depth < path.size()) {
    current = 0;
  }
  *id = current;
  return kOk;
}

int32_t create_key(Key parent, const Path& path, Key* out) {
  Registry& reg = Registry::get();
  int64_t start = reg.id_of(parent);
  if (!start) return kErrInvalidHandle;
  reg.look_for_others_now();
  int64_t id = 0;
  // An existing key is found with a read, which no other process's writer
  // holds up; only a missing one needs the write lock.
  int32_t rc = reg.run(false, [&](sqlite3* db) { return resolve(db, start, path, &id); });
  if (rc == kOk && id) {
    *out = reg.add_handle(id);
    return kOk;
  }
  if (rc != kOk) return rc;
  rc = reg.run_in_turn([&](sqlite3* db) {
    size_t found = 0;
    int32_t r = resolve(db, start, path, &id, &found);
    if (r != kOk) return r;
    for (; found < path.size(); ++found) {
      std::string f = folded_key(path[found]);
      Stmt insert(db, "INSERT INTO keys(parent, name, folded) VALUES(?, ?, ?)");
      insert.bind(1, id).bind(2, path[found]).bind(3, f.data(), f.size()).step();
      id = sqlite3_last_insert_rowid(db);
    }
    return kOk;
  });
  if (rc == kOk) *out = reg.add_handle(id);
  return rc;
}

int32_t open_key(Key parent, const Path& path, Key* out) {
  Registry& reg = Registry::get();
  int64_t start = reg.id_of(parent);
  if (!start) return kErrInvalidHandle;
  reg.look_for_others_now();
  int64_t id = 0;
  int32_t rc = reg.run(false, [&](sqlite3* db) {
    int32_t r = resolve(db, start, path, &id);
    if (r == kOk && !id) r = kErrFileNotFound;
    return r;
  });
  if (rc == kOk) *out = reg.add_handle(id);
  return rc;
}

// ---- Values ----

std::u16string value_name(const tchar* name) { return to_units(name); }

// The name of a value or sub-key as the caller's enumeration reports it:
// copied with a terminator when it fits, kErrMoreData (and *len untouched)
// otherwise.
int32_t copy_text(const Text& text, tchar* out, uint32_t* len) {
  if (text.size() >= *len) return kErrMoreData;
  std::memcpy(out, text.data(), text.size() * sizeof(tchar));
  out[text.size()] = 0;
  *len = static_cast<uint32_t>(text.size());
  return kOk;
}

int32_t copy_name(const std::u16string& name, tchar* out, uint32_t* len) {
  return copy_text(from_units(name), out, len);
}

// A value found, as RegQueryValueEx reports it: strings that fit with room
// to spare get a terminator after them when they lack one, as on Windows.
int32_t answer_query(uint32_t found_type, std::string_view found, uint32_t* type, void* data,
                     uint32_t* bytes) {
  if (type) *type = found_type;
  if (!bytes) return kOk;
  uint32_t capacity = *bytes;
  *bytes = static_cast<uint32_t>(found.size());
  if (!data) return kOk;
  if (found.size() > capacity) return kErrMoreData;
  // An integer or a double, most reads, without a call to memcpy.
  if (found.size() == 4) {
    std::memcpy(data, found.data(), 4);
  } else if (found.size() == 8) {
    std::memcpy(data, found.data(), 8);
  } else {
    std::memcpy(data, found.data(), found.size());
  }
  if (is_string_type(found_type) && found.size() + sizeof(tchar) <= capacity &&
      found.size() >= sizeof(tchar)) {
    auto* t = reinterpret_cast<tchar*>(static_cast<char*>(data) + found.size()) - 1;
    if (t[0]) t[1] = 0;
  }
  return kOk;
}

// The name of the value at index in listing order. Asking for the index
// after the last one asked (or the same again) starts from where that one
// was found, so listing a key costs the same at every index. For keys no
// copy is kept of.
int32_t value_at(sqlite3* db, Registry::Cursor& c, int64_t id, uint32_t index,
                 std::u16string* found) {
  if (!key_exists(db, id)) return kErrKeyDeleted;  // also fixes the snapshot
  int64_t version = data_version(db);
  int64_t changes = sqlite3_total_changes64(db);
  bool resume = c.key == id && c.data_version == version && c.changes == changes &&
                (index == c.index || (c.index != UINT32_MAX && index == c.index + 1));
  Stmt s(db, resume ? "SELECT name, pos FROM vals WHERE key = ? AND pos >= ? ORDER BY pos LIMIT 1"
                    : "SELECT name, pos FROM vals WHERE key = ? ORDER BY pos LIMIT 1 OFFSET ?");
  s.bind(1, id).bind(2, resume ? c.pos + (index == c.index ? 0 : 1) : static_cast<int64_t>(index));
  if (!s.step()) return kErrNoMoreItems;
  *found = units_of(s.bytes_at(0));
  c = Registry::Cursor{id, index, s.int_at(1), version, changes};
  return kOk;
}

int32_t enum_keys(Key key, uint32_t index, tchar* name, uint32_t* name_len) {
  if (!name || !name_len) return kErrInvalidParameter;
  Registry& reg = Registry::get();
  int64_t id = reg.id_of(key);
  if (!id) return kErrInvalidHandle;
  std::u16string found;
  int32_t rc = reg.run(false, [&](sqlite3* db) {
    if (!key_exists(db, id)) return kErrKeyDeleted;
    Stmt s(db, "SELECT name FROM keys WHERE parent = ? ORDER BY folded LIMIT 1 OFFSET ?");
    s.bind(1, id).bind(2, static_cast<int64_t>(index));
    if (!s.step()) return kErrNoMoreItems;
    found = units_of(s.bytes_at(0));
    return kOk;
  });
  if (rc != kOk) return rc;
  return copy_name(found, name, name_len);
}

// Whether a copy of another tag may still be replaced by one of this tag.
auto still_current(Registry& reg) {
  return [&reg](const CacheTag& tag) { return reg.is_current(tag); };
}

int32_t enum_values(Key key, uint32_t index, tchar* name, uint32_t* name_len) {
  if (!name || !name_len) return kErrInvalidParameter;
  Registry& reg = Registry::get();
  Registry::Opened open = reg.opened(key);
  if (!open.id) return kErrInvalidHandle;
  auto answer = [&](const Text& text) { return copy_text(text, name, name_len); };
  CacheTag tag;
  int32_t rc = kOk;
  if (open.slot && reg.current_tag(&tag)) {
    if (open.slot->cache.find_name(open.id, tag, index, answer, &rc)) return rc;
    // The whole listing, once per change: every index is answered from it.
    std::vector<Text> names;
    Registry::Loaded loaded;
    int32_t read_rc = reg.read(
        [&](sqlite3* db) {
          if (!key_exists(db, open.id)) return kErrKeyDeleted;
          Stmt s(db, "SELECT name FROM vals WHERE key = ? ORDER BY pos");
          s.bind(1, open.id);
          while (s.step()) names.push_back(from_units(units_of(s.bytes_at(0))));
          return kOk;
        },
        &loaded);
    if (read_rc != kOk) {
      rc = read_rc;
    } else {
      rc = index < names.size() ? answer(names[index]) : kErrNoMoreItems;
    }
    if (loaded.keep) {
      open.slot->cache.put_names(open.id, loaded.tag, still_current(reg), read_rc,
                                 std::move(names));
    }
    return rc;
  }
  std::u16string found;
  rc = reg.run(false, [&](sqlite3* db) {
    reg.assert_held();
    return value_at(db, reg.cursor(), open.id, index, &found);
  });
  if (rc != kOk) return rc;
  return copy_name(found, name, name_len);
}

}  // namespace

namespace posix {

void close_registry() { Registry::get().close(); }

void release_registry() { Registry::release(); }

void fork_prepare_registry() { Registry::fork_prepare(); }

void fork_parent_registry() { Registry::fork_parent(); }

void fork_child_registry() { Registry::fork_child(); }

}  // namespace posix

Key current_user() { return &g_root; }

// The batch's lock is the registry's mutex, taken on kOk only and let go
// where t_batch_open says: more than the analysis can follow.
int32_t reg_begin_batch() NO_THREAD_SAFETY_ANALYSIS {
  try {
    Registry& reg = Registry::get();
    reg.pass_turnstile();
    int32_t rc = reg.begin_batch();
    t_batch_open = rc == kOk;
    return rc;
  } catch (const std::bad_alloc&) {
    // No registry state: the batch's calls fail alone.
    return kOk;
  }
}

int32_t reg_end_batch() NO_THREAD_SAFETY_ANALYSIS {
  if (!t_batch_open) return kOk;
  t_batch_open = false;
  return Registry::get().end_batch();
}

int32_t reg_create_key_a(Key parent, const char* sub_key, Key* out) {
  if (int32_t fault = injected_write_fault()) return fault;
  return guarded([&]() -> int32_t {
    Path path;
    int32_t rc = split_path_a(sub_key, &path);
    return rc == kOk ? create_key(parent, path, out) : rc;
  });
}

int32_t reg_create_key(Key parent, const tchar* sub_key, Key* out) {
  if (int32_t fault = injected_write_fault()) return fault;
  return guarded([&]() -> int32_t {
    Path path;
    int32_t rc = split_path_t(sub_key, &path);
    return rc == kOk ? create_key(parent, path, out) : rc;
  });
}

int32_t reg_open_key_a(Key parent, const char* sub_key, Key* out) {
  return guarded([&]() -> int32_t {
    Path path;
    int32_t rc = split_path_a(sub_key, &path);
    return rc == kOk ? open_key(parent, path, out) : rc;
  });
}

int32_t reg_open_key(Key parent, const tchar* sub_key, Key* out) {
  return guarded([&]() -> int32_t {
    Path path;
    int32_t rc = split_path_t(sub_key, &path);
    return rc == kOk ? open_key(parent, path, out) : rc;
  });
}

// kErrInvalidParameter for a null name; an empty one deletes the key itself.
// The root and keys with sub-keys are refused with kErrAccessDenied.
int32_t reg_delete_key(Key parent, const tchar* sub_key) {
  if (int32_t fault = injected_write_fault()) return fault;
  return guarded([&]() -> int32_t {
    if (!sub_key) return kErrInvalidParameter;
    Path path;
    int32_t rc = split_path_t(sub_key, &path);
    if (rc != kOk) return rc;
    Registry& reg = Registry::get();
    int64_t start = reg.id_of(parent);
    if (!start) return kErrInvalidHandle;
    return reg.run_in_turn([&](sqlite3* db) {
      int64_t id = 0;
      int32_t r = resolve(db, start, path, &id);
      if (r != kOk) return r;
      if (!id) return kErrFileNotFound;
      if (id == kRootId) return kErrAccessDenied;
      if (Stmt(db, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1").bind(1, id).step()) {
        return kErrAccessDenied;
      }
      Stmt(db, "DELETE FROM vals WHERE key = ?").bind(1, id).step();
      Stmt(db, "DELETE FROM keys WHERE id = ?").bind(1, id).step();
      return kOk;
    });
  });
}

// kErrInvalidHandle for a handle that is not open; the root always closes.
int32_t reg_close_key(Key key) {
  return guarded([&]() -> int32_t {
    if (key == &g_root) return kOk;
    return Registry::get().remove_handle(key) ? kOk : kErrInvalidHandle;
  });
}

// Names longer than 16383 UTF-16 units give kErrInvalidParameter; data null
// with a non-zero size gives kErrNoAccess (998).
namespace {

// The value named units (UTF-16) of key set to stored (string data already
// in UTF-16).
int32_t put_value(Key key, const std::u16string& units, uint32_t type, const std::string& stored) {
  if (units.size() > kMaxValueNameUnits) return kErrInvalidParameter;
  Registry& reg = Registry::get();
  int64_t id = reg.id_of(key);
  if (!id) return kErrInvalidHandle;
  std::string f = folded_key(units);
  return reg.run(true, [&](sqlite3* db) {
    if (!key_exists(db, id)) return kErrKeyDeleted;
    // A replaced value keeps the name it was created with.
    // A new value goes last in the listing; a replaced one keeps its place.
    Stmt s(db,
           "INSERT INTO vals(key, folded, name, type, data, pos) VALUES(?1, ?2, ?3, ?4, ?5, "
           "(SELECT coalesce(max(pos), 0) + 1 FROM vals WHERE key = ?1)) "
           "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data");
    s.bind(1, id).bind(2, f.data(), f.size()).bind(3, units);
    s.bind(4, static_cast<int64_t>(type)).bind(5, stored.data(), stored.size()).step();
    return kOk;
  });
}

int32_t drop_value(Key key, const std::u16string& units) {
  std::string f = folded_key(units);
  Registry& reg = Registry::get();
  int64_t id = reg.id_of(key);
  if (!id) return kErrInvalidHandle;
  return reg.run(true, [&](sqlite3* db) {
    if (!key_exists(db, id)) return kErrKeyDeleted;
    Stmt(db, "DELETE FROM vals WHERE key = ? AND folded = ?")
        .bind(1, id)
        .bind(2, f.data(), f.size())
        .step();
    return sqlite3_changes(db) ? kOk : kErrFileNotFound;
  });
}

// A name in either width: UTF-16 units, or 8-bit text as the A calls take it.
std::u16string units_in(uint32_t unit_bytes, const void* name) {
  if (unit_bytes == 2) return std::u16string(static_cast<const char16_t*>(name));
  return utf8_to_utf16(static_cast<const char*>(name));
}

}  // namespace

int32_t reg_set_value(Key key, const tchar* name, uint32_t type, const void* data, uint32_t bytes) {
  if (int32_t fault = injected_write_fault()) return fault;
  return guarded([&]() -> int32_t {
    if (!data && bytes) return kErrNoAccess;
    std::u16string units = value_name(name);
    if (units.size() > kMaxValueNameUnits) return kErrInvalidParameter;
    auto* p = static_cast<const char*>(data);
    if (is_string_type(type) && bytes) {
      // Like Windows, a string whose size leaves out its terminator gets it back
      // when the terminator follows in memory.
      const auto* t = reinterpret_cast<const tchar*>(p);
      size_t count = bytes / sizeof(tchar);
      if (count && t[count - 1] && !t[count]) bytes += sizeof(tchar);
    }
    std::string_view given(p ? p : "", bytes);
    return put_value(key, units, type,
                     is_string_type(type) ? text_to_stored(given) : std::string(given));
  });
}

int32_t reg_delete_value(Key key, const tchar* name) {
  if (int32_t fault = injected_write_fault()) return fault;
  return guarded([&]() -> int32_t { return drop_value(key, value_name(name)); });
}

int32_t reg_set_value_in(Key key, uint32_t unit_bytes, const void* name, uint32_t type,
                         const void* data, uint32_t bytes) {
  if (int32_t fault = injected_write_fault()) return fault;
  return guarded([&]() -> int32_t {
    std::string given(static_cast<const char*>(data), bytes);
    if (is_string_type(type) && unit_bytes == 1) {
      std::u16string units = utf8_to_utf16(given);
      given.assign(reinterpret_cast<const char*>(units.data()), units.size() * 2);
    }
    return put_value(key, units_in(unit_bytes, name), type, given);
  });
}

int32_t reg_delete_value_in(Key key, uint32_t unit_bytes, const void* name) {
  if (int32_t fault = injected_write_fault()) return fault;
  return guarded([&]() -> int32_t { return drop_value(key, units_in(unit_bytes, name)); });
}

// kErrInvalidParameter when data is given without bytes. Strings that fit with
// room to spare get a terminator after them when they lack one, as on Windows.
int32_t reg_query_value(Key key, const tchar* name, uint32_t* type, void* data, uint32_t* bytes) {
  if (data && !bytes) return kErrInvalidParameter;
  auto answer = [&](uint32_t found_type, std::string_view found) {
    return answer_query(found_type, found, type, data, bytes);
  };
  int32_t rc = kOk;
  // Most reads: a short name the key's copy holds, found without the heap or
  // the registry's mutex.
  if (Registry* reg = Registry::existing()) {
    Registry::Opened open = reg->opened(key);
    FoldedName folded;
    CacheTag tag;
    if (open.slot && folded.fold_short(name) && reg->current_tag(&tag) &&
        open.slot->cache.find_value(open.id, tag, folded, answer, &rc)) {
      return rc;
    }
  }
  return guarded([&]() -> int32_t {
    FoldedName folded;
    if (!folded.fold_short(name)) folded.assign(folded_key(value_name(name)));
    Registry& reg = Registry::get();
    Registry::Opened open = reg.opened(key);
    if (!open.id) return kErrInvalidHandle;
    CacheTag tag;
    bool copied = open.slot && reg.current_tag(&tag);
    if (copied && open.slot->cache.find_value(open.id, tag, folded, answer, &rc)) return rc;
    uint32_t found_type = 0;
    std::string found;
    Registry::Loaded loaded;
    rc = reg.read(
        [&](sqlite3* db) {
          if (!key_exists(db, open.id)) return kErrKeyDeleted;
          Stmt s(db, "SELECT type, data FROM vals WHERE key = ? AND folded = ?");
          s.bind(1, open.id).bind(2, folded.view().data(), folded.view().size());
          if (!s.step()) return kErrFileNotFound;
          found_type = static_cast<uint32_t>(s.int_at(0));
          found = s.bytes_at(1);
          return kOk;
        },
        &loaded);
    if (rc == kOk && is_string_type(found_type)) found = stored_to_text(found);
    if (copied && loaded.keep) {
      open.slot->cache.put_value(open.id, loaded.tag, still_current(reg), rc, folded, found_type,
                                 found);
    }
    return rc == kOk ? answer(found_type, found) : rc;
  });
}

// The longest name counts UTF-16 units in both builds, as the A function of
// Windows does; a narrow caller needs more bytes than that for non-ASCII names.
int32_t reg_query_info_key(Key key, uint32_t* values, uint32_t* max_value_name_len) {
  return guarded([&]() -> int32_t {
    Registry& reg = Registry::get();
    Registry::Opened open = reg.opened(key);
    if (!open.id) return kErrInvalidHandle;
    uint32_t count = 0, longest = 0;
    CacheTag tag;
    int32_t rc = kOk;
    bool copied = open.slot && reg.current_tag(&tag);
    if (!copied || !open.slot->cache.find_info(open.id, tag, &count, &longest, &rc)) {
      Registry::Loaded loaded;
      rc = reg.read(
          [&](sqlite3* db) {
            if (!key_exists(db, open.id)) return kErrKeyDeleted;
            Stmt s(db,
                   "SELECT count(*), coalesce(max(length(name)), 0) / 2 FROM vals WHERE key = ?");
            s.bind(1, open.id).step();
            count = static_cast<uint32_t>(s.int_at(0));
            longest = static_cast<uint32_t>(s.int_at(1));
            return kOk;
          },
          &loaded);
      if (copied && loaded.keep) {
        open.slot->cache.put_info(open.id, loaded.tag, still_current(reg), rc, count, longest);
      }
    }
    if (rc != kOk) return rc;
    if (values) *values = count;
    if (max_value_name_len) *max_value_name_len = longest;
    return kOk;
  });
}

// Values come in the order they were created (a replaced one keeps its
// place), sub-keys in folded order, as Windows lists them. A name that does
// not fit (the terminator included; bytes of UTF-8 in the narrow build) gives
// kErrMoreData and leaves *name_len as it was.
int32_t reg_enum_value(Key key, uint32_t index, tchar* name, uint32_t* name_len) {
  return guarded([&] { return enum_values(key, index, name, name_len); });
}

int32_t reg_enum_key(Key key, uint32_t index, tchar* name, uint32_t* name_len) {
  return guarded([&] { return enum_keys(key, index, name, name_len); });
}

}  // namespace kx::plat
