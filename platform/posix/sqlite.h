// SQLite plumbing of the registry stand-in: cached prepared statements,
// transactions, and the translation of SQLite codes to Windows codes.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "platform/errors.h"

namespace kx::plat::posix {

constexpr int32_t kErrRegistryIoFailed = 1016;  // ERROR_REGISTRY_IO_FAILED

// How long a call waits for another process's write lock before it gives
// kErrBusy. Short: the caller (the store's queue thread) tries again later;
// a key created or deleted waits its turn longer (see the turnstile).
// A writer polls for the lock without the registry's mutex, so other
// threads' calls go on meanwhile; readers of a WAL database wait only in
// rare moments (another connection's recovery), in SQLite's busy handler.
constexpr int kBusyTimeoutMs = 100;
constexpr int kBusyPollMs = 5;
// For what must be done rather than tried again later: the few statements of
// opening a database, and a key created or deleted for the host, which waits
// for it. Up to kOpeningWaitMs for another process's lock.
constexpr int kOpeningWaitMs = 5000;

// An SQLite failure on its way out of a registry operation.
struct SqlError {
  int code;
};

[[noreturn]] inline void fail(int code) { throw SqlError{code}; }

// Before db closes: its statements go.
void forget_statements(sqlite3* db);
// Frees the statement cache once every connection has closed.
void release_statements();

// One prepared statement, from the connection's cache when it has it there
// and it is not in use already; given back (or finalized) at scope end.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql);
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  Stmt& bind(int i, int64_t v) {
    check(sqlite3_bind_int64(stmt_, i, v));
    return *this;
  }
  // Binds bytes; an empty range is an empty blob, never NULL.
  Stmt& bind(int i, const void* p, size_t n) {
    static const char kNothing = 0;
    check(sqlite3_bind_blob(stmt_, i, n ? p : &kNothing, static_cast<int>(n), SQLITE_TRANSIENT));
    return *this;
  }
  Stmt& bind(int i, std::u16string_view s) { return bind(i, s.data(), s.size() * 2); }

  // True when a row is ready, false when done.
  bool step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    fail(rc);
  }
  int64_t int_at(int col) { return sqlite3_column_int64(stmt_, col); }
  std::string bytes_at(int col) {
    auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, col));
    int n = sqlite3_column_bytes(stmt_, col);
    return p ? std::string(p, static_cast<size_t>(n)) : std::string();
  }

 private:
  void check(int rc) {
    if (rc != SQLITE_OK) fail(rc);
  }
  static constexpr size_t kPrivate = static_cast<size_t>(-1);
  sqlite3_stmt* stmt_ = nullptr;
  size_t slot_ = kPrivate;  // the entry in the statement cache, or kPrivate
};

void exec(sqlite3* db, const char* sql);

// A transaction, rolled back unless committed. Writers take the write lock at
// once (BEGIN IMMEDIATE) so that they wait in the busy handler instead of
// failing on upgrade.
class Transaction {
 public:
  Transaction(sqlite3* db, bool write);
  // Takes over a transaction the caller has begun.
  explicit Transaction(sqlite3* db) : db_(db), open_(true) {}
  ~Transaction() {
    if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  void commit() {
    exec(db_, "COMMIT");
    open_ = false;
  }

 private:
  sqlite3* db_;
  bool open_ = false;
};

// Runs sql, waiting up to kOpeningWaitMs while another process holds the lock.
void exec_waiting(sqlite3* db, const char* sql);

int32_t to_win32_error(int sqlite_code);

// Runs f, which returns a Windows code: an SQLite failure or running out of
// memory anywhere in it becomes its Windows code, never an exception through
// the library's noexcept callers. The registry calls run through it; code
// outside them catches what it may throw where it stands.
template <class F>
int32_t guarded(F f) noexcept {
  try {
    return f();
  } catch (const SqlError& e) {
    return to_win32_error(e.code);
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
}

}  // namespace kx::plat::posix
