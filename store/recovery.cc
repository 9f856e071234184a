#include "store/recovery.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

#include "store/journal_format.h"
#include "store/record.h"

namespace kx::recovery {

namespace {

using journal::FileHeader;
using journal::RecordHead;

constexpr std::size_t kBatchRecords = 256;
constexpr uint32_t kBusyWaitMs = 100;

// Opens a registry batch, waiting out another program's write lock for up
// to wait_ms without holding anything of ours.
int32_t begin_batch_patiently(uint32_t wait_ms) TRY_ACQUIRE(0, plat::registry_batch) {
  uint64_t until = plat::monotonic_ms() + wait_ms;
  for (;;) {
    int32_t rc = plat::reg_begin_batch();
    if (rc != kErrBusy || plat::monotonic_ms() >= until) return rc;
    plat::sleep_ms(kBusyWaitMs);
  }
}

std::string prefix_of(uint64_t name_hash) {
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "%016llx-", static_cast<unsigned long long>(name_hash));
  return prefix;
}

// The file name with its suffix replaced.
std::string with_suffix(const std::string& file, const char* from, const char* to) {
  return file.substr(0, file.size() - std::strlen(from)) + to;
}

// A claimed file, mapped whole.
class Claimed {
 public:
  Claimed() = default;
  ~Claimed() {
    plat::PendingFile::unmap(view_, bytes_);
    file_.close();
  }
  Claimed(const Claimed&) = delete;
  Claimed& operator=(const Claimed&) = delete;

  // kOk once claimed and mapped; kErrLockViolation while its owner lives.
  // Unless keep_handle, the view is all that is kept (see recover()).
  int32_t claim(const std::string& name, bool keep_handle) {
    int32_t rc = file_.claim(name.c_str());
    if (rc != kOk) return rc;
    uint64_t size = file_.size();
    if (size > SIZE_MAX) return kErrNotEnoughMemory;
    bytes_ = static_cast<std::size_t>(size);
    if (bytes_ >= sizeof(FileHeader)) {
      view_ = static_cast<unsigned char*>(file_.map(0, bytes_));
      if (!view_) return kErrNotEnoughMemory;
    }
    // The view is enough from here on: a store may have more orphans than
    // the process has descriptors.
    if (!keep_handle) file_.let_go_of_handle();
    return kOk;
  }
  // The header, when the whole of it and the name check.
  const FileHeader* header() const {
    if (!view_ || bytes_ < journal::kFirstViewBytes) return nullptr;
    auto* h = reinterpret_cast<const FileHeader*>(view_);
    if (std::memcmp(h->magic, journal::kMagic, sizeof h->magic) != 0 ||
        h->version != journal::kVersion || (h->unit_bytes != 1 && h->unit_bytes != 2) ||
        h->name_units > journal::kMaxNameUnits) {
      return nullptr;
    }
    uint64_t check = journal::words_check(view_, offsetof(FileHeader, check)) ^
                     journal::words_check(view_ + journal::kNameOffset,
                                          journal::align8(h->name_units * h->unit_bytes));
    return check == h->check ? h : nullptr;
  }
  std::atomic<uint64_t>& counter(uint64_t FileHeader::*field) {
    return *reinterpret_cast<std::atomic<uint64_t>*>(
        &(reinterpret_cast<FileHeader*>(view_)->*field));
  }
  // The record of number seq at offset (or, for one that did not fit the
  // first view, at its end); null when there is none whole there.
  const RecordHead* record_at(uint64_t* offset, uint32_t epoch, uint32_t seq) const {
    if (const RecordHead* r = parse(*offset, epoch, seq)) return r;
    if (*offset < journal::kFirstViewBytes) {
      uint64_t next = journal::kFirstViewBytes;
      if (const RecordHead* r = parse(next, epoch, seq)) {
        *offset = next;
        return r;
      }
    }
    return nullptr;
  }
  // The offset of a record found by record_at.
  uint64_t offset_of(const RecordHead* r) const {
    return static_cast<uint64_t>(reinterpret_cast<const unsigned char*>(r) - view_);
  }
  plat::PendingFile& file() { return file_; }
  // Deletes the file; Windows refuses while a view of it is mapped.
  void remove() {
    plat::PendingFile::unmap(view_, bytes_);
    view_ = nullptr;
    file_.remove();
  }
  const std::string name() const { return file_.name(); }

 private:
  const RecordHead* parse(uint64_t offset, uint32_t epoch, uint32_t seq) const {
    if (offset + sizeof(RecordHead) > bytes_) return nullptr;
    auto* r = reinterpret_cast<const RecordHead*>(view_ + offset);
    std::size_t unit = reinterpret_cast<const FileHeader*>(view_)->unit_bytes;
    uint64_t size = journal::record_size(unit, r->name_units, r->data_bytes);
    if (offset + size > bytes_ ||
        (offset < journal::kFirstViewBytes && offset + size > journal::kFirstViewBytes) ||
        r->type > TYPE_DELETE) {
      return nullptr;
    }
    uint32_t want = r->type == TYPE_VALUE ? 4 : r->type == TYPE_DOUBLE ? 8 : 0;
    if (r->type == TYPE_STRING) {
      if (r->data_bytes < unit || r->data_bytes % unit != 0) return nullptr;
    } else if (r->data_bytes != want) {
      return nullptr;
    }
    const unsigned char* name = view_ + offset + sizeof(RecordHead);
    if (journal::record_check(*r, name, r->name_units * unit, name + r->name_units * unit, epoch,
                              seq) != r->check) {
      return nullptr;
    }
    return r;
  }

  plat::PendingFile file_;
  unsigned char* view_ = nullptr;
  std::size_t bytes_ = 0;
};

// One orphaned file's records still to perform, in order.
struct Source {
  std::unique_ptr<Claimed> file;
  uint32_t unit = 0;  // the file's width: 2 or 1 bytes
  std::vector<const RecordHead*> records;
  std::size_t next = 0;
  uint32_t first_seq = 0;  // the seq of records[0]
  uint32_t epoch = 0;
  uint64_t header_check = 0;
  uint64_t created = 0;  // in stamp steps
  bool damaged = false;  // a record after the sound ones does not check
  bool unsound = false;  // the counters do not check: nothing is replayed
  // Writes how far the replay has come into the file.
  void record_progress() {
    file->counter(&FileHeader::performed)
        .store(journal::counter_word(journal::Counter::kPerformed,
                                     first_seq + static_cast<uint32_t>(next), epoch, header_check),
               std::memory_order_release);
    if (!records.empty()) {
      // Past the last record once all are performed.
      const RecordHead* r = records[next < records.size() ? next : records.size() - 1];
      uint64_t offset = file->offset_of(r);
      if (next == records.size())
        offset += journal::record_size(unit, r->name_units, r->data_bytes);
      file->counter(&FileHeader::front)
          .store(journal::counter_word(journal::Counter::kFront, static_cast<uint32_t>(offset),
                                       epoch, header_check),
                 std::memory_order_release);
    }
  }
  // When a record was made, in stamp steps since 1601.
  uint64_t time_of(const RecordHead* r) const { return created + r->stamp; }
};

// The epoch and counters, when their words check. A restart moves appended,
// then performed, to the next epoch before the epoch itself: a file found
// between has nothing left.
bool read_counters(Claimed& f, const FileHeader* h, uint32_t* epoch, uint32_t* appended,
                   uint32_t* performed) {
  using journal::Counter;
  uint64_t e = f.counter(&FileHeader::epoch).load();
  *epoch = static_cast<uint32_t>(e);
  if (journal::counter_word(Counter::kEpoch, *epoch, *epoch, h->check) != e) return false;
  uint64_t a = f.counter(&FileHeader::appended).load();
  uint64_t p = f.counter(&FileHeader::performed).load();
  if (journal::counter_value(a, Counter::kAppended, *epoch, h->check, appended)) {
    return journal::counter_value(p, Counter::kPerformed, *epoch, h->check, performed) &&
           *performed <= *appended;
  }
  // Moving to the next epoch, whose count is stored first: a restart (none
  // left, as every record of the old epoch was performed) or a reuse of the
  // file's start (those left, copied there whole before the count).
  if (!journal::counter_value(a, Counter::kAppended, *epoch + 1, h->check, appended)) {
    return false;
  }
  ++*epoch;
  // A replay cut short records its progress in the epoch it read.
  if (!journal::counter_value(p, Counter::kPerformed, *epoch, h->check, performed) ||
      *performed > *appended) {
    *performed = 0;
  }
  return true;
}

// Reads the records after those performed, up to the first that is not
// whole. One past the count is taken too when it is whole: its export was
// ending when the process died.
void read_records(Source* s, Claimed& f, const FileHeader* h) {
  uint32_t epoch = 0, appended = 0, performed = 0;
  if (!read_counters(f, h, &epoch, &appended, &performed)) {
    s->unsound = true;
    return;
  }
  s->created = h->created / journal::kStampTicks;
  s->first_seq = performed;
  s->epoch = epoch;
  s->header_check = h->check;
  uint64_t offset = journal::kRecordsStart;
  uint32_t seq = 0;
  // From the first record not performed when the hint finds it there: the
  // performed ones before it may have been overwritten by a reuse of the
  // file's start that the writer did not live to count.
  uint32_t front = 0;
  uint64_t at = 0;
  if (performed > 0 &&
      journal::counter_value(f.counter(&FileHeader::front).load(), journal::Counter::kFront, epoch,
                             h->check, &front) &&
      f.record_at(&(at = front), epoch, performed)) {
    offset = at;
    seq = performed;
  }
  for (; seq <= appended; ++seq) {
    const RecordHead* r = f.record_at(&offset, epoch, seq);
    if (!r) {
      s->damaged = seq < appended;
      return;
    }
    if (seq >= performed) s->records.push_back(r);
    offset += journal::record_size(h->unit_bytes, r->name_units, r->data_bytes);
  }
}

// Performs a record in its file's width, whichever this library's is.
int32_t perform(plat::Key key, uint32_t unit, const RecordHead* r) {
  auto* p = reinterpret_cast<const unsigned char*>(r) + sizeof(RecordHead);
  // The name terminated, in units of 8 bytes so either width is aligned.
  std::vector<uint64_t> name((r->name_units * unit + unit) / 8 + 1, 0);
  std::memcpy(name.data(), p, r->name_units * unit);
  const unsigned char* data = p + r->name_units * unit;
  switch (r->type) {
    case TYPE_STRING: {
      // The text as it was handed over, terminated whatever it held.
      std::vector<uint64_t> text(r->data_bytes / 8 + 1, 0);
      std::memcpy(text.data(), data, r->data_bytes - unit);
      return plat::reg_set_value_in(key, unit, name.data(), kRegSz, text.data(), r->data_bytes);
    }
    case TYPE_VALUE:
      return plat::reg_set_value_in(key, unit, name.data(), kRegDword, data, 4);
    case TYPE_DOUBLE:
      return plat::reg_set_value_in(key, unit, name.data(), kRegBinary, data, 8);
    default:
      return plat::reg_delete_value_in(key, unit, name.data());
  }
}

// The source whose next record was made first: by stamp, then by the file's
// age; each file's own records stay in their order.
Source* earliest(std::vector<Source>& sources) {
  Source* best = nullptr;
  for (Source& s : sources) {
    if (s.next == s.records.size()) continue;
    if (!best) {
      best = &s;
      continue;
    }
    uint64_t a = s.time_of(s.records[s.next]), b = best->time_of(best->records[best->next]);
    if (a < b || (a == b && s.created < best->created)) best = &s;
  }
  return best;
}

// Performs records [from, to) of the batch on their own, one transaction
// each. The index of the first the registry refused for a passing reason,
// with *rc, or to.
std::size_t perform_alone(plat::Key key, Source* const* batch, std::size_t to, int32_t* rc) {
  std::size_t i = 0;
  for (; i < to; ++i) {
    Source* s = batch[i];
    int32_t r;
    try {
      r = perform(key, s->unit, s->records[s->next]);
    } catch (const std::bad_alloc&) {
      r = kErrNotEnoughMemory;  // a passing failure: the batch still ends
    }
    if (is_passing_failure(r)) {
      *rc = r;
      return i;
    }
    ++s->next;  // done, or refused for itself: dropped
  }
  return i;
}

// Performs every source's records in the order they were made, a batch per
// registry transaction, and writes each file's progress after each batch.
// Stops at a record the registry refuses for a passing reason, whose code it
// gives; the records from there on stay in their files.
int32_t replay(plat::Key key, std::vector<Source>& sources, uint32_t lock_wait_ms,
               uint32_t* performed) {
  for (;;) {
    Source* batch[kBatchRecords];
    std::size_t n = 0;
    std::vector<std::size_t> starts;
    for (Source& s : sources) starts.push_back(s.next);
    for (; n < kBatchRecords; ++n) {
      Source* s = earliest(sources);
      if (!s) break;
      batch[n] = s;
      ++s->next;
    }
    if (n == 0) return kOk;
    // Taken back, then performed in the order chosen.
    auto take_back = [&] {
      for (std::size_t i = 0; i < sources.size(); ++i) sources[i].next = starts[i];
    };
    take_back();
    // Another program's write lock is waited for without the registry's
    // mutex; then the opening answers kErrBusy.
    int32_t rc = begin_batch_patiently(lock_wait_ms);
    if (rc != 0) return rc;
    int32_t failed = kOk;
    std::size_t done = perform_alone(key, batch, n, &failed);
    if (plat::reg_end_batch() != kOk) {
      // The transaction went: each again, alone.
      take_back();
      int32_t again = kOk;
      std::size_t redone = perform_alone(key, batch, done, &again);
      if (redone < done) failed = again;
      done = redone;
    }
    *performed += static_cast<uint32_t>(done);
    for (Source& s : sources) s.record_progress();
    if (failed != kOk) return failed;
  }
}

// Claims name's orphaned files named by hash, of either width, removing
// those left half made and keeping aside, unreplayed, those whose header,
// counters or store do not check. kOk, or why they could not all be listed
// or claimed.
int32_t claim_named_by(uint64_t hash, bool exclusive, std::vector<Source>* sources,
                       Outcome* outcome) {
  // The key's name hash: a collision of two stores' is a chance of 2^-64,
  // and the header's own copy of it is checked too.
  std::string prefix = prefix_of(hash);
  std::vector<std::string> files;
  int32_t rc = plat::list_pending_files(prefix.c_str(), journal::kMakingSuffix, &files);
  if (rc != kOk) return rc;
  for (const std::string& f : files) {
    plat::PendingFile made;
    rc = made.claim(f.c_str());
    if (rc == kOk) made.remove();  // its maker died making it
  }
  rc = plat::list_pending_files(prefix.c_str(), journal::kSuffix, &files);
  if (rc != kOk) return rc;
  for (const std::string& f : files) {
    Source s;
    s.file = std::make_unique<Claimed>();
    rc = s.file->claim(f, !exclusive);
    if (rc == kErrLockViolation || rc == kErrFileNotFound) continue;  // alive, or gone meanwhile
    if (rc != kOk) return rc;
    const FileHeader* h = s.file->header();
    if (h && h->name_hash == hash) read_records(&s, *s.file, h);
    if (!h || h->name_hash != hash || s.unsound) {
      s.file->file().rename(with_suffix(f, journal::kSuffix, journal::kKeptSuffix).c_str());
      ++outcome->kept;
      continue;
    }
    s.unit = h->unit_bytes;
    sources->push_back(std::move(s));
  }
  return kOk;
}

// Claims name's orphaned files under every hash they may be named by, those
// of earlier builds included: replay orders them all by when their records
// were made.
int32_t claim_orphans(const tchar* name, bool exclusive, std::vector<Source>* sources,
                      Outcome* outcome) {
  uint64_t hashes[plat::kMaxPendingFileHashes];
  std::size_t n = plat::pending_file_hashes(name, hashes);
  if (n == 0) return kErrNotEnoughMemory;
  for (std::size_t i = 0; i < n; ++i) {
    if (int32_t rc = claim_named_by(hashes[i], exclusive, sources, outcome)) return rc;
  }
  return kOk;
}

}  // namespace

Outcome recover(const tchar* name, plat::Key key, uint32_t lock_wait_ms, bool exclusive) noexcept {
  Outcome outcome;
  try {
    std::vector<Source> sources;
    // Files that could not all be claimed are not replayed at all: one left
    // out may hold records older than those of the others.
    outcome.error = claim_orphans(name, exclusive, &sources, &outcome);
    if (outcome.error != kOk || sources.empty()) return outcome;
    outcome.error = replay(key, sources, lock_wait_ms, &outcome.records);
    for (Source& s : sources) {
      if (s.next < s.records.size()) continue;  // stays, with its progress
      plat::PendingFile& f = s.file->file();
      if (s.damaged) {
        f.rename(with_suffix(f.name(), journal::kSuffix, journal::kKeptSuffix).c_str());
        ++outcome.kept;
      } else {
        s.file->remove();
        ++outcome.files;
      }
    }
  } catch (const std::bad_alloc&) {
    // What was not completed stays in its files for the next open.
    outcome.error = kErrNotEnoughMemory;
  }
  return outcome;
}

int32_t discard(const tchar* name, bool exclusive) noexcept {
  try {
    Outcome ignored;
    std::vector<Source> sources;
    int32_t rc = claim_orphans(name, exclusive, &sources, &ignored);
    for (Source& s : sources) s.file->remove();
    return rc;
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
}

int32_t survey(std::vector<FileInfo>* out) noexcept {
  out->clear();
  try {
    std::vector<std::string> files;
    int32_t rc = plat::list_pending_files("", "", &files);
    if (rc != kOk) return rc;
    for (const std::string& f : files) {
      FileInfo info;
      info.file = f;
      bool kept = f.size() > std::strlen(journal::kKeptSuffix) &&
                  f.compare(f.size() - std::strlen(journal::kKeptSuffix), std::string::npos,
                            journal::kKeptSuffix) == 0;
      Claimed c;
      rc = c.claim(f, true);
      if (rc == kErrLockViolation) {
        info.owner_alive = true;
        out->push_back(std::move(info));
        continue;
      }
      if (rc != kOk) continue;
      const FileHeader* h = c.header();
      info.damaged = kept || !h;
      if (h) {
        info.pid = h->pid;
        info.unit_bytes = h->unit_bytes;
        info.created = h->created;
        info.name_bytes.assign(reinterpret_cast<const char*>(h) + journal::kNameOffset,
                               h->name_units * h->unit_bytes);
        Source s;
        read_records(&s, c, h);
        info.pending = static_cast<uint32_t>(s.records.size());
        info.damaged = info.damaged || s.damaged || s.unsound;
      }
      out->push_back(std::move(info));
    }
    return kOk;
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
}

}  // namespace kx::recovery
