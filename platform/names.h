// Names: the rule for the names of the files the library makes (pending
// files, lock files).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx::plat {

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
