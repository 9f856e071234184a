// SQLite plumbing of the registry stand-in: the statement cache, transactions
// and the one table of SQLite codes as Windows codes.
#include "platform/posix/sqlite.h"

#include <unistd.h>

#include <cstddef>
#include <vector>

#include "platform/errors.h"

namespace kx::plat::posix {

namespace {

constexpr int32_t kErrBadDb = 1009;  // ERROR_BADDB: a schema newer than ours

// Prepared statements kept per connection and text (every text is a
// literal, so its address names it): parsing was most of each write when a
// long queue drains. Touched only under the Registry's mutex. A text in use
// twice at once gets a second, private statement.
struct CachedStmt {
  sqlite3* db;
  const char* sql;
  sqlite3_stmt* stmt;
  bool in_use;
};

// On the heap, so it outlives static destructors; freed by release_registry.
std::vector<CachedStmt>* g_stmt_cache = nullptr;

std::vector<CachedStmt>& stmt_cache() {
  if (!g_stmt_cache) g_stmt_cache = new std::vector<CachedStmt>();
  return *g_stmt_cache;
}

}  // namespace

// Before db closes: its statements go.
void forget_statements(sqlite3* db) {
  auto& cache = stmt_cache();
  for (size_t i = cache.size(); i-- > 0;) {
    if (cache[i].db != db) continue;
    sqlite3_finalize(cache[i].stmt);
    cache.erase(cache.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

void release_statements() {
  delete g_stmt_cache;
  g_stmt_cache = nullptr;
}

Stmt::Stmt(sqlite3* db, const char* sql) {
  auto& cache = stmt_cache();
  bool cached = false;
  for (size_t i = 0; i < cache.size(); ++i) {
    if (cache[i].db != db || cache[i].sql != sql) continue;
    cached = true;
    if (cache[i].in_use) break;
    cache[i].in_use = true;
    stmt_ = cache[i].stmt;
    slot_ = i;
    return;
  }
  if (!cached) cache.reserve(cache.size() + 1);  // no throw once the statement exists
  int rc = sqlite3_prepare_v3(db, sql, -1, cached ? 0 : SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(stmt_);
    fail(rc);
  }
  if (!cached) {
    cache.push_back(CachedStmt{db, sql, stmt_, true});
    slot_ = cache.size() - 1;
  }
}

Stmt::~Stmt() {
  if (slot_ == kPrivate) {
    sqlite3_finalize(stmt_);
    return;
  }
  // Reset, it holds no read transaction open and binds nothing stale.
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  stmt_cache()[slot_].in_use = false;
}

void exec(sqlite3* db, const char* sql) {
  int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) fail(rc);
}

// A writer does not wait for the lock here: Registry::run waits for it
// without holding the registry's mutex.
Transaction::Transaction(sqlite3* db, bool write) : db_(db) {
  if (write) sqlite3_busy_timeout(db_, 0);
  int rc = sqlite3_exec(db_, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr);
  if (write) sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  if (rc != SQLITE_OK) fail(rc);
  open_ = true;
}

void exec_waiting(sqlite3* db, const char* sql) {
  for (int waited = 0;; waited += kBusyPollMs) {
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) return;
    if ((rc & 0xFF) != SQLITE_BUSY || waited >= kOpeningWaitMs) fail(rc);
    usleep(kBusyPollMs * 1000);
  }
}

int32_t to_win32_error(int sqlite_code) {
  switch (sqlite_code & 0xFF) {
    case SQLITE_NOMEM:
      return kErrNotEnoughMemory;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return kErrBusy;
    case SQLITE_FULL:
      return kErrDiskFull;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return kErrRegistryCorrupt;
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH:
      return kErrAccessDenied;
    case SQLITE_SCHEMA:
      return kErrBadDb;
    default:
      return kErrRegistryIoFailed;
  }
}

}  // namespace kx::plat::posix
