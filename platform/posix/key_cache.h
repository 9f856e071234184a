// A copy of one open key as the registry held it at one change: the values
// read so far, the count and longest name, and the value names in order.
// Reads that miss fill it; it is emptied once the registry has changed since,
// and freed when its key closes.
#pragma once

#include <sched.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/platform.h"

namespace kx::plat::posix {

// What a copy was loaded at: the change sequence's number, and this
// process's own count of the changes it learns of otherwise (another
// program's commit, the database opened anew).
struct CacheTag {
  uint64_t number = 0;
  uint64_t epoch = 0;
  bool operator==(const CacheTag& other) const {
    return number == other.number && epoch == other.epoch;
  }
  bool operator!=(const CacheTag& other) const { return !(*this == other); }
};

// A value name as the caller gave it, in the build's text.
using Text = std::basic_string<tchar>;

// The lock of the writers of one copy, and of its count and names. It is
// held only for work in memory, never across a call out; a waiter yields its
// core, which the holder may need.
class CAPABILITY("mutex") CopyLock {
 public:
  void lock() ACQUIRE() {
    while (held_.exchange(true, std::memory_order_acquire)) {
      while (held_.load(std::memory_order_relaxed)) sched_yield();
    }
  }
  void unlock() RELEASE() { held_.store(false, std::memory_order_release); }
  // In a forked child: free, whoever held it in the parent.
  void reset_after_fork() { held_.store(false, std::memory_order_relaxed); }

 private:
  std::atomic<bool> held_{false};
};

// A value name in its folded form, the database's lookup key and a copy's,
// followed by zeros up to a whole word, so that it is hashed and compared a
// word at a time. A short ASCII name is folded without the heap, straight
// into whole words: bytes stored one by one and read back as a word would
// stall the read.
class FoldedName {
 public:
  FoldedName() = default;
  FoldedName(const FoldedName&) = delete;
  FoldedName& operator=(const FoldedName&) = delete;

  // Folds name when it is ASCII and short: false otherwise, and then the
  // caller assigns the folded form it makes itself.
  __attribute__((always_inline)) bool fold_short(const tchar* name) {
    if (!name) name = kNone;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    int folded = fold_words(name);
    if (folded >= 0) return folded == 1;
#endif
    return fold_units(name);
  }

 private:
  // One unit at a time.
  bool fold_units(const tchar* name) {
    uint64_t hash = kSeed;
    // Four characters a word, each as a big-endian unit: 0, then the letter.
    for (std::size_t w = 0; w < kShortWords; ++w) {
      uint64_t word = 0;
      for (std::size_t k = 0; k < 4; ++k) {
        auto unit = static_cast<std::make_unsigned_t<tchar>>(name[4 * w + k]);
        if (unit == 0) {
          if (k) short_[w] = word;
          if (k) hash = mix(hash, word);
          data_ = reinterpret_cast<const char*>(short_);
          size_ = 2 * (4 * w + k);
          hash_ = finish(hash, size_);
          return true;
        }
        if (unit >= 0x80) return false;
        uint64_t folded = unit >= 'A' && unit <= 'Z' ? unit + 32 : unit;
        word |= folded << (16 * k + 8);
      }
      short_[w] = word;
      hash = mix(hash, word);
    }
    return false;  // longer
  }

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  // Eight bytes of the name at a time: 1 folded, 0 not short ASCII, -1 when
  // a load would cross into the next page (which may not be mapped), and
  // the caller goes a unit at a time. Bytes past the name's end are read
  // but masked off; they are within the page the end is in.
  int fold_words(const tchar* name) {
    constexpr uint64_t kLanes = sizeof(tchar) == 1 ? 0x0101010101010101ull : 0x0001000100010001ull;
    constexpr uint64_t kTops = kLanes * (sizeof(tchar) == 1 ? 0x80 : 0x8000);
    constexpr uint64_t kAscii = sizeof(tchar) == 1 ? kTops : kLanes * 0xFF80;
    constexpr unsigned kLaneBits = 8 * sizeof(tchar);
    constexpr std::size_t kPerLoad = 8 / sizeof(tchar);
    uint64_t hash = kSeed;
    std::size_t units = 0, w = 0;
    for (;;) {
      const tchar* at = name + units;
      if ((reinterpret_cast<uintptr_t>(at) & 4095) > 4096 - 8) return -1;
      uint64_t v = load8(at);
      // The first zero lane ends the name; lanes after it are dropped.
      uint64_t zeros = (v - kLanes) & ~v & kTops;
      std::size_t n =
          zeros ? static_cast<std::size_t>(__builtin_ctzll(zeros)) / kLaneBits : kPerLoad;
      if (n < kPerLoad) v &= (uint64_t{1} << (kLaneBits * n)) - 1;
      if (v & kAscii) return 0;
      // Each lane 'A' to 'Z' gets 32 added: its top bit says >= 'A' and
      // not > 'Z'; lanes below 0x80 carry into no other.
      uint64_t from_a = v + kLanes * ((kTops / kLanes) - 'A');
      uint64_t past_z = v + kLanes * ((kTops / kLanes) - 'Z' - 1);
      v += (from_a & ~past_z & kTops) >> (kLaneBits - 6);
      // Four units a word, each as a big-endian 16-bit unit.
      uint64_t words[2];
      std::size_t made = 0;
      if (sizeof(tchar) == 1) {
        words[0] = spread(v & 0xFFFFFFFFu);
        words[1] = spread(v >> 32);
        made = (n + 3) / 4;
      } else {
        words[0] = v << 8;
        made = n ? 1 : 0;
      }
      for (std::size_t i = 0; i < made; ++i) {
        if (w == kShortWords) return 0;
        short_[w++] = words[i];
        hash = mix(hash, words[i]);
      }
      units += n;
      if (n < kPerLoad) {
        data_ = reinterpret_cast<const char*>(short_);
        size_ = 2 * units;
        hash_ = finish(hash, size_);
        return 1;
      }
      if (w == kShortWords) return 0;  // longer
    }
  }
  // Bytes 0 to 3 of x as the high bytes of four 16-bit lanes.
  static uint64_t spread(uint64_t x) {
    x = (x | x << 16) & 0x0000FFFF0000FFFFull;
    x = (x | x << 8) & 0x00FF00FF00FF00FFull;
    return x << 8;
  }
  // May read past the end of the name's object, never past its page: what
  // the sanitizers would call an overflow or a race is masked off unused.
  __attribute__((no_sanitize_address, no_sanitize_thread)) static uint64_t load8(const void* p) {
    uint64_t v;
    __builtin_memcpy(&v, p, 8);
    return v;
  }
#endif

 public:
  void assign(std::string folded) {
    long_ = std::move(folded);
    size_ = long_.size();
    long_.append(8, '\0');
    data_ = long_.data();
    uint64_t hash = kSeed;
    for (std::size_t i = 0; i < words(); ++i) hash = mix(hash, word(i));
    hash_ = finish(hash, size_);
  }

  std::string_view view() const { return std::string_view(data_, size_); }
  std::size_t words() const { return (size_ + 7) / 8; }
  uint64_t word(std::size_t i) const {
    uint64_t w;
    std::memcpy(&w, data_ + 8 * i, 8);
    return w;
  }
  uint64_t hash() const { return hash_; }

 private:
  static constexpr std::size_t kShortWords = 16;  // 63 characters and the end
  static constexpr tchar kNone[1] = {0};
  static constexpr uint64_t kSeed = 0x243F6A8885A308D3ull;
  static constexpr uint64_t kMix = 0x9E3779B97F4A7C15ull;
  // One multiply a word, on the read path's chain. A multiply carries a bit
  // only upwards, so finish mixes twice: after the first fold, bit 31 and
  // above depend on every bit of the name, and after the second multiply
  // and fold so do the low bits an index slot is chosen by.
  static uint64_t mix(uint64_t hash, uint64_t word) { return (hash ^ word) * kMix; }
  static uint64_t finish(uint64_t hash, std::size_t size) {
    hash = (hash ^ size) * kMix;
    hash = (hash ^ (hash >> 32)) * kMix;
    return hash ^ (hash >> 32);
  }

  uint64_t short_[kShortWords];
  std::string long_;
  const char* data_ = nullptr;
  std::size_t size_ = 0;
  uint64_t hash_ = 0;
};

class KeyCache {
 public:
  // Names the copy's lock in the registry mutex's place in the lock order.
  friend class Registry;

  // At most this many names a key does not hold are remembered as missing:
  // the names a key holds bound the rest.
  static constexpr std::size_t kMaxAbsent = 256;

  KeyCache();
  ~KeyCache();
  KeyCache(const KeyCache&) = delete;
  KeyCache& operator=(const KeyCache&) = delete;

  // Empty, for the key id (0: the handle is closed); frees what was held.
  // Nobody may read the copy meanwhile: its handle is being opened or closed.
  void reset(int64_t id) noexcept EXCLUDES(mu_);

  // Each find answers from the copy when it holds the key id as of tag: true,
  // with *rc kErrKeyDeleted for a key that is gone. False when the registry
  // must be asked.
  //
  // The value of the folded name, without a lock: kErrFileNotFound for none,
  // else answer(type, data), data as the caller reads it.
  template <class Answer>
  bool find_value(int64_t id, const CacheTag& tag, const FoldedName& folded, Answer answer,
                  int32_t* rc) const noexcept;
  bool find_info(int64_t id, const CacheTag& tag, uint32_t* count, uint32_t* longest,
                 int32_t* rc) noexcept EXCLUDES(mu_);
  // The name at index: kErrNoMoreItems past the last, else answer(name).
  template <class Answer>
  bool find_name(int64_t id, const CacheTag& tag, uint32_t index, Answer answer,
                 int32_t* rc) noexcept EXCLUDES(mu_);

  // Each put keeps what a read of the registry found as of tag: rc kOk,
  // kErrFileNotFound (values only) or kErrKeyDeleted; other codes are not
  // kept. A copy of another tag is emptied for this one only while
  // current(tag) holds, so nothing older ever replaces anything newer.
  // Running out of memory leaves the copy without what was to be added.
  template <class Current>
  void put_value(int64_t id, const CacheTag& tag, Current current, int32_t rc,
                 const FoldedName& folded, uint32_t type, std::string_view data) noexcept
      EXCLUDES(mu_);
  template <class Current>
  void put_info(int64_t id, const CacheTag& tag, Current current, int32_t rc, uint32_t count,
                uint32_t longest) noexcept EXCLUDES(mu_);
  template <class Current>
  void put_names(int64_t id, const CacheTag& tag, Current current, int32_t rc,
                 std::vector<Text>&& names) noexcept EXCLUDES(mu_);

  // Around a fork (the registry's mutex held): no copy changes halfway. The
  // prepare handler takes the lock and the parent's lets it go.
  void lock_for_fork() noexcept NO_THREAD_SAFETY_ANALYSIS { mu_.lock(); }
  void unlock_for_fork() noexcept NO_THREAD_SAFETY_ANALYSIS { mu_.unlock(); }
  void reset_after_fork() noexcept { mu_.reset_after_fork(); }

 private:
  class Index;
  class Entries;
  // A value found without the lock, copied out before it is trusted.
  struct Found {
    uint32_t type = 0;
    std::size_t size = 0;
    char small[64];  // whole words
    std::string large;
    std::string_view data() const {
      return size <= sizeof small ? std::string_view(small, size) : std::string_view(large);
    }
  };
  enum class Lookup { kMiss, kValue, kAbsent, kGone };
  // Looks once; kMiss also when the copy changed meanwhile.
  Lookup look(int64_t id, const CacheTag& tag, const FoldedName& folded,
              Found* found) const noexcept;

  bool holds(int64_t id, const CacheTag& tag) const {
    return id != 0 && id_.load(std::memory_order_relaxed) == id &&
           number_.load(std::memory_order_relaxed) == tag.number &&
           epoch_.load(std::memory_order_relaxed) == tag.epoch;
  }
  // Makes the copy one of id as of tag, if it is not: emptied, but only
  // while current(tag) holds. False when it cannot be.
  template <class Current>
  bool take(int64_t id, const CacheTag& tag, Current current, std::vector<Text>* dropped)
      REQUIRES(mu_) {
    if (id == 0 || id_.load(std::memory_order_relaxed) != id) return false;
    if (holds(id, tag)) return true;
    if (!current(tag)) return false;
    begin_change();
    empty(dropped);
    number_.store(tag.number, std::memory_order_relaxed);
    epoch_.store(tag.epoch, std::memory_order_relaxed);
    end_change();
    return true;
  }
  // Before a put adds what a read found: the copy made one of id as of tag,
  // and marked gone when the read found the key deleted. False when there
  // is nothing to add.
  template <class Current>
  bool admit(int64_t id, const CacheTag& tag, Current current, int32_t rc,
             std::vector<Text>* dropped) REQUIRES(mu_) {
    if (!take(id, tag, current, dropped) || gone()) return false;
    if (rc == kErrKeyDeleted) {
      mark_gone(dropped);
      return false;
    }
    return true;
  }
  // Marks the copy gone (its key was deleted).
  void mark_gone(std::vector<Text>* dropped) REQUIRES(mu_);
  bool gone() const { return gone_.load(std::memory_order_relaxed); }
  // Around a change readers must not see halfway: the version odd meanwhile.
  void begin_change() REQUIRES(mu_);
  void end_change() REQUIRES(mu_);
  void empty(std::vector<Text>* dropped) REQUIRES(mu_);
  void add(const FoldedName& folded, bool present, uint32_t type, std::string_view data)
      REQUIRES(mu_);

  CopyLock mu_;
  // Read without the lock, under version_: even while the copy is whole.
  std::atomic<uint64_t> version_{0};
  std::atomic<int64_t> id_{0};
  std::atomic<uint64_t> number_{0};
  std::atomic<uint64_t> epoch_{0};
  std::atomic<bool> gone_{false};  // the key was deleted
  std::atomic<const Index*> index_{nullptr};
  std::atomic<const Entries*> entries_{nullptr};
  std::unique_ptr<Index> own_index_ GUARDED_BY(mu_);
  std::unique_ptr<Entries> own_entries_ GUARDED_BY(mu_);
  // Indexes outgrown: a reader may still be in one, so they are freed only
  // when the copy is reset, which no reader may be in.
  std::vector<std::unique_ptr<Index>> outgrown_ GUARDED_BY(mu_);
  std::size_t absent_ GUARDED_BY(mu_) = 0;
  bool info_ GUARDED_BY(mu_) = false;
  uint32_t count_ GUARDED_BY(mu_) = 0;
  uint32_t longest_ GUARDED_BY(mu_) = 0;
  bool listed_ GUARDED_BY(mu_) = false;
  std::vector<Text> names_ GUARDED_BY(mu_);
};

// ---- Templates ----

template <class Answer>
bool KeyCache::find_value(int64_t id, const CacheTag& tag, const FoldedName& folded, Answer answer,
                          int32_t* rc) const noexcept {
  Found found;
  switch (look(id, tag, folded, &found)) {
    case Lookup::kMiss:
      return false;
    case Lookup::kGone:
      *rc = kErrKeyDeleted;
      return true;
    case Lookup::kAbsent:
      *rc = kErrFileNotFound;
      return true;
    case Lookup::kValue:
      break;
  }
  *rc = answer(found.type, found.data());
  return true;
}

template <class Answer>
bool KeyCache::find_name(int64_t id, const CacheTag& tag, uint32_t index, Answer answer,
                         int32_t* rc) noexcept {
  plat::Lock<CopyLock> lock(mu_);
  if (!holds(id, tag) || !(gone() || listed_)) return false;
  if (gone()) {
    *rc = kErrKeyDeleted;
  } else if (index >= names_.size()) {
    *rc = kErrNoMoreItems;
  } else {
    *rc = answer(names_[index]);
  }
  return true;
}

template <class Current>
void KeyCache::put_value(int64_t id, const CacheTag& tag, Current current, int32_t rc,
                         const FoldedName& folded, uint32_t type, std::string_view data) noexcept {
  if (rc != kOk && rc != kErrFileNotFound && rc != kErrKeyDeleted) return;
  std::vector<Text> dropped;  // freed after the lock
  plat::Lock<CopyLock> lock(mu_);
  if (!admit(id, tag, current, rc, &dropped)) return;
  if (rc != kOk && absent_ >= kMaxAbsent) return;
  try {
    add(folded, rc == kOk, type, data);
  } catch (...) {
    // Not added: the copy is as it was.
  }
}

template <class Current>
void KeyCache::put_info(int64_t id, const CacheTag& tag, Current current, int32_t rc,
                        uint32_t count, uint32_t longest) noexcept {
  if (rc != kOk && rc != kErrKeyDeleted) return;
  std::vector<Text> dropped;  // freed after the lock
  plat::Lock<CopyLock> lock(mu_);
  if (!admit(id, tag, current, rc, &dropped)) return;
  info_ = true;
  count_ = count;
  longest_ = longest;
}

template <class Current>
void KeyCache::put_names(int64_t id, const CacheTag& tag, Current current, int32_t rc,
                         std::vector<Text>&& names) noexcept {
  if (rc != kOk && rc != kErrKeyDeleted) return;
  std::vector<Text> dropped;  // freed after the lock
  plat::Lock<CopyLock> lock(mu_);
  if (!admit(id, tag, current, rc, &dropped)) return;
  names_.swap(names);  // the caller frees what was there, after the lock
  listed_ = true;
}

}  // namespace kx::plat::posix
