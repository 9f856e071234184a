// The stand-in registry's connection: the database, its transactions and
// batches, the numbering of commits that tells copies of keys whether they
// are current, and what a fork does to all of it. The keys and values
// (registry.cc) go through it.
//
// Included by registry.cc alone.
#pragma once

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
#include <vector>

#include "platform/platform.h"
#include "platform/posix/change_sequence.h"
#include "platform/posix/internal.h"
#include "platform/posix/key_cache.h"
#include "platform/posix/open_keys.h"
#include "platform/posix/registry_file.h"
#include "platform/posix/sqlite.h"
#include "platform/posix/turnstile.h"

namespace kx::plat::posix {

inline constexpr int64_t kRootId = 1;

inline thread_local bool t_batch_open = false;  // this thread's begin_batch took the lock

// HKEY_CURRENT_USER: its address is the root's handle, always open.
struct RootKey {};
inline RootKey g_root;

// ---- Process-wide state ----

// A parent's connection a forked child never needed, at unloading.
inline sqlite3* g_inherited_connection = nullptr;

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
inline bool file_identity(const std::string& path, uint64_t* device, uint64_t* inode) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  *device = static_cast<uint64_t>(st.st_dev);
  *inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

inline int64_t data_version(sqlite3* db) {
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
  // the mutex stays held until end_batch; the loop that waits is more than
  // the analysis can follow inside.
  int32_t begin_batch() TRY_ACQUIRE(0, mu_) NO_THREAD_SAFETY_ANALYSIS {
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

  int32_t end_batch() RELEASE(mu_) NO_THREAD_SAFETY_ANALYSIS {
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

  // Before any copy's lock (library/library.h, 4 and 5).
  RegistryMutex mu_ ACQUIRED_BEFORE(KeyCache::mu_);
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

}  // namespace kx::plat::posix
