// The registry stand-in's database file: its folder, schema, journal mode,
// and opening it, read-only when it cannot be written.
#include "platform/posix/registry_file.h"

#include <errno.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <new>
#include <string>

#include "platform/posix/internal.h"
#include "platform/posix/sqlite.h"

namespace kx::plat::posix {

namespace {

// 2: values carry their place in their key's listing (pos).
constexpr int kSchemaVersion = 2;

// True when path is missing, or a regular file of this user's (not a
// symlink): a file planted while the folder was open to others is refused.
bool missing_or_ours(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  return S_ISREG(st.st_mode) && st.st_uid == geteuid();
}

int schema_version(sqlite3* db) {
  Stmt version(db, "PRAGMA user_version");
  return version.step() ? static_cast<int>(version.int_at(0)) : 0;
}

// Brings the schema to kSchemaVersion. Looks first: an up-to-date database
// takes no write lock, so opening never waits for another process's writer.
void create_schema(sqlite3* db, bool read_only) {
  int found = schema_version(db);
  if (found > kSchemaVersion) fail(SQLITE_SCHEMA);
  if (found == kSchemaVersion) return;
  if (read_only) fail(SQLITE_READONLY);
  // Once per database, before anything can be read from it: worth waiting.
  exec_waiting(db, "BEGIN IMMEDIATE");
  Transaction txn(db);
  found = schema_version(db);
  if (found == 0) {
    exec(db,
         "CREATE TABLE keys("
         "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
         "  parent INTEGER NOT NULL,"
         "  name BLOB NOT NULL,"     // UTF-16 as created
         "  folded BLOB NOT NULL);"  // folded, big-endian: the lookup and sort order
         "CREATE UNIQUE INDEX keys_by_name ON keys(parent, folded);"
         "INSERT INTO keys(id, parent, name, folded) VALUES(1, 0, x'', x'');"
         "CREATE TABLE vals("
         "  key INTEGER NOT NULL,"
         "  folded BLOB NOT NULL,"
         "  name BLOB NOT NULL,"
         "  type INTEGER NOT NULL,"
         "  data BLOB NOT NULL,"
         "  pos INTEGER NOT NULL,"  // the listing order: a new value goes last
         "  PRIMARY KEY(key, folded)) WITHOUT ROWID;"
         "CREATE UNIQUE INDEX vals_in_order ON vals(key, pos);");
  } else if (found == 1) {
    // Version 1 listed values in folded order: they keep that order.
    exec(db,
         "CREATE TABLE vals2("
         "  key INTEGER NOT NULL,"
         "  folded BLOB NOT NULL,"
         "  name BLOB NOT NULL,"
         "  type INTEGER NOT NULL,"
         "  data BLOB NOT NULL,"
         "  pos INTEGER NOT NULL,"
         "  PRIMARY KEY(key, folded)) WITHOUT ROWID;"
         "INSERT INTO vals2 SELECT key, folded, name, type, data,"
         "  row_number() OVER (PARTITION BY key ORDER BY folded) FROM vals;"
         "DROP TABLE vals;"
         "ALTER TABLE vals2 RENAME TO vals;"
         "CREATE UNIQUE INDEX vals_in_order ON vals(key, pos);");
  }
  exec(db, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
  txn.commit();
}

// WAL, unless the database is in it already (switching needs a moment alone
// with the file) or cannot be written.
void use_wal(sqlite3* db, bool read_only) {
  {
    Stmt mode(db, "PRAGMA journal_mode");
    if (mode.step() && mode.bytes_at(0) == "wal") return;
  }  // reset: a statement under way would keep the mode from changing
  if (!read_only) exec_waiting(db, "PRAGMA journal_mode=WAL");
}

// Settings and schema of a freshly opened connection; an SQLite code.
int prepare_database(sqlite3* db, bool read_only) {
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  try {
    use_wal(db, read_only);
    if (!read_only) exec(db, "PRAGMA synchronous=NORMAL");
    create_schema(db, read_only);
  } catch (const SqlError& e) {
    return e.code;
  }
  return SQLITE_OK;
}

// A path as the file part of an SQLite URI.
std::string uri_escaped(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '?' || c == '#' || c == '%') {
      static const char kHex[] = "0123456789ABCDEF";
      out += '%';
      out += kHex[static_cast<unsigned char>(c) >> 4];
      out += kHex[c & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

// Opens the database, creating the folder (0700) and file (0600) as needed.
// A database that cannot be written (a read-only file or medium) opens for
// reading. Returns an SQLite code.
int open_database_here(sqlite3** out) {
  std::string dir = registry_dir();
  if (!make_dirs(dir) || !owner_only_dir(dir)) return SQLITE_CANTOPEN;
  std::string path = dir + "/registry.db";
  for (const char* suffix : {"", "-wal", "-shm"}) {
    if (!missing_or_ours(path + suffix)) return SQLITE_CANTOPEN;
  }
  struct stat st;
  bool existed = lstat(path.c_str(), &st) == 0;
  // A folder left without the owner's write permission and with no database
  // in it was made under a strict umask (0277 gave 0500) by an older
  // version, not made read-only by its user: it gets its mode.
  if (!existed && stat(dir.c_str(), &st) == 0 && (st.st_mode & 0700) != 0700) {
    chmod(dir.c_str(), 0700);
  }
  // Never open and close the file ourselves: closing any descriptor of it
  // drops every POSIX lock this process holds on it, including those of
  // SQLite connections of the other library loaded here, and another process
  // could then take the database for its last user and remove its WAL. The
  // folder is the user's alone; the mode is set right after creation, and a
  // mode the user gave an existing file is left as it is.
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX |
                               SQLITE_OPEN_EXRESCODE | SQLITE_OPEN_NOFOLLOW,
                           nullptr);
  if (rc == SQLITE_OK && !existed && chmod(path.c_str(), 0600) != 0) rc = SQLITE_CANTOPEN;
  bool read_only = rc == SQLITE_OK && sqlite3_db_readonly(db, "main") == 1;
  if (rc == SQLITE_OK) rc = prepare_database(db, read_only);
  if (rc != SQLITE_OK) {
    forget_statements(db);
    sqlite3_close(db);
    db = nullptr;
    // A WAL database on a read-only medium, its -shm gone with its last
    // writer, opens only as immutable: nobody can change it there anyway.
    if (!read_only || (rc & 0xFF) != SQLITE_CANTOPEN) return rc;
    std::string uri = "file:" + uri_escaped(path) + "?immutable=1";
    rc = sqlite3_open_v2(uri.c_str(), &db,
                         SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX |
                             SQLITE_OPEN_EXRESCODE | SQLITE_OPEN_NOFOLLOW,
                         nullptr);
    if (rc == SQLITE_OK) rc = prepare_database(db, true);
    if (rc != SQLITE_OK) {
      forget_statements(db);
      sqlite3_close(db);
      return rc;
    }
  }
  *out = db;
  return SQLITE_OK;
}

}  // namespace

// $XDG_CONFIG_HOME/kelmix, or ~/.config/kelmix; empty when no home is known,
// or when the home or config folder is not this user's (root with a user's
// HOME, under sudo: files made there would lock the user out).
std::string registry_dir() {
  struct stat st;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') {
    if (stat(config, &st) == 0 && st.st_uid != geteuid()) return {};
    return std::string(config) + "/kelmix";
  }
  const char* home = std::getenv("HOME");
  if (!home || !*home) {
    struct passwd* pw = getpwuid(geteuid());
    home = pw ? pw->pw_dir : nullptr;
  }
  if (!home || !*home) return {};
  if (stat(home, &st) != 0 || st.st_uid != geteuid()) return {};
  return std::string(home) + "/.config/kelmix";
}

int open_database(sqlite3** out) noexcept {
  try {
    return open_database_here(out);
  } catch (const std::bad_alloc&) {
    return SQLITE_NOMEM;
  }
}

std::string private_config_dir() {
  try {
    std::string dir = registry_dir();
    return make_dirs(dir) && owner_only_dir(dir) ? dir : std::string();
  } catch (const std::bad_alloc&) {
    return {};
  }
}

}  // namespace kx::plat::posix
