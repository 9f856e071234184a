// How long the records a store has accepted have waited, without a clock
// read per write: the queue thread notes now and then how many records had
// been accepted by that moment, so it knows which of them have waited longer
// than a given age, to within the spacing of its notes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx {

class Backlog {
 public:
  // accepted records had been accepted by now_ms. Notes closer together
  // than kSpacingMs keep the older one.
  void note(uint64_t accepted, uint64_t now_ms) noexcept;
  // How many records had been accepted age_ms or more before now_ms, as the
  // newest note that old says; 0 when no note is that old.
  uint64_t accepted_before(uint64_t now_ms, uint64_t age_ms) noexcept;

  static constexpr uint64_t kSpacingMs = 50;

 private:
  struct Note {
    uint64_t accepted;
    uint64_t ms;
  };
  // 64 notes at least 50 ms apart reach back 3 s, past the age asked for.
  static constexpr std::size_t kNotes = 64;
  Note& at(std::size_t i) noexcept { return notes_[(first_ + i) % kNotes]; }
  Note notes_[kNotes] = {};
  std::size_t first_ = 0;  // the oldest note
  std::size_t count_ = 0;
};

inline void Backlog::note(uint64_t accepted, uint64_t now_ms) noexcept {
  if (count_ > 0 && now_ms - at(count_ - 1).ms < kSpacingMs) return;
  if (count_ == kNotes) {
    first_ = (first_ + 1) % kNotes;
    --count_;
  }
  at(count_++) = Note{accepted, now_ms};
}

inline uint64_t Backlog::accepted_before(uint64_t now_ms, uint64_t age_ms) noexcept {
  for (std::size_t i = count_; i-- > 0;) {
    if (now_ms - at(i).ms < age_ms) continue;
    uint64_t accepted = at(i).accepted;
    // Older notes say less than this one: dropped.
    first_ = (first_ + i) % kNotes;
    count_ -= i;
    return accepted;
  }
  return 0;
}

}  // namespace kx
