#include "store/store.h"

#include <algorithm>
#include <cstring>

#include "store/store_test_helper.h"

namespace kx {

namespace {
constexpr uint32_t kPaceMs = 100;              // one record per pass while open
constexpr int kBatchRecords = 256;             // records per registry transaction when draining
constexpr uint32_t kLongestNameUnits = 65535;  // beyond any registry value name
// A value that outgrows a string read's buffer more often than this in a row
// is reported as the registry gives it.
constexpr int kStringReadTries = 32;
constexpr uint32_t kStringReadMaxBytes = 1u << 30;
// A string read tries a buffer of this many units on the stack first.
constexpr std::size_t kSmallTextUnits = 128;
std::atomic<bool> g_hold{false};  // testing::hold_queue_threads
// An idle store keeps a burst's large pending file mapped this long.
constexpr uint32_t kShrinkAfterMs = 5000;
// A record the registry refuses for a passing reason (a full disk, another
// program's lock) is tried again after a pause that doubles up to this.
constexpr uint32_t kLongestRetryMs = 1000;
// Closing gives up on such a record once this long has passed with no
// record performed, leaving the rest in the pending file.
constexpr uint32_t kCloseGivesUpMs = 5000;
// A record that has waited this long is no longer paced: the thread performs
// every record that old, in order, then takes up the pace again. The pace
// keeps a burst from hammering the registry; this keeps other processes
// from falling behind a host that writes faster than ten records a second.
constexpr uint64_t kCatchUpAfterMs = 1000;
// The most records a pending file that turned off starts over with at once,
// under the store's lock: a second of a fast writer's.
constexpr std::size_t kRejoinRecords = 262144;

// A fresh string of the first units of from, terminated; null without memory.
tchar* copy_units(const tchar* from, std::size_t units) noexcept {
  tchar* copy = alloc_string(units + 1);
  if (!copy) return nullptr;
  std::memcpy(copy, from, units * sizeof(tchar));
  copy[units] = 0;
  return copy;
}
}  // namespace

void testing::hold_queue_threads(bool hold) noexcept { g_hold.store(hold); }

// ---- Construction and closing -------------------------------------------------

KXDATA::KXDATA(tchar* name, plat::Key store_key, plat::Mutex& lock, int32_t* journal_rc) noexcept
    : queue_lock(lock), name_(name), key(store_key) {
  *journal_rc = journal_.open(name);
}

KXDATA* KXDATA::create(const tchar* name, plat::Key key, plat::Mutex& queue_lock, void* pin,
                       int32_t* error) noexcept {
  *error = kErrNotEnoughMemory;
  tchar* own_name = dup_string(name);
  int32_t journal_rc = kOk;
  KXDATA* store = own_name ? new KXDATA(own_name, key, queue_lock, &journal_rc) : nullptr;
  if (!store) {
    free_string(own_name);
    plat::reg_close_key(key);
    return nullptr;
  }
  // Out of descriptors the store would run without its file, and lose its
  // writes to a crash: the host is told instead.
  bool refused = journal_rc == kErrTooManyOpenFiles;
  if (refused) *error = journal_rc;
  if (refused || !store->wake_.ok() || !store->drained_.ok() ||
      !store->thread.start(&KXDATA::queue_thread, store, pin)) {
    // Never opened: nothing to drain.
    store->closing = 1;
    plat::reg_close_key(key);
    store->key_closed_ = true;
    delete store;
    return nullptr;
  }
  return store;
}

KXDATA::~KXDATA() NO_THREAD_SAFETY_ANALYSIS {
  if (closing.load() == 0) close();
  // No call can reach the store now, so its lock is not needed (and may
  // already be a later store's).
  release_all();
  free_string(name_);
  // Records queued after close() are destroyed unwritten with the queue.
}

int32_t KXDATA::close() noexcept {
  if (closing.exchange(1) != 0) return close_result_;
  {
    plat::Lock<plat::Mutex> lock(queue_lock);
    release_all();
  }
  wake_.set();
  if (thread.started() && !thread.cancel()) {
    // However long the drain takes (a long queue, a slow registry), the key
    // and the queue must outlive the thread's use of them: no time limit.
    // The thread's end is not waited for: it may need the loader lock.
    while (!drained_.wait(kPaceMs) && !thread.wait(0)) {
    }
    thread.let_go();
  } else {
    // A cancelled thread's records, or those of a store with no thread (a
    // forked child's that never wrote).
    drain_result_ = drain_here();
  }
  {
    plat::Lock<plat::Mutex> lock(queue_lock);
    if (queue.empty()) {
      journal_.finish();  // everything is in the registry: nothing to recover
    } else {
      // The records the file could not take when they came (a full disk)
      // are tried again, so the next opening has them if there is room now.
      journal_.resume();
      for (std::size_t i = journal_.holds(); i < queue.size(); ++i) journal_.append(queue.at(i));
      journal_.leave();  // the next opening completes the rest
    }
  }
  if (!key_closed_.exchange(true)) close_result_ = plat::reg_close_key(key);
  if (drain_result_ != kOk) close_result_ = drain_result_;
  return close_result_;
}

void KXDATA::drain_at_exit() noexcept {
  if (key_closed_.exchange(true)) return;
  // A record a dead thread was performing is performed again: sets and
  // deletes give the same result twice. Records the registry could not take
  // now stay in the pending file for the next opening.
  bool all = true;
  std::size_t performed = 0;
  queue.for_each_left([&](const KXRECORD& record) {
    if (!all) return;
    if (is_passing_failure(perform(record))) {
      all = false;
    } else {
      ++performed;
    }
  });
  journal_.took_out(performed);  // the next opening starts after them
  if (all) journal_.finish();
  plat::reg_close_key(key);
}

void KXDATA::adopt_after_fork() noexcept {
  taken_ = accepted_;
  queue.clear();
  journal_.forget_after_fork();
  journal_wanted_ = true;
  performing_ = false;
  listing_ = 0;
  wake_.reset_after_fork();
  drained_.reset_after_fork();
  // The thread is started by the child's first write (push).
  thread.forget_after_fork();
}

// ---- The queue thread ---------------------------------------------------------

int32_t KXDATA::perform(const KXRECORD& record) noexcept {
  switch (record.type) {
    case TYPE_STRING: {
      static const tchar kEmpty[1] = {0};
      const tchar* text = record.value.text ? record.value.text : kEmpty;
      uint32_t bytes = (plat::str_len(text) + 1) * sizeof(tchar);
      return plat::reg_set_value(key, record.name, kRegSz, text, bytes);
    }
    case TYPE_VALUE:
      return plat::reg_set_value(key, record.name, kRegDword, record.value.bytes, 4);
    case TYPE_DOUBLE:
      return plat::reg_set_value(key, record.name, kRegBinary, record.value.bytes, 8);
    case TYPE_DELETE:
      return plat::reg_delete_value(key, record.name);
  }
  return kOk;
}

// The records are performed without queue_lock: they stay at the front of
// the queue, where reads find them, until the registry has them, and only
// the performing thread takes records out, so their places hold meanwhile.
std::size_t KXDATA::perform_batch(std::size_t most, int32_t* failed) noexcept {
  const KXRECORD* batch[kBatchRecords];
  std::size_t n = 0;
  most = std::min<std::size_t>(most, kBatchRecords);
  {
    plat::Lock<plat::Mutex> lock(queue_lock);
    for (; n < most && n < queue.size(); ++n) batch[n] = &queue.at(n);
  }
  *failed = kOk;
  if (n == 0) return 0;
  int32_t rc = plat::reg_begin_batch();
  if (rc != 0) {
    *failed = rc;  // another program holds the registry: nothing was done
    return 0;
  }
  // Up to the first record refused for a passing reason, which stays first.
  auto perform_up_to = [&](std::size_t to, int32_t* why) {
    std::size_t i = 0;
    for (; i < to; ++i) {
      int32_t r = perform(*batch[i]);
      if (is_passing_failure(r)) {
        *why = r;
        break;
      }
    }
    return i;
  };
  std::size_t done = perform_up_to(n, failed);
  if (plat::reg_end_batch() != kOk) {
    // The transaction went and took the batch's writes with it: each again,
    // alone, so each record's outcome is its own.
    int32_t again = kOk;
    std::size_t redone = perform_up_to(done, &again);
    if (redone < done) *failed = again;
    done = redone;
  }
  plat::Lock<plat::Mutex> lock(queue_lock);
  for (std::size_t i = 0; i < done; ++i) queue.pop_front();
  took_out(done);
  return done;
}

void KXDATA::took_out(std::size_t n) noexcept {
  if (n == 0) return;
  taken_ += n;
  journal_.took_out(n);
  if (queue.empty()) {
    journal_.restart();
  } else if (!journal_.reuse_space() && journal_.spent_while_off() &&
             queue.size() <= kRejoinRecords) {
    // A burst the file had no room for turned it off; a writer that never
    // lets the queue empty would keep it off for good. It starts over with
    // what is queued now, in order, for as long as it has room.
    journal_.restart();
    for (std::size_t i = 0; i < queue.size() && journal_.holds() == i; ++i) {
      journal_.append(queue.at(i));
    }
  }
}

int32_t KXDATA::drain_here() noexcept {
  uint32_t retry_ms = kPaceMs, stuck_ms = 0;
  for (;;) {
    int32_t failed = kOk;
    std::size_t done = perform_batch(kBatchRecords, &failed);
    if (failed == kOk) {
      if (done == 0) return kOk;  // nothing left
      continue;
    }
    stuck_ms = done > 0 ? 0 : stuck_ms + retry_ms;
    retry_ms = done > 0 ? kPaceMs : std::min(retry_ms * 2, kLongestRetryMs);
    // Nothing has gone in for a while (a full disk, another program's lock):
    // the rest stays in the pending file, and closing reports why.
    if (stuck_ms >= kCloseGivesUpMs) return failed;
    plat::sleep_ms(retry_ms);
  }
}

bool KXDATA::perform_turn(Backlog* backlog, uint32_t* retry_ms) noexcept {
  const KXRECORD* next = nullptr;
  uint64_t behind = 0;  // records that have waited kCatchUpAfterMs
  {
    plat::Lock<plat::Mutex> lock(queue_lock);
    // Nothing while delete_prefix fetches names; performing_ tells it when
    // the records taken here are done.
    if (queue.empty() || listing_.load() != 0) return false;
    uint64_t now = plat::monotonic_ms();
    backlog->note(accepted_, now);
    uint64_t due = backlog->accepted_before(now, kCatchUpAfterMs);
    behind = due > taken_ ? due - taken_ : 0;
    next = &queue.front();
    performing_.store(true);
  }
  int32_t failed = kOk;
  if (behind > 0) {
    // Caught up in order, a batch per registry transaction, so the registry
    // never trails the host by much more than kCatchUpAfterMs.
    while (behind > 0 && closing.load() == 0) {
      std::size_t done = perform_batch(static_cast<std::size_t>(behind), &failed);
      behind -= std::min<uint64_t>(done, behind);
      if (failed != kOk || done == 0) break;
    }
    performing_.store(false);
  } else {
    // Out of the lock, as in perform_batch.
    int32_t rc = perform(*next);
    if (is_passing_failure(rc)) failed = rc;
    plat::Lock<plat::Mutex> lock(queue_lock);
    if (failed == kOk) {
      queue.pop_front();
      took_out(1);
    }
    performing_.store(false);
  }
  if (failed != kOk) {
    // A record the registry refused for a passing reason stays first and
    // is tried again, after a pause that grows while the refusals go on;
    // closing cuts that pause short.
    *retry_ms = std::min(*retry_ms * 2, kLongestRetryMs);
    wake_.wait(*retry_ms);
  } else {
    *retry_ms = kPaceMs / 2;
    plat::sleep_ms(kPaceMs);  // keeps the pace; not cut short by closing
  }
  return true;
}

uint32_t KXDATA::queue_thread(void* arg) {
  auto* store = static_cast<KXDATA*>(arg);
  Backlog backlog;
  uint32_t retry_ms = kPaceMs / 2;  // doubled before each pause after a refusal
  for (;;) {
    while (g_hold.load(std::memory_order_relaxed) && store->closing.load() == 0) {
      plat::sleep_ms(1);
    }
    if (store->closing.load() != 0) {
      // Draining: every record, in order, a batch per registry transaction.
      store->drain_result_ = store->drain_here();
      store->thread.finish(store->drained_);
      return 0;
    }
    if (!store->perform_turn(&backlog, &retry_ms)) store->wait_idle();
  }
}

void KXDATA::wait_idle() noexcept {
  bool oversized;
  {
    plat::Lock<plat::Mutex> lock(queue_lock);
    oversized = journal_.oversized();
  }
  if (wake_.wait(oversized ? kShrinkAfterMs : plat::kInfinite) || !oversized) return;
  plat::Lock<plat::Mutex> lock(queue_lock);
  if (queue.empty()) journal_.shrink();
}

// ---- Writes -------------------------------------------------------------------

int32_t KXDATA::enqueue(KXRECORD&& record) noexcept {
  plat::Lock<plat::Mutex> lock(queue_lock);
  return push(std::move(record));
}

int32_t KXDATA::push(KXRECORD&& record) noexcept {
  if (!record.complete()) return kErrNotEnoughMemory;
  bool was_empty = queue.empty();
  if (!queue.push(std::move(record))) return kErrNotEnoughMemory;
  ++accepted_;
  if (journal_wanted_) {
    journal_wanted_ = false;
    journal_.open(name_);
  }
  journal_.append(queue.back());
  // Under the lock, which is what keeps the store open for an export.
  if (was_empty) {
    // Only a forked child's store has no thread yet. Without one the records
    // wait for closing, which drains them.
    if (!thread.started()) thread.start(&KXDATA::queue_thread, this);
    wake_.set();
  }
  return kOk;
}

int32_t KXDATA::remove(const tchar* name) noexcept {
  return enqueue(make_record(name, TYPE_DELETE));
}

std::size_t KXDATA::pending() noexcept {
  plat::Lock<plat::Mutex> lock(queue_lock);
  return queue.size();
}

// ---- Reads --------------------------------------------------------------------

int32_t KXDATA::read_text(const tchar* name, tchar** text) noexcept {
  if (const KXRECORD* pending = queue.find_newest(TYPE_STRING, name)) {
    *text = pending->value.text ? dup_string(pending->value.text) : nullptr;
    return !pending->value.text || *text ? kOk : kErrNotEnoughMemory;
  }
  // Most stored texts are short: one query into the stack, then a copy of
  // just their size, rather than a query for the size and one for the data.
  tchar small[kSmallTextUnits];
  uint32_t bytes = sizeof small - sizeof(tchar);
  int32_t rc = plat::reg_query_value(key, name, nullptr, small, &bytes);
  if (rc == kOk) {
    if (bytes == 0) return kErrNotFound;
    *text = copy_units(small, bytes / sizeof(tchar));
    return *text ? kOk : kErrNotEnoughMemory;
  }
  if (rc != kErrMoreData) return rc;
  // The queue thread writes without queue_lock, so the value may grow
  // between the size and the data. Asked again with room for what it
  // holds then, and more each time: a value whose size keeps flipping
  // still fits in the end.
  for (int tries = 0;; ++tries) {
    // One unit more than the data: the text ends within what was read
    // even when the value was stored without a terminator.
    std::size_t units = bytes / sizeof(tchar) + 1;
    tchar* buffer = alloc_string(units);
    if (!buffer) return kErrNotEnoughMemory;
    std::memset(buffer, 0, units * sizeof(tchar));
    uint32_t got = bytes;
    rc = plat::reg_query_value(key, name, nullptr, buffer, &got);
    if (rc == kOk) {
      buffer[std::min<std::size_t>(got / sizeof(tchar), units - 1)] = 0;
      *text = buffer;
      return kOk;
    }
    free_string(buffer);
    if (rc != kErrMoreData || tries == kStringReadTries) return rc;
    bytes = std::max(got, bytes < kStringReadMaxBytes / 2 ? bytes * 2 : bytes);
  }
}

int32_t KXDATA::read_fixed(int32_t type, const tchar* name, void* out, uint32_t bytes) noexcept {
  // The caller's name is only looked at, so no copy of it is made.
  if (const KXRECORD* pending = queue.find_newest(type, name)) {
    std::memcpy(out, pending->value.bytes, bytes);
    return kOk;
  }
  uint32_t size = bytes;
  return plat::reg_query_value(key, name, nullptr, out, &size);
}

int32_t KXDATA::read_value(const tchar* name, int32_t* integer) noexcept {
  int32_t value = 0;
  int32_t rc = read_fixed(TYPE_VALUE, name, &value, sizeof value);
  if (rc == kOk) *integer = value;
  return rc;
}

int32_t KXDATA::read_double(const tchar* name, double* number) noexcept {
  double value = 0;
  int32_t rc = read_fixed(TYPE_DOUBLE, name, &value, sizeof value);
  if (rc == kOk) *number = value;
  return rc;
}

int32_t KXDATA::read_string(const tchar* name, tchar** text) noexcept {
  // The caller's name is only looked at, so no copy of it is made.
  tchar* copy = nullptr;
  int32_t rc = read_text(name, &copy);
  if (rc != kOk) return rc;
  // The buffer read is already a fresh copy: it is handed over as it is.
  if (!copy) {
    copy = alloc_string(1);
    if (!copy) return kErrNotEnoughMemory;
    copy[0] = 0;
  }
  rc = add_string(copy);
  if (rc == kOk) *text = copy;
  return rc;
}

// ---- Value names --------------------------------------------------------------

namespace {

// The value name at index in a fresh array, or the registry's code. Most
// names fit a first try into a stack buffer: one registry call. A longer one
// (kErrMoreData) is sized by the key's longest name and fetched again into a
// larger array while it still does not fit (written meanwhile, or wider in
// 8-bit text).
int32_t fetch_name(plat::Key key, uint32_t index, tchar** out) noexcept {
  constexpr uint32_t kFirstTryUnits = 256;
  tchar first[kFirstTryUnits];
  uint32_t length = kFirstTryUnits;
  int32_t rc = plat::reg_enum_value(key, index, first, &length);
  if (rc == kOk) {
    *out = copy_units(first, std::min(length, kFirstTryUnits - 1));
    return *out ? kOk : kErrNotEnoughMemory;
  }
  if (rc != kErrMoreData) return rc;
  uint32_t longest = 0;
  rc = plat::reg_query_info_key(key, nullptr, &longest);
  if (rc != kOk) return rc;
  longest = std::max(longest, kFirstTryUnits);
  for (;;) {
    uint32_t capacity = longest + 1;
    tchar* name = alloc_string(capacity);
    if (!name) return kErrNotEnoughMemory;
    length = capacity;
    rc = plat::reg_enum_value(key, index, name, &length);
    if (rc == kOk) {
      name[std::min(length, longest)] = 0;
      *out = name;
      return kOk;
    }
    free_string(name);
    if (rc != kErrMoreData || longest >= kLongestNameUnits) return rc;
    longest = std::min<uint32_t>(longest * 2 + 16, kLongestNameUnits);
  }
}

}  // namespace

int32_t KXDATA::get_key(uint32_t index, tchar** name) noexcept {
  tchar* fetched = nullptr;
  int32_t rc = fetch_name(key, index, &fetched);
  if (rc != kOk) return rc;
  rc = add_string(fetched);
  if (rc == kOk) *name = fetched;
  return rc;
}

int32_t KXDATA::count() noexcept {
  uint32_t values = 0;
  int32_t rc = plat::reg_query_info_key(key, &values, nullptr);
  return rc == kOk ? static_cast<int32_t>(values) : -rc;
}

int32_t KXDATA::delete_prefix(const tchar* prefix) noexcept {
  if (prefix[0] == 0) return kOk;
  // The queue thread holds off while the names are fetched; taking the lock
  // once lets a record it is performing finish first.
  listing_.fetch_add(1);
  // The queue thread takes a record and marks it under queue_lock, after
  // looking at listing_: one it took before lets go soon.
  for (;;) {
    {
      plat::Lock<plat::Mutex> lock(queue_lock);
      if (!performing_.load()) break;
    }
    plat::sleep_ms(1);
  }
  std::vector<tchar*, Allocator<tchar*>> names;
  int32_t rc = kOk;
  for (uint32_t index = 0;; ++index) {
    tchar* name = nullptr;
    if (fetch_name(key, index, &name) != kOk) break;
    try {
      names.push_back(name);
    } catch (...) {
      free_string(name);
      rc = kErrNotEnoughMemory;
      break;
    }
  }
  listing_.fetch_sub(1);
  wake_.set();
  for (tchar* name : names) {
    if (rc == kOk && plat::str_str(name, prefix) == name) rc = remove(name);
    free_string(name);
  }
  return rc;
}

// ---- Handed-out strings -------------------------------------------------------

int32_t KXDATA::add_string(tchar* s) noexcept {
  try {
    strings.push_back(s);
  } catch (...) {
    free_string(s);
    return kErrNotEnoughMemory;
  }
  return kOk;
}

void KXDATA::release_all() noexcept {
  for (tchar* s : strings) free_string(s);
  strings.clear();
  strings.shrink_to_fit();
}

int32_t KXDATA::release_one(const tchar* s) noexcept {
  auto it = std::find(strings.begin(), strings.end(), s);
  if (it == strings.end()) return -1;
  int32_t index = static_cast<int32_t>(it - strings.begin());
  tchar* found = *it;
  // Out of the list before it is freed: never listed and freed at once.
  strings.erase(it);
  free_string(found);
  return index;
}

}  // namespace kx
