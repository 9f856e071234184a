#include "store/journal.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

namespace kx {

namespace {

using journal::FileHeader;
using journal::RecordHead;

std::atomic<uint32_t> g_files_made{0};

// A second view beyond this is more than a pending burst needs; past it the
// journal turns off until the queue empties. 32-bit hosts have 2 GB in all.
constexpr std::size_t kMaxSecondView = sizeof(void*) == 4 ? (64u << 20) : (1024u << 20);
// A second view larger than this is given up once the store has been idle a
// while (shrink); smaller ones stay mapped for the next burst.
constexpr std::size_t kKeptSecondView = 256u << 10;

constexpr std::size_t kPrefetchAhead = 256;

// A file whose records reach this far is reused from its start once its
// records left fit before them (reuse_space).
constexpr uint64_t kReuseFrom = journal::kFirstViewBytes / 2;
// The most copied at once, under the store's lock: more than a second of
// records at the registry's pace. A larger backlog (a registry refusing
// writes for a while) grows the file as before.
constexpr uint64_t kMostReused = 16u << 20;

// A counter is stored in one instruction, so a process killed at any point
// leaves it whole, with its tag.
static_assert(std::atomic<uint64_t>::is_always_lock_free, "counters live in shared pages");
// An offset is stored in a counter's 32 bits.
static_assert(journal::kFirstViewBytes + uint64_t{kMaxSecondView} <= UINT32_MAX,
              "offsets fit a counter");

std::atomic<uint64_t>& counter(FileHeader* h, uint64_t FileHeader::*field) {
  return *reinterpret_cast<std::atomic<uint64_t>*>(&(h->*field));
}

}  // namespace

int32_t Journal::open(const tchar* store_name) noexcept {
  release();
  std::size_t units = plat::str_len(store_name);
  if (units > journal::kMaxNameUnits) return kErrInvalidParameter;
  uint64_t hash = plat::key_name_hash(store_name);
  if (hash == 0) return kErrNotEnoughMemory;
  // <key hash>-<pid>-<time>-<count>: unique among live processes, and found
  // by the store's name in either width. The two libraries of one process
  // count apart (even and odd), for both may open a store within one tick of
  // the coarse clock.
  char name[plat::PendingFile::kMaxName];
  uint64_t created = plat::coarse_time();
  std::snprintf(name, sizeof name, "%016llx-%08x-%016llx-%u", static_cast<unsigned long long>(hash),
                plat::process_id(), static_cast<unsigned long long>(created),
                g_files_made.fetch_add(1) * 2 + (sizeof(tchar) == 2 ? 1u : 0u));
  char making[sizeof name + 8];
  std::snprintf(making, sizeof making, "%s%s", name, journal::kMakingSuffix);
  int32_t rc = file_.create(making);
  if (rc != kOk) return rc;
  rc = file_.resize(journal::kFirstViewBytes);
  if (rc == kOk &&
      !(first_ = static_cast<unsigned char*>(file_.map(0, journal::kFirstViewBytes)))) {
    rc = kErrNotEnoughMemory;
  }
  if (rc != kOk) {
    file_.remove();
    return rc;
  }
  // Its pages' first writes cost microseconds each: paid here, in KXInit,
  // rather than by the writes of the store's first burst.
  plat::PendingFile::prefault(first_, journal::kFirstViewBytes);
  FileHeader* h = header();
  std::memcpy(h->magic, journal::kMagic, sizeof h->magic);
  h->version = journal::kVersion;
  h->unit_bytes = sizeof(tchar);
  h->pid = plat::process_id();
  h->name_units = static_cast<uint32_t>(units);
  h->created = created;
  h->name_hash = hash;
  created_steps_ = created / journal::kStampTicks;
  std::memcpy(first_ + journal::kNameOffset, store_name, units * sizeof(tchar));
  h->check =
      journal::words_check(first_, offsetof(FileHeader, check)) ^
      journal::words_check(first_ + journal::kNameOffset, journal::align8(units * sizeof(tchar)));
  header_check_ = h->check;
  set_counter(&FileHeader::epoch, journal::Counter::kEpoch, 0);
  set_counter(&FileHeader::appended, journal::Counter::kAppended, 0);
  set_counter(&FileHeader::performed, journal::Counter::kPerformed, 0);
  // Only a whole header is ever found under the final name.
  std::strcat(name, journal::kSuffix);
  rc = file_.rename(name);
  if (rc != kOk) {
    file_.remove();
    release();
    return rc;
  }
  on_ = true;
  return kOk;
}

void Journal::set_counter(uint64_t FileHeader::*field, journal::Counter which,
                          uint32_t value) noexcept {
  // The epoch's own word is tagged with itself.
  set_counter_in(which == journal::Counter::kEpoch ? value : epoch_, field, which, value);
}

void Journal::set_counter_in(uint32_t epoch, uint64_t FileHeader::*field, journal::Counter which,
                             uint32_t value) noexcept {
  counter(header(), field)
      .store(journal::counter_word(which, value, epoch, header_check_), std::memory_order_release);
}

bool Journal::grow(uint64_t need) noexcept {
  std::size_t bytes = second_bytes_ ? second_bytes_ : journal::kFirstViewBytes;
  while (bytes < need) {
    if (bytes >= kMaxSecondView) return false;
    bytes *= 2;
  }
  if (file_.resize(journal::kFirstViewBytes + bytes) != kOk) return false;
  auto* view = static_cast<unsigned char*>(file_.map(journal::kFirstViewBytes, bytes));
  if (!view) return false;
  // The pages not yet written, in one go rather than a fault each.
  plat::PendingFile::prefault(view + second_bytes_, bytes - second_bytes_);
  plat::PendingFile::unmap(second_, second_bytes_);
  second_ = view;
  second_bytes_ = bytes;
  return true;
}

void Journal::append(const KXRECORD& record) noexcept {
  if (!on_) return;
  std::size_t name_units = record.name_units;
  const void* data = record.value.bytes;
  std::size_t data_bytes = 0;
  switch (record.type) {
    case TYPE_STRING: {
      static const tchar kEmpty[1] = {0};
      data = record.value.text ? record.value.text : kEmpty;
      data_bytes =
          (std::char_traits<tchar>::length(static_cast<const tchar*>(data)) + 1) * sizeof(tchar);
      break;
    }
    case TYPE_VALUE:
      data_bytes = 4;
      break;
    case TYPE_DOUBLE:
      data_bytes = 8;
      break;
    default:
      break;
  }
  if (name_units > UINT16_MAX || data_bytes > UINT32_MAX) {
    on_ = false;
    return;
  }
  std::size_t name_bytes = name_units * sizeof(tchar);
  std::size_t size = journal::record_size(sizeof(tchar), name_units, data_bytes);
  uint64_t offset = place(tail_, size);
  if (offset + size > journal::kFirstViewBytes + second_bytes_ &&
      !grow(offset + size - journal::kFirstViewBytes)) {
    on_ = false;
    return;
  }
  unsigned char* p = at(offset);
  // Read now, as the export runs: the order of two processes' records
  // after both die is the order of their stamps.
  uint64_t now = plat::coarse_time() / journal::kStampTicks;
  RecordHead head;
  head.stamp = now > created_steps_
                   ? static_cast<uint32_t>(std::min<uint64_t>(now - created_steps_, UINT32_MAX))
                   : 0;
  head.data_bytes = static_cast<uint32_t>(data_bytes);
  head.name_units = static_cast<uint16_t>(name_units);
  head.type = static_cast<uint8_t>(record.type);
  head.reserved = 0;
  // The check comes from the record's own copies: reading back the file's
  // bytes would wait for their cache line to arrive.
  head.check = journal::record_check(head, record.name, name_bytes, data, epoch_, appended_);
  // The cache line a few records on is asked for now: else the lock's
  // release after this export waits for this store's line to arrive.
  if (offset + size + kPrefetchAhead < journal::kFirstViewBytes + second_bytes_ &&
      (offset >= journal::kFirstViewBytes ||
       offset + size + kPrefetchAhead < journal::kFirstViewBytes)) {
    __builtin_prefetch(p + size + kPrefetchAhead, 1);
  }
  std::memcpy(p, &head, sizeof head);
  std::memcpy(p + sizeof head, record.name, name_bytes);
  if (record.type == TYPE_VALUE) {
    std::memcpy(p + sizeof head + name_bytes, data, 4);
  } else if (record.type == TYPE_DOUBLE) {
    std::memcpy(p + sizeof head + name_bytes, data, 8);
  } else {
    std::memcpy(p + sizeof head + name_bytes, data, data_bytes);
  }
  if (offset != tail_) skipped_at_ = tail_;
  tail_ = offset + size;
  set_counter(&FileHeader::appended, journal::Counter::kAppended, ++appended_);
}

std::size_t Journal::size_at(uint64_t offset) const noexcept {
  RecordHead head;
  std::memcpy(&head, at(offset), sizeof head);
  return journal::record_size(sizeof(tchar), head.name_units, head.data_bytes);
}

void Journal::took_out(std::size_t n) noexcept {
  if (!first_) return;
  // Past the records the file has; the others it never had.
  for (uint64_t i = taken_; i < taken_ + n && i < appended_ && front_ < tail_; ++i) {
    if (front_ == skipped_at_) front_ = journal::kFirstViewBytes;
    front_ += size_at(front_);
  }
  taken_ += n;
  // Records the file never had (it was off) count for nothing.
  set_counter(&FileHeader::performed, journal::Counter::kPerformed,
              static_cast<uint32_t>(taken_ < appended_ ? taken_ : appended_));
  set_counter(&FileHeader::front, journal::Counter::kFront, static_cast<uint32_t>(front_));
}

void Journal::restart() noexcept {
  if (!first_) return;
  // The counters move to the new epoch first, then the epoch: a process
  // killed between finds appended at 0 of the next epoch, which says that
  // nothing is left, while no record of the old epoch checks in the new one.
  uint32_t epoch = epoch_ + 1;
  set_counter_in(epoch, &FileHeader::appended, journal::Counter::kAppended, 0);
  set_counter_in(epoch, &FileHeader::performed, journal::Counter::kPerformed, 0);
  set_counter_in(epoch, &FileHeader::epoch, journal::Counter::kEpoch, epoch);
  epoch_ = epoch;
  appended_ = 0;
  taken_ = 0;
  tail_ = front_ = journal::kRecordsStart;
  skipped_at_ = retry_from_ = 0;
  on_ = true;
}

bool Journal::reuse_space() noexcept {
  // Within the first view there is nothing to gain: it is mapped and faulted
  // in whatever happens.
  if (!first_ || !on_ || taken_ >= appended_ || tail_ < kReuseFrom) return false;
  // The records left need tail_ - front_ bytes at the start, less the
  // first view's end they skipped: ruled out cheaply before they are walked.
  uint64_t needed = tail_ - front_;
  if (skipped_at_ >= front_) needed -= journal::kFirstViewBytes - skipped_at_;
  if (journal::kRecordsStart + needed > front_ || front_ < retry_from_ || needed > kMostReused) {
    return false;
  }
  // Their new places, from the start, which must all lie before front_: the
  // copies then overwrite nothing the file still needs until the counters
  // move to them.
  uint32_t count = static_cast<uint32_t>(appended_ - taken_);
  uint64_t to = journal::kRecordsStart, skipped = 0;
  for (uint64_t from = front_, i = 0; i < count; ++i) {
    if (from == skipped_at_) from = journal::kFirstViewBytes;
    std::size_t size = size_at(from);
    uint64_t placed = place(to, size);
    if (placed != to) skipped = to;
    to = placed + size;
    if (to > front_) {
      retry_from_ = to;  // not worth walking again before front_ gets there
      return false;
    }
    from += size;
  }
  // Copied with their stamps, checked anew for their new epoch and numbers.
  uint32_t epoch = epoch_ + 1;
  to = journal::kRecordsStart;
  uint64_t from = front_;
  for (uint32_t seq = 0; seq < count; ++seq) {
    if (from == skipped_at_) from = journal::kFirstViewBytes;
    std::size_t size = size_at(from);
    to = place(to, size);
    unsigned char* p = at(to);
    std::memcpy(p, at(from), size);
    RecordHead head;
    std::memcpy(&head, p, sizeof head);
    std::size_t name_bytes = head.name_units * sizeof(tchar);
    head.check = journal::record_check(head, p + sizeof head, name_bytes,
                                       p + sizeof head + name_bytes, epoch, seq);
    std::memcpy(p, &head.check, sizeof head.check);
    from += size;
    to += size;
  }
  // The count of the new epoch first: a process killed from here on leaves
  // a file read in the new epoch, whose records are all whole by now (the
  // recovery takes a count of the next epoch for the epoch). Before it, the
  // old epoch's records are untouched. The members follow the words: the
  // exit drain, which may run after this thread was ended anywhere, counts
  // in whichever epoch the words are.
  set_counter_in(epoch, &FileHeader::appended, journal::Counter::kAppended, count);
  set_counter_in(epoch, &FileHeader::performed, journal::Counter::kPerformed, 0);
  set_counter_in(epoch, &FileHeader::front, journal::Counter::kFront, journal::kRecordsStart);
  set_counter_in(epoch, &FileHeader::epoch, journal::Counter::kEpoch, epoch);
  epoch_ = epoch;
  appended_ = count;
  taken_ = 0;
  front_ = journal::kRecordsStart;
  tail_ = to;
  skipped_at_ = skipped;
  retry_from_ = 0;
  return true;
}

void Journal::resume() noexcept {
  if (!first_ || on_) return;
  if (taken_ > appended_) {
    taken_ = appended_;
    set_counter(&FileHeader::performed, journal::Counter::kPerformed, appended_);
  }
  on_ = true;
}

bool Journal::oversized() const noexcept { return second_bytes_ > kKeptSecondView; }

void Journal::shrink() noexcept {
  if (!oversized() || appended_ != 0) return;
  plat::PendingFile::unmap(second_, second_bytes_);
  second_ = nullptr;
  second_bytes_ = 0;
  file_.resize(journal::kFirstViewBytes);
}

void Journal::unmap_views() noexcept {
  plat::PendingFile::unmap(first_, journal::kFirstViewBytes);
  plat::PendingFile::unmap(second_, second_bytes_);
  first_ = second_ = nullptr;
  second_bytes_ = 0;
}

void Journal::finish() noexcept {
  if (!first_) return;
  unmap_views();
  file_.remove();
  on_ = false;
}

void Journal::forget_after_fork() noexcept {
  unmap_views();
  file_.forget_after_fork();
  on_ = false;
  appended_ = 0;
  taken_ = 0;
  tail_ = front_ = journal::kRecordsStart;
  skipped_at_ = retry_from_ = 0;
}

void Journal::release() noexcept {
  unmap_views();
  file_.close();
  on_ = false;
  epoch_ = 0;
  appended_ = 0;
  taken_ = 0;
  tail_ = front_ = journal::kRecordsStart;
  skipped_at_ = retry_from_ = 0;
}

}  // namespace kx
