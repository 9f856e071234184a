// Names: a registry key's name as the registry compares it, the hash that
// pending files are named and checked by, and the rule for the names of the
// files the library makes (pending files, lock files). The folding alone
// differs by platform (platform/win/name_fold.cc, platform/posix/name_fold.cc).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/tchar.h"

namespace kx::plat {

// The name's UTF-16 units folded as the registry compares key names, so
// every spelling of one key gives the same units. Windows: upper-cased by
// the invariant table (LCMapStringEx without linguistic casing, the file
// system's), a narrow name widened from the ANSI code page first, as the A
// registry functions widen it. POSIX: the stand-in's own fold
// (posix::fold), a narrow name read as UTF-8. A null name is empty. False
// when memory runs out.
bool fold_key_name(const tchar* name, std::u16string* folded) noexcept;

// 64-bit FNV-1a (offset basis 14695981039346656037, prime 1099511628211)
// over the folded name's UTF-16LE bytes, low byte first: equal for every
// spelling of one key in either width. Pending files carry it in their name
// and header, so its value must not change. 0 when it cannot be had
// (memory); a name whose hash is 0 is given 1.
uint64_t key_name_hash(const tchar* name) noexcept;

#if !defined(_WIN32)
// What key_name_hash gave in earlier POSIX builds (a basis short of a digit,
// whole units mixed). A process of those builds that died left its pending
// files named by it, and their records are still to be completed. 0 as above.
uint64_t legacy_key_name_hash(const tchar* name) noexcept;
#endif

// Every hash a store's pending files may be named by: key_name_hash, then,
// on POSIX, legacy_key_name_hash when it differs. How many; 0 when memory
// runs out.
constexpr std::size_t kMaxPendingFileHashes = 2;
std::size_t pending_file_hashes(const tchar* name,
                                uint64_t (&hashes)[kMaxPendingFileHashes]) noexcept;

#if defined(KX_WIDE)
// Below, equal to or above 0 as the registry matches names: letter case
// aside, by its own table (Windows: CompareStringOrdinal ignoring case; POSIX:
// the stand-in's frozen fold), unit by unit.
int compare_names(const tchar* a, std::size_t a_units, const tchar* b, std::size_t b_units);
// 8-bit text as the registry's _a calls take it: the ANSI code page on
// Windows; on POSIX UTF-8, each byte that starts no well-formed sequence
// kept as U+DC80 + byte. For names a library of the other width left.
std::basic_string<tchar> widen_a(const std::string& text);
#endif

// The longest file name the library makes, with its terminator.
constexpr std::size_t kMaxFileName = 96;

// A character a file name of ours may hold: one that means nothing to any
// file system, shell or pattern.
constexpr bool file_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

// A file name of ours: such characters only, not empty, shorter than
// kMaxFileName, and no leading '.' (so neither "." nor ".." nor a hidden
// file). Nothing it passes reaches another folder or a stream; on Windows
// paths carry the \\?\ prefix, so "con" or "a." is a file like any other.
bool safe_file_name(const char* name) noexcept;

}  // namespace kx::plat
