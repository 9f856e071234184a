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
#include "platform/posix/registry_file.h"
#include "platform/posix/sqlite.h"
#include "platform/posix/turnstile.h"
#include "platform/posix/unicode.h"
#include "platform/registry_fault.h"

namespace kx::plat {

namespace {

using posix::CacheTag;
using posix::ChangeSequence;
using posix::CommitMark;
using posix::flock_within;
using posix::fold;
using posix::FoldedName;
using posix::forget_statements;
using posix::guarded;
using posix::kBusyPollMs;
using posix::kBusyTimeoutMs;
using posix::kErrRegistryIoFailed;
using posix::kOpeningWaitMs;
using posix::kTurnPollMs;
using posix::open_database;
using posix::open_turnstile;
using posix::OpenKeys;
using posix::Patience;
using posix::registry_dir;
using posix::release_statements;
using posix::SqlError;
using posix::Stmt;
using posix::Text;
using posix::to_win32_error;
using posix::Transaction;
using posix::TurnstileHold;
using posix::utf16_to_utf8;
using posix::utf8_to_utf16;

constexpr int32_t kErrNoAccess = 998;  // ERROR_NOACCESS: data null with a size

constexpr int64_t kRootId = 1;
constexpr size_t kMaxKeyNameUnits = 255;  // per path component, as Windows
constexpr size_t kMaxValueNameUnits = 16383;
constexpr size_t kMaxAnsiPathUnits = 260;  // the A functions convert key paths into this
constexpr size_t kMaxAnsiPathBytes = 32766;

thread_local bool t_batch_open = false;  // this thread's begin_batch took the lock

// HKEY_CURRENT_USER: its address is the root's handle, always open.
struct RootKey {
} g_root;

bool is_string_type(uint32_t type) {
  return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

// The UTF-16 units of stored names and string data, an odd trailing byte dropped.
std::u16string units_of(const std::string& bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  std::memcpy(units.data(), bytes.data(), units.size() * 2);
  return units;
}

// The folded form, as big-endian units so that byte order is unit order.
std::string folded_key(std::u16string_view name) {
  std::u16string f = fold(name);
  std::string out(f.size() * 2, '\0');
  for (size_t i = 0; i < f.size(); ++i) {
    out[2 * i] = static_cast<char>(f[i] >> 8);
    out[2 * i + 1] = static_cast<char>(f[i] & 0xFF);
  }
  return out;
}

// ---- Process-wide state ----

// A parent's connection a forked child never needed, at unloading.
sqlite3* g_inherited_connection = nullptr;

// The registry's mutex as the thread-safety analysis knows it. Recursive: a
// batch holds it across the calls it makes.
class CAPABILITY("mutex") RegistryMutex {
 public:
  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  // In a forked child: unlocked, whoever held it in the parent.
  void reset_after_fork() { new (&mu_) std::recursive_mutex(); }

 private:
  std::recursive_mutex mu_;
};

// Where the database's file is, and which file it was when opened.
struct DatabaseFile {
  std::string dir;
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t data_version = -1;  // at the last look for another program's commits
};

// The identity of the file at path; false when there is none.
bool file_identity(const std::string& path, uint64_t* device, uint64_t* inode) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  *device = static_cast<uint64_t>(st.st_dev);
  *inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

int64_t data_version(sqlite3* db) {
  Stmt version(db, "PRAGMA data_version");
  return version.step() ? version.int_at(0) : -1;
}

// The connection, the open handles and the copies of their keys, one set per
// loaded library. Calls come from many threads; one mutex serializes what
// goes to the database, and a read answered from a copy takes no lock.
class Registry {
 public:
  // On the heap, so it outlives static destructors; freed by release().
  static Registry& get() {
    Registry* r = instance_.load(std::memory_order_acquire);
    if (r) return *r;
    auto* fresh = new Registry();
    if (instance_.compare_exchange_strong(r, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;
    return *r;
  }

  // The registry, or null before the first call.
  static Registry* existing() { return instance_.load(std::memory_order_acquire); }

  // Closes and frees the registry with every handle still open; a later
  // call starts afresh. At unloading: no call is in flight.
  static void release() NO_THREAD_SAFETY_ANALYSIS {
    Registry* r = instance_.exchange(nullptr);
    if (!r) return;
    r->close();
    // Left as it is (close() says why), but kept in sight.
    if (r->inherited_) g_inherited_connection = r->inherited_;
    if (r->gate_fd_ >= 0) ::close(r->gate_fd_);
    delete r;
    release_statements();  // its statements went with the connection
  }

  // How a writer meets another process's write lock.
  enum class Wait {
    kBrief,  // polls for kBusyTimeoutMs: the queue thread tries again later
    kTurn,   // takes its turn at the turnstile, for up to kOpeningWaitMs
  };

  // Runs body(db) in a transaction. body returns a Windows code; only kOk
  // commits. Any SQLite failure becomes a Windows code: another process's
  // write lock, once the wait has passed, kErrBusy.
  template <class Body>
  int32_t run(bool write, Body body, Wait wait = Wait::kBrief) {
    bool turn = wait == Wait::kTurn;
    Patience patience(turn ? kOpeningWaitMs : kBusyTimeoutMs);
    TurnstileHold hold;  // held, once taken, until the transaction has ended
    for (;;) {
      {
        plat::Lock<RegistryMutex> lock(mu_);
        int32_t rc = run_once(write, body, nullptr);
        // Inside a batch this thread holds the mutex throughout: no waiting.
        if (rc != kErrBusy || !write || t_batch_open || !patience.left()) return rc;
      }
      if (turn) hold.take(patience);
      usleep((turn ? kTurnPollMs : kBusyPollMs) * 1000);
    }
  }

  // A write the host waits for (a key created or deleted).
  template <class Body>
  int32_t run_in_turn(Body body) {
    return run(true, body, Wait::kTurn);
  }

  // A read whose findings may be kept: *loaded says at what, when they may.
  struct Loaded {
    bool keep = false;
    CacheTag tag;
  };
  template <class Body>
  int32_t read(Body body, Loaded* loaded) {
    plat::Lock<RegistryMutex> lock(mu_);
    return run_once(false, body, loaded);
  }

  // Before a batch, outside any transaction and the mutex (a writer of this
  // process may hold the turnstile and need the mutex): a writer waiting at
  // the turnstile goes first. No longer than such a writer may hold it.
  void pass_turnstile() {
    int fd = gate_fd_.load();
    if (fd < 0) {
      fd = open_turnstile();
      if (fd < 0) return;
      int none = -1;
      if (!gate_fd_.compare_exchange_strong(none, fd)) {
        ::close(fd);
        fd = none;
      }
    }
    // Drains of this library's stores share the descriptor and lock it only
    // shared: one letting go of it never stops another.
    Patience patience(kOpeningWaitMs);
    if (flock_within(fd, LOCK_SH, patience)) flock(fd, LOCK_UN);
  }

  // Opens one write transaction for the calling thread's calls until
  // end_batch; the lock stays held, so other threads wait. Another process's
  // write lock is polled for, without the mutex: a key it is creating in its
  // turn takes a moment, and a batch that gave up at once would cost the
  // drain its 100 ms pause. Still locked out after as long as a write waits,
  // it gives kErrBusy holding nothing, so this process's other calls never
  // queue behind a lock another program keeps. Any other failure leaves the
  // calls to go on one transaction each, reporting for themselves. On kOk
  // the mutex is let go by end_batch, which the analysis cannot follow.
  int32_t begin_batch() NO_THREAD_SAFETY_ANALYSIS {
    Patience patience(kBusyTimeoutMs);
    for (;;) {
      mu_.lock();
      batch_lost_ = kOk;
      if (connect() != SQLITE_OK) return kOk;
      sqlite3_busy_timeout(db_, 0);  // the mutex is held: no waiting here
      int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
      sqlite3_busy_timeout(db_, kBusyTimeoutMs);
      in_batch_ = rc == SQLITE_OK;
      if (in_batch_ || (rc & 0xFF) != SQLITE_BUSY) return kOk;
      mu_.unlock();
      if (!patience.left()) return kErrBusy;
      usleep(kTurnPollMs * 1000);
    }
  }

  int32_t end_batch() NO_THREAD_SAFETY_ANALYSIS {
    if (in_batch_) {
      in_batch_ = false;
      if (!sqlite3_get_autocommit(db_)) {
        CommitMark mark(sequence_for_commit());
        int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
          sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
          batch_lost_ = to_win32_error(rc);
        }
      }
    }
    int32_t lost = batch_lost_;
    batch_lost_ = kOk;
    mu_.unlock();
    return lost;
  }

  // An open key: its id, and the slot holding its copy (null for the root,
  // which is not copied). id 0: not an open handle.
  struct Opened {
    int64_t id = 0;
    OpenKeys::Slot* slot = nullptr;
  };
  Opened opened(Key key) const noexcept {
    if (key == &g_root) return Opened{kRootId, nullptr};
    OpenKeys::Slot* slot = keys_.find(key);
    if (!slot) return Opened{};
    return Opened{slot->id.load(std::memory_order_acquire), slot};
  }
  int64_t id_of(Key key) const noexcept { return opened(key).id; }

  Key add_handle(int64_t id) {
    plat::Lock<RegistryMutex> lock(mu_);
    return keys_.add(id);
  }

  bool remove_handle(Key key) {
    plat::Lock<RegistryMutex> lock(mu_);
    return keys_.remove(key);
  }

  // The tag a copy must have to answer now; false when nothing is answered
  // from memory (no change sequence could be had). Looks for another
  // program's commits first when a new second has begun since the last look.
  bool current_tag(CacheTag* tag) {
    auto now = static_cast<int64_t>(std::time(nullptr));
    if (now != checked_second_.load(std::memory_order_relaxed)) look_for_others(now, false);
    ChangeSequence* sequence = sequence_.load(std::memory_order_acquire);
    if (!sequence) return false;
    tag->epoch = epoch_.load(std::memory_order_acquire);
    tag->number = sequence->begun();
    return true;
  }
  // True while tag is what current_tag would give.
  bool is_current(const CacheTag& tag) const {
    ChangeSequence* sequence = sequence_.load(std::memory_order_acquire);
    return sequence && epoch_.load(std::memory_order_acquire) == tag.epoch &&
           sequence->begun() == tag.number;
  }

  // A key opened sees what another program changed before.
  void look_for_others_now() { look_for_others(static_cast<int64_t>(std::time(nullptr)), true); }

  // Looks for another program's commits since the last look (the sqlite3
  // shell, a backup restored into the file) and for a file no longer the
  // one open (a backup copied into its place): either drops every copy, the
  // second also opens the database anew. Once per second unless forced.
  void look_for_others(int64_t now, bool forced) {
    plat::Lock<RegistryMutex> lock(mu_);
    if (!forced && checked_second_.load(std::memory_order_relaxed) == now) return;
    int32_t rc = guarded([&] {
      assert_held();
      if (!db_) return kOk;  // connecting begins a new epoch anyway
      uint64_t device = 0, inode = 0;
      bool moved = !file_identity(file_.dir + "/registry.db", &device, &inode) ||
                   device != file_.device || inode != file_.inode;
      ChangeSequence* sequence = sequence_.load();
      if (moved || (sequence && !sequence->same_file(file_.dir))) {
        // A batch holds its transaction on the old file: its end lets go.
        if (!in_batch_) drop_connection();
        epoch_.fetch_add(1);
        return kOk;
      }
      int64_t version = data_version(db_);
      if (version != file_.data_version) {
        file_.data_version = version;
        epoch_.fetch_add(1);
      }
      return kOk;
    });
    if (rc != kOk) epoch_.fetch_add(1);  // not known: changed
    checked_second_.store(now, std::memory_order_relaxed);
  }

  // Where the last value listing stopped, so the next index starts from
  // there rather than counting from the first. Valid while the database is
  // unchanged: data_version tells other connections' commits, the change
  // count this connection's own writes. Guarded by mu_.
  struct Cursor {
    int64_t key = 0;
    uint32_t index = 0;
    int64_t pos = 0;
    int64_t data_version = -1;
    int64_t changes = -1;
  };
  Cursor& cursor() REQUIRES(mu_) { return cursor_; }
  // In a body run(), which holds the mutex where the analysis cannot see it.
  void assert_held() const ASSERT_CAPABILITY(mu_) {}

  // Around a fork: no call of ours is halfway through the connection or a
  // copy when it is copied. The child makes its copy of the mutex afresh (it
  // names a thread of the parent's) and calls nothing of SQLite's there: a
  // host thread of the parent's may have held SQLite's own mutexes. The
  // inherited connection is put aside for drop_inherited. The copies stay,
  // but the child reads none of them before it has a connection of its own:
  // a new epoch.
  static void fork_prepare() NO_THREAD_SAFETY_ANALYSIS {
    Registry* r = instance_.load();
    if (!r) return;
    r->mu_.lock();
    r->keys_.for_each([](OpenKeys::Slot& slot) { slot.cache.lock_for_fork(); });
  }
  static void fork_parent() NO_THREAD_SAFETY_ANALYSIS {
    Registry* r = instance_.load();
    if (!r) return;
    r->keys_.for_each([](OpenKeys::Slot& slot) { slot.cache.unlock_for_fork(); });
    r->mu_.unlock();
  }
  static void fork_child() NO_THREAD_SAFETY_ANALYSIS {
    Registry* r = instance_.load();
    if (!r) return;
    r->mu_.reset_after_fork();
    r->keys_.for_each([](OpenKeys::Slot& slot) { slot.cache.reset_after_fork(); });
    r->in_batch_ = false;
    r->batch_lost_ = kOk;
    r->cursor_ = Cursor{};
    if (r->db_) r->inherited_ = r->db_;
    r->db_ = nullptr;
    r->epoch_.fetch_add(1);
    // The drains' turnstile descriptor: the child's own from its next drain.
    int gate = r->gate_fd_.exchange(-1);
    if (gate >= 0) ::close(gate);
  }

  // A connection inherited through a fork, if not yet dropped, is left as
  // it is: a process that only exits need not touch SQLite. Every copy goes,
  // and the change sequence: a database opened later may be another's.
  void close() {
    plat::Lock<RegistryMutex> lock(mu_);
    if (db_) {
      forget_statements(db_);
      sqlite3_close_v2(db_);
    }
    db_ = nullptr;
    cursor_ = Cursor{};
    sequence_.store(nullptr);
    epoch_.fetch_add(1);
  }

 private:
  Registry() = default;
  // At unloading, with no call in flight: the mappings go.
  ~Registry() = default;
  static inline std::atomic<Registry*> instance_{nullptr};

  // The connection, opened if needed: an SQLite code. A connection begins a
  // new epoch: a copy loaded before may be of another database.
  int connect() REQUIRES(mu_) {
    if (db_) return SQLITE_OK;
    drop_inherited();
    int rc = open_database(&db_);
    if (rc != SQLITE_OK) return rc;
    cursor_ = Cursor{};
    epoch_.fetch_add(1);
    // The file and the change sequence beside it. Anything failing here
    // leaves the copies unused; the connection itself is good.
    try {
      file_ = DatabaseFile{};
      file_.dir = registry_dir();
      if (!file_identity(file_.dir + "/registry.db", &file_.device, &file_.inode)) {
        sequence_.store(nullptr);
        return SQLITE_OK;
      }
      file_.data_version = data_version(db_);
      sequence_.store(sequence_in(file_.dir));
    } catch (const SqlError&) {
      sequence_.store(nullptr);
    } catch (const std::bad_alloc&) {
      sequence_.store(nullptr);
    }
    return SQLITE_OK;
  }

  // The sequence a commit is numbered in. When the file at the path is no
  // longer the one mapped here (deleted, and perhaps made anew by another
  // process), the commit is numbered in the file others now map, and this
  // process's copies begin a new epoch: else each side's commits would go
  // unseen by the other's copies until the next look for others.
  ChangeSequence* sequence_for_commit() REQUIRES(mu_) {
    ChangeSequence* sequence = sequence_.load();
    if (!sequence || sequence->same_file(file_.dir)) return sequence;
    sequence->retire();
    ChangeSequence* fresh = nullptr;
    try {
      fresh = sequence_in(file_.dir);
    } catch (const std::bad_alloc&) {
    }
    sequence_.store(fresh);
    epoch_.fetch_add(1);
    return fresh;
  }

  // The change sequence beside the database in dir: one mapped before, or
  // mapped now and kept until unloading, since readers hold none.
  ChangeSequence* sequence_in(const std::string& dir) REQUIRES(mu_) {
    for (const auto& sequence : sequences_) {
      if (!sequence->retired() && sequence->same_file(dir)) return sequence.get();
    }
    std::unique_ptr<ChangeSequence> fresh(ChangeSequence::open(dir));
    if (!fresh) return nullptr;
    sequences_.push_back(std::move(fresh));
    return sequences_.back().get();
  }

  // The connection to a file that is no longer the database's: closed
  // without a checkpoint, which would write the old file's pages and could
  // delete the new one's WAL by name.
  void drop_connection() REQUIRES(mu_) {
    if (!db_) return;
    close_without_checkpoint(&db_);
    cursor_ = Cursor{};
  }

  // The parent's connection, copied by a fork, is closed before this process
  // opens its own: left open, SQLite would count the parent's file locks as
  // this process's and the new connection would run without them. Closing it
  // must neither checkpoint nor delete the parent's WAL, so it skips the
  // checkpoint on close (which also skips taking the exclusive lock).
  void drop_inherited() REQUIRES(mu_) {
    if (inherited_) close_without_checkpoint(&inherited_);
  }

  // Closes *db and its statements, neither checkpointing nor taking the
  // exclusive lock that a checkpoint on close would.
  static void close_without_checkpoint(sqlite3** db) {
    sqlite3_db_config(*db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    forget_statements(*db);
    sqlite3_close_v2(*db);
    *db = nullptr;
  }

  // What a read may be kept as: the numbers settled, and no batch of this
  // thread's (whose writes this connection sees before they commit).
  void tag_load(Loaded* loaded) REQUIRES(mu_) {
    ChangeSequence* sequence = sequence_.load();
    loaded->keep = !in_batch_ && sequence && sequence->settled(&loaded->tag.number);
    loaded->tag.epoch = epoch_.load();
  }

  template <class Body>
  int32_t run_once(bool write, Body body, Loaded* loaded) REQUIRES(mu_) {
    if (int rc = connect(); rc != SQLITE_OK) return to_win32_error(rc);
    sqlite3* db = db_;
    // A batch whose transaction SQLite rolled back goes on one call a time.
    if (in_batch_ && !sqlite3_get_autocommit(db)) {
      if (loaded) loaded->keep = false;
      return run_in_batch(body);
    }
    // Before the transaction's first read, which fixes its snapshot.
    if (loaded) tag_load(loaded);
    return guarded([&] {
      assert_held();
      Transaction txn(db, write);
      int32_t result = body(db);
      if (result == kOk) {
        CommitMark mark(write ? sequence_for_commit() : nullptr);
        txn.commit();
      }
      return result;
    });
  }

  // One call inside the batch's transaction, still atomic on its own. A
  // failure after which SQLite rolled the whole transaction back (a full
  // disk, an I/O error) took the batch's earlier writes with it: end_batch
  // reports that.
  template <class Body>
  int32_t run_in_batch(Body body) REQUIRES(mu_) {
    sqlite3* db = db_;
    int32_t rc = guarded([&] {
      Stmt(db, "SAVEPOINT one").step();
      return kOk;
    });
    if (rc != kOk) return rc;
    int32_t result = guarded([&] { return body(db); });
    if (sqlite3_get_autocommit(db)) {
      batch_lost_ = result != kOk ? result : kErrRegistryIoFailed;
      return result;
    }
    rc = guarded([&] {
      if (result != kOk) Stmt(db, "ROLLBACK TO one").step();
      Stmt(db, "RELEASE one").step();
      return kOk;
    });
    if (rc != kOk && sqlite3_get_autocommit(db)) batch_lost_ = rc;
    return result;
  }

  RegistryMutex mu_;
  bool in_batch_ GUARDED_BY(mu_) = false;
  int32_t batch_lost_ GUARDED_BY(mu_) = kOk;  // why the batch's transaction went
  sqlite3* db_ GUARDED_BY(mu_) = nullptr;
  sqlite3* inherited_ GUARDED_BY(mu_) = nullptr;  // the parent's, after a fork
  Cursor cursor_ GUARDED_BY(mu_);
  DatabaseFile file_ GUARDED_BY(mu_);
  // Opened and closed under mu_; found without it.
  OpenKeys keys_;
  // The change sequence of the database open, or null: no copy answers.
  std::atomic<ChangeSequence*> sequence_{nullptr};
  // Every mapping made: kept until unloading, since readers hold none.
  std::vector<std::unique_ptr<ChangeSequence>> sequences_ GUARDED_BY(mu_);
  // Part of every tag: raised by whatever the change sequence cannot tell.
  std::atomic<uint64_t> epoch_{1};
  std::atomic<int64_t> checked_second_{0};  // of the last look for others' commits
  std::atomic<int> gate_fd_{-1};            // the turnstile for this library's drains
};

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

// A key path split into its components.
using Path = std::vector<std::u16string>;

// Splits a relative key path. Runs of backslashes separate components, one at
// the end is ignored; a leading backslash gives kErrBadPathname and a
// component longer than 255 units kErrInvalidParameter.
int32_t split_path(std::u16string_view text, Path* path) {
  if (!text.empty() && text[0] == u'\\') return kErrBadPathname;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(u'\\', pos);
    if (end == std::u16string_view::npos) end = text.size();
    if (end > pos) {
      if (end - pos > kMaxKeyNameUnits) return kErrInvalidParameter;
      path->emplace_back(text.substr(pos, end - pos));
    }
    pos = end + 1;
  }
  return kOk;
}

// A key path in 8-bit text, converted as the A functions do: the whole path
// must fit in 260 UTF-16 units (kErrMoreData otherwise).
int32_t split_path_a(const char* text, Path* path) {
  if (!text) return kOk;
  size_t bytes = std::strlen(text);
  if (bytes > kMaxAnsiPathBytes) return kErrInvalidParameter;
  std::u16string units = utf8_to_utf16(std::string_view(text, bytes));
  if (units.size() > kMaxAnsiPathUnits) return kErrMoreData;
  return split_path(units, path);
}

// ---- The build's text as the stand-in holds it: the only place the widths
// differ. The wide build's tchar is a UTF-16 unit already; the narrow build's
// text is UTF-8, converted as Windows' A functions convert (a byte that is not
// UTF-8 becomes U+DC80 + byte, and back).
#if defined(KX_WIDE)
std::u16string to_units(const tchar* text) { return text ? std::u16string(text) : u""; }
std::u16string from_units(const std::u16string& units) { return units; }
int32_t split_path_t(const tchar* text, Path* path) { return text ? split_path(text, path) : kOk; }
// String data of a value, from the caller's bytes to the stored UTF-16, and back.
std::string text_to_stored(std::string_view bytes) { return std::string(bytes); }
std::string stored_to_text(const std::string& stored) { return stored; }
#else
std::u16string to_units(const tchar* text) { return text ? utf8_to_utf16(text) : u""; }
std::string from_units(const std::u16string& units) { return utf16_to_utf8(units); }
int32_t split_path_t(const tchar* text, Path* path) { return split_path_a(text, path); }
std::string text_to_stored(std::string_view bytes) {
  std::u16string units = utf8_to_utf16(bytes);
  return std::string(reinterpret_cast<const char*>(units.data()), units.size() * 2);
}
std::string stored_to_text(const std::string& stored) { return utf16_to_utf8(units_of(stored)); }
#endif

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

int32_t reg_begin_batch() {
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

int32_t reg_end_batch() {
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

uint64_t key_name_hash(const tchar* name) noexcept {
  // FNV-1a over the folded UTF-16 units: the registry's own comparison.
  uint64_t h = 1469598103934665603ull;
  try {
    for (char16_t unit : fold(to_units(name))) {
      h = (h ^ static_cast<uint16_t>(unit)) * 1099511628211ull;
    }
    if (h == 0) h = 1;  // 0 says the hash could not be had
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return h;
}

}  // namespace kx::plat
