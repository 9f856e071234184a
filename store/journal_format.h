// The layout of a pending file, shared by the store that writes one and the
// recovery that replays it. All fields are little-endian, as the machines
// the library runs on are; a file is read only on the machine that wrote it.
//
//   [0, 1024)        FileHeader, then the store's name at kNameOffset
//   [1024, 65536)    records, in the first view
//   [65536, ...)     records, in the second view, which grows by doubling
//
// A record never straddles offset 65536: one that would starts there. The
// counters in the header say how far the records go (appended, counted after
// each record is whole) and how many of them the registry has (performed).
// A restart, when nothing is pending, zeroes both and moves to a new epoch,
// so records of an earlier epoch left in the file are never taken for new.
// A writer whose queue never empties reuses the file instead: the records
// left are copied to its start, numbered from 0 in the next epoch, and the
// counters then move to that epoch (appended first).
//
// Each counter is one 64-bit word: its value and a tag of the value, the
// epoch and the header, stored in one instruction, so a counter that was
// torn, edited or copied from another file does not check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kx::journal {

constexpr char kMagic[8] = {'K', 'X', 'P', 'E', 'N', 'D', '\r', '\n'};
constexpr uint32_t kVersion = 2;
constexpr std::size_t kNameOffset = 128;
constexpr std::size_t kMaxNameUnits = 255;  // a registry key name's limit
constexpr std::size_t kRecordsStart = 1024;
constexpr std::size_t kFirstViewBytes = 65536;
constexpr const char* kSuffix = ".kxp";        // a live or orphaned file
constexpr const char* kMakingSuffix = ".new";  // being made: never replayed
constexpr const char* kKeptSuffix = ".kept";   // damaged: set aside, never replayed

struct FileHeader {
  char magic[8];
  uint32_t version;
  uint32_t unit_bytes;  // 2: UTF-16 names and text; 1: 8-bit
  uint32_t pid;
  uint32_t name_units;
  uint64_t created;    // coarse time
  uint64_t name_hash;  // plat::key_name_hash of the store's name: the key it is for
  uint64_t check;      // of the fields above and the name
  // Changed while the file is in use; each a 64-bit atomic (counter_word).
  uint64_t epoch;
  uint64_t appended;
  uint64_t performed;
  // Where the first record not performed lies: a hint that spares walking
  // the performed ones, which a reuse of the file's start overwrites. Zero
  // in files of older writers; trusted only when the record there checks.
  uint64_t front;
};
static_assert(sizeof(FileHeader) <= kNameOffset, "the name follows the header");

// A counter's word: the value in the low half, a tag in the high half that
// ties it to its field, its epoch and its file's header check.
enum class Counter : uint32_t { kEpoch = 1, kAppended = 2, kPerformed = 3, kFront = 4 };

inline uint64_t counter_word(Counter field, uint32_t value, uint32_t epoch, uint64_t header_check) {
  // One multiply: every write pays for it, and it is a check against damage
  // and mix-ups, not against forgery.
  uint64_t x = ((uint64_t{epoch} << 32 | value) ^ header_check ^
                (static_cast<uint64_t>(field) * 0x9E3779B97F4A7C15ull)) *
               0xBF58476D1CE4E5B9ull;
  return (x ^ (x << 32)) >> 32 << 32 | value;
}
// The value of word, when its tag checks for that field and epoch.
inline bool counter_value(uint64_t word, Counter field, uint32_t epoch, uint64_t header_check,
                          uint32_t* value) {
  auto v = static_cast<uint32_t>(word);
  if (counter_word(field, v, epoch, header_check) != word) return false;
  *value = v;
  return true;
}

// A record is its head, the name's units (no terminator), the data, and
// padding to the next multiple of 8. Small, since every write copies one: an
// integer under a short name takes 32 bytes.
struct RecordHead {
  uint32_t check;       // of the rest, seeded with the epoch and the record's number
  uint32_t stamp;       // 16 ms steps since the file was made, read when the export ran
  uint32_t data_bytes;  // as handed to the registry (text: with its terminator)
  uint16_t name_units;
  uint8_t type;  // TYPE_STRING .. TYPE_DELETE
  uint8_t reserved;
};
static_assert(sizeof(RecordHead) == 16, "records are 8-byte aligned");
constexpr uint64_t kStampTicks = 160000;  // 16 ms in 100 ns units

constexpr std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

inline std::size_t record_size(std::size_t unit, std::size_t name_units, std::size_t data_bytes) {
  return align8(sizeof(RecordHead) + name_units * unit + data_bytes);
}

// A sum of 64-bit words in two running totals (Fletcher's scheme): cheap
// enough for every write, and any torn or flipped word changes it.
inline uint64_t words_check(const unsigned char* p, std::size_t bytes, uint64_t seed = 0) {
  uint64_t a = 0x9E3779B97F4A7C15ull ^ seed, b = bytes;
  for (std::size_t i = 0; i + 8 <= bytes; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    a += w;
    b += a;
  }
  return a ^ (b * 0xC2B2AE3D27D4EB4Full);
}

// Adds bytes to a running check as 8-byte words, the last one zero-padded.
inline void mix_bytes(uint64_t* a, uint64_t* b, const void* bytes, std::size_t n) {
  auto* p = static_cast<const unsigned char*>(bytes);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    *a += w;
    *b += *a;
  }
  if (i < n) {
    // Loads of 4, 2 and 1 bytes: a partial copy into a word would stall its
    // load.
    uint64_t w = 0;
    int shift = 0;
    if (n - i >= 4) {
      uint32_t x;
      std::memcpy(&x, p + i, 4);
      w = x;
      shift = 32;
      i += 4;
    }
    if (n - i >= 2) {
      uint16_t x;
      std::memcpy(&x, p + i, 2);
      w |= uint64_t{x} << shift;
      shift += 16;
      i += 2;
    }
    if (n - i >= 1) w |= uint64_t{p[i]} << shift;
    *a += w;
    *b += *a;
  }
}

// A record's check: of its head's fields, its name and its data, seeded with
// the epoch and the record's number in it, so a record left from an earlier
// epoch, or found out of its place, never checks. Taken from the pieces, not
// from the record as laid out, so a writer need not read back what it wrote.
inline uint32_t record_check(const RecordHead& head, const void* name, std::size_t name_bytes,
                             const void* data, uint32_t epoch, uint32_t seq) {
  uint64_t a = 0x9E3779B97F4A7C15ull ^ ((uint64_t{epoch} << 32 | seq) * 0xFF51AFD7ED558CCDull);
  uint64_t b = name_bytes;
  a += head.stamp | uint64_t{head.data_bytes} << 32;
  b += a;
  a += head.name_units | uint64_t{head.type} << 16;
  b += a;
  mix_bytes(&a, &b, name, name_bytes);
  mix_bytes(&a, &b, data, head.data_bytes);
  uint64_t c = a ^ (b * 0xC2B2AE3D27D4EB4Full);
  return static_cast<uint32_t>(c ^ (c >> 32));
}

}  // namespace kx::journal
