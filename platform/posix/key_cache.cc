// The copy of one open key: its table of values, read without a lock, and
// its lifetime.
#include "platform/posix/key_cache.h"

#include <algorithm>

namespace kx::plat::posix {

namespace {

constexpr std::size_t words_for(std::size_t bytes) { return (bytes + 7) / 8; }

// The word of bytes at word index i, zero beyond their end.
uint64_t word_of(std::string_view bytes, std::size_t i) {
  uint64_t word = 0;
  std::memcpy(&word, bytes.data() + 8 * i, std::min<std::size_t>(8, bytes.size() - 8 * i));
  return word;
}

}  // namespace

// A copy's entries, in atomic words: in blocks that never move once made,
// each at least twice the one before, so the copy grows without copying and a
// reader may be anywhere in it while the writer appends. An entry lies in one
// block, named by block << kOffsetBits | word. Emptied in place only while
// the copy's version is odd.
//
// An entry: its hash; name bytes << 32 | data bytes; type << 1 | present;
// the name's words, then the data's, the last of each zero-padded.
class KeyCache::Entries {
 public:
  static constexpr int kBlocks = 32;
  static constexpr int kOffsetBits = 27;
  static constexpr std::size_t kLargest = (std::size_t{1} << kOffsetBits) - 1;  // words

  Entries() = default;
  ~Entries() {
    for (auto& block : block_) delete[] block.load(std::memory_order_relaxed);
  }
  Entries(const Entries&) = delete;
  Entries& operator=(const Entries&) = delete;

  // The reader's: the words of block b and their number, or null.
  const std::atomic<uint64_t>* block(std::size_t b, std::size_t* size) const {
    if (b >= kBlocks) return nullptr;
    *size = size_[b].load(std::memory_order_relaxed);
    return block_[b].load(std::memory_order_acquire);
  }

  // The writer's: room for an entry of that many words, by name.
  uint32_t allocate(std::size_t words) {
    while (current_ < made_ && used_[current_] + words > size_[current_].load()) ++current_;
    if (current_ == made_) {
      if (made_ == kBlocks) throw std::bad_alloc();
      std::size_t size = made_ ? std::max(2 * size_[made_ - 1].load(), words) : 128;
      size = std::max(size, words);
      // Zeroed: a reader led astray by a stale slot reads zeros, no garbage.
      auto* fresh = new std::atomic<uint64_t>[size]();
      size_[made_].store(size, std::memory_order_relaxed);
      block_[made_].store(fresh, std::memory_order_release);
      ++made_;
    }
    auto name = static_cast<uint32_t>(current_ << kOffsetBits | used_[current_]);
    used_[current_] += words;
    return name;
  }
  void put(uint32_t name, std::size_t i, uint64_t word) {
    block_[name >> kOffsetBits].load(std::memory_order_relaxed)[(name & kLargest) + i].store(
        word, std::memory_order_relaxed);
  }
  // Every entry, in the order written: f(name, hash).
  template <class F>
  void for_each(F f) const {
    for (int b = 0; b <= current_ && b < made_; ++b) {
      const std::atomic<uint64_t>* words = block_[b].load(std::memory_order_relaxed);
      for (std::size_t at = 0; at < used_[b];) {
        uint64_t sizes = words[at + 1].load(std::memory_order_relaxed);
        f(static_cast<uint32_t>(b << kOffsetBits | at), words[at].load(std::memory_order_relaxed));
        at += 3 + words_for(sizes >> 32) + words_for(sizes & 0xFFFFFFFFu);
      }
    }
  }
  // Written from the first block again; the blocks are kept for the next copy.
  void empty() {
    for (auto& used : used_) used = 0;
    current_ = 0;
  }

 private:
  std::atomic<std::atomic<uint64_t>*> block_[kBlocks] = {};
  std::atomic<std::size_t> size_[kBlocks] = {};
  std::size_t used_[kBlocks] = {};  // the writer's only, as the rest below
  int current_ = 0;
  int made_ = 0;
};

// A copy's index of its entries by name: open addressing, at most half full,
// a slot holding an entry's name + 1. A slot is set (release) once its entry
// is whole. Replaced by a larger one when full; emptied in place only while
// the copy's version is odd.
class KeyCache::Index {
 public:
  explicit Index(std::size_t slots) : slots_(slots), slot_(new std::atomic<uint32_t>[slots]()) {}

  std::size_t slots() const { return slots_; }
  bool has_room() const { return (entries_ + 1) * 2 <= slots_; }
  void add(uint64_t hash, uint32_t name) {
    std::size_t mask = slots_ - 1;
    std::size_t s = hash & mask;
    while (slot_[s].load(std::memory_order_relaxed)) s = (s + 1) & mask;
    slot_[s].store(name + 1, std::memory_order_release);
    ++entries_;
  }
  void empty() {
    for (std::size_t i = 0; i < slots_; ++i) slot_[i].store(0, std::memory_order_relaxed);
    entries_ = 0;
  }

  // What may be read while the writer works: a torn or stale entry makes for
  // a mismatch, or an answer the copy's version then refuses, never a read
  // beyond a block.
  Lookup find(const Entries& entries, const FoldedName& name, Found* found) const noexcept {
    std::size_t mask = slots_ - 1;
    uint64_t hash = name.hash();
    for (std::size_t s = hash & mask, probes = 0; probes < slots_; s = (s + 1) & mask, ++probes) {
      uint32_t slot = slot_[s].load(std::memory_order_acquire);
      if (slot-- == 0) return Lookup::kMiss;
      std::size_t size = 0, at = slot & Entries::kLargest;
      const std::atomic<uint64_t>* words = entries.block(slot >> Entries::kOffsetBits, &size);
      if (!words || at + 3 > size || get(words, at) != hash) continue;
      uint64_t sizes = get(words, at + 1);
      std::size_t name_bytes = sizes >> 32, data_bytes = sizes & 0xFFFFFFFFu;
      std::size_t name_at = at + 3, data_at = name_at + words_for(name_bytes);
      std::size_t data_words = words_for(data_bytes);
      if (name_bytes != name.view().size() || data_at + data_words > size) continue;
      if (!same_name(words + name_at, name)) continue;
      uint64_t meta = get(words, at + 2);
      if (!(meta & 1)) return Lookup::kAbsent;
      found->type = static_cast<uint32_t>(meta >> 1);
      found->size = data_bytes;
      char* out = found->small;
      if (data_bytes > sizeof found->small) {
        try {
          found->large.resize(data_words * 8);
        } catch (...) {
          return Lookup::kMiss;
        }
        out = found->large.data();
      }
      for (std::size_t i = 0; i < data_words; ++i) {
        uint64_t word = get(words, data_at + i);
        std::memcpy(out + 8 * i, &word, 8);
      }
      if (data_bytes > sizeof found->small) found->large.resize(data_bytes);
      return Lookup::kValue;
    }
    return Lookup::kMiss;
  }

 private:
  static uint64_t get(const std::atomic<uint64_t>* words, std::size_t i) {
    return words[i].load(std::memory_order_relaxed);
  }
  static bool same_name(const std::atomic<uint64_t>* words, const FoldedName& name) {
    for (std::size_t i = 0; i < name.words(); ++i) {
      if (get(words, i) != name.word(i)) return false;
    }
    return true;
  }

  const std::size_t slots_;  // a power of two
  std::unique_ptr<std::atomic<uint32_t>[]> slot_;
  std::size_t entries_ = 0;  // the writer's only
};

KeyCache::KeyCache() = default;
KeyCache::~KeyCache() = default;

void KeyCache::reset(int64_t id) noexcept {
  // Freed out of the lock.
  std::unique_ptr<Index> index;
  std::unique_ptr<Entries> entries;
  std::vector<std::unique_ptr<Index>> outgrown;
  std::vector<Text> names;
  plat::Lock<CopyLock> lock(mu_);
  begin_change();
  index_.store(nullptr, std::memory_order_relaxed);
  entries_.store(nullptr, std::memory_order_relaxed);
  index.swap(own_index_);
  entries.swap(own_entries_);
  outgrown.swap(outgrown_);
  empty(&names);
  id_.store(id, std::memory_order_relaxed);
  number_.store(0, std::memory_order_relaxed);
  epoch_.store(0, std::memory_order_relaxed);
  end_change();
}

bool KeyCache::find_info(int64_t id, const CacheTag& tag, uint32_t* count, uint32_t* longest,
                         int32_t* rc) noexcept {
  plat::Lock<CopyLock> lock(mu_);
  if (!holds(id, tag) || !(gone() || info_)) return false;
  if (gone()) {
    *rc = kErrKeyDeleted;
    return true;
  }
  if (count) *count = count_;
  if (longest) *longest = longest_;
  *rc = kOk;
  return true;
}

KeyCache::Lookup KeyCache::look(int64_t id, const CacheTag& tag, const FoldedName& folded,
                                Found* found) const noexcept {
  uint64_t version = version_.load(std::memory_order_acquire);
  if ((version & 1) || !holds(id, tag)) return Lookup::kMiss;
  Lookup result = Lookup::kGone;
  if (!gone()) {
    const Index* index = index_.load(std::memory_order_acquire);
    const Entries* entries = entries_.load(std::memory_order_acquire);
    result = index && entries ? index->find(*entries, folded, found) : Lookup::kMiss;
  }
  // Whatever was read is the copy's as of one version, or is not used.
  std::atomic_thread_fence(std::memory_order_acquire);
  return version_.load(std::memory_order_relaxed) == version ? result : Lookup::kMiss;
}

void KeyCache::begin_change() {
  version_.store(version_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
}

void KeyCache::end_change() {
  version_.store(version_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

// Keeps the room: the next copy of the key is about as large.
void KeyCache::empty(std::vector<Text>* dropped) {
  if (own_index_) own_index_->empty();
  if (own_entries_) own_entries_->empty();
  gone_.store(false, std::memory_order_relaxed);
  absent_ = 0;
  info_ = false;
  listed_ = false;
  dropped->swap(names_);
}

void KeyCache::mark_gone(std::vector<Text>* dropped) {
  begin_change();
  empty(dropped);
  gone_.store(true, std::memory_order_relaxed);
  end_change();
}

void KeyCache::add(const FoldedName& folded, bool present, uint32_t type, std::string_view data) {
  std::size_t words = 3 + folded.words() + words_for(data.size());
  if (words > Entries::kLargest) return;  // a value of a gigabyte is read from the registry
  if (!own_entries_) {
    own_entries_ = std::make_unique<Entries>();
    entries_.store(own_entries_.get(), std::memory_order_release);
  }
  if (!own_index_ || !own_index_->has_room()) {
    // A larger index, published whole; a reader in the old one finds what it
    // held, which stays true for this tag.
    auto bigger = std::make_unique<Index>(own_index_ ? own_index_->slots() * 2 : 16);
    own_entries_->for_each([&](uint32_t name, uint64_t hash) { bigger->add(hash, name); });
    if (own_index_) outgrown_.reserve(outgrown_.size() + 1);
    index_.store(bigger.get(), std::memory_order_release);
    if (own_index_) outgrown_.push_back(std::move(own_index_));
    own_index_ = std::move(bigger);
  }
  uint32_t name = own_entries_->allocate(words);
  std::size_t w = 0;
  own_entries_->put(name, w++, folded.hash());
  own_entries_->put(name, w++, uint64_t{folded.view().size()} << 32 | data.size());
  own_entries_->put(name, w++, uint64_t{type} << 1 | (present ? 1 : 0));
  for (std::size_t i = 0; i < folded.words(); ++i) own_entries_->put(name, w++, folded.word(i));
  for (std::size_t i = 0; i < words_for(data.size()); ++i) {
    own_entries_->put(name, w++, word_of(data, i));
  }
  own_index_->add(folded.hash(), name);
  if (!present) ++absent_;
}

}  // namespace kx::plat::posix
