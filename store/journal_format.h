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
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kx::journal {

constexpr char kMagic[8] = {'K', 'X', 'P', 'E', 'N', 'D', '\r', '\n'};
constexpr uint32_t kVersion = 1;
constexpr std::size_t kNameOffset = 64;
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
  uint64_t created;  // coarse time
  uint64_t check;    // of the fields above and the name
  // Changed while the file is in use; each a 32-bit atomic.
  uint32_t epoch;
  uint32_t appended;
  uint32_t performed;
  uint32_t reserved;
};
static_assert(sizeof(FileHeader) <= kNameOffset, "the name follows the header");

struct RecordHead {
  uint64_t check;  // of every byte after this field, to size
  uint32_t size;   // the whole record, a multiple of 8
  uint32_t epoch;
  uint32_t seq;  // 0 for the first record of the epoch
  int32_t type;  // TYPE_STRING .. TYPE_DELETE
  uint32_t name_units;
  uint32_t data_bytes;  // as handed to the registry (text: with its terminator)
  uint64_t stamp;       // coarse time, for ordering records of several files
};
static_assert(sizeof(RecordHead) == 40, "records are 8-byte aligned");

constexpr std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

// A sum of 64-bit words in two running totals (Fletcher's scheme): cheap
// enough for every write, and any torn or flipped word changes it.
inline uint64_t words_check(const unsigned char* p, std::size_t bytes) {
  uint64_t a = 0x9E3779B97F4A7C15ull, b = bytes;
  for (std::size_t i = 0; i + 8 <= bytes; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    a += w;
    b += a;
  }
  return a ^ (b * 0xC2B2AE3D27D4EB4Full);
}

inline uint64_t record_check(const unsigned char* record, std::size_t size) {
  return words_check(record + 8, size - 8);
}

}  // namespace kx::journal
