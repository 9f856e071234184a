// Every allocation the library makes for records, strings and lists goes
// through here, so that tests can make one particular allocation fail.
#pragma once

#include <cstddef>
#include <new>

#include "platform/tchar.h"

namespace kx {

// Null when the memory cannot be had.
void* mem_alloc(std::size_t bytes) noexcept;
void mem_free(void* p) noexcept;

// A fresh zero-terminated copy of s (length + 1 units), or null.
tchar* dup_string(const tchar* s) noexcept;
// An array of n units, or null.
tchar* alloc_string(std::size_t n) noexcept;
inline void free_string(tchar* s) noexcept { mem_free(s); }

// For standard containers: allocates through mem_alloc and throws
// std::bad_alloc on failure, which the container's owner catches.
template <class T>
struct Allocator {
  using value_type = T;
  Allocator() = default;
  template <class U>
  Allocator(const Allocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    void* p = mem_alloc(n * sizeof(T));
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t) noexcept { mem_free(p); }
  template <class U>
  bool operator==(const Allocator<U>&) const noexcept {
    return true;
  }
  template <class U>
  bool operator!=(const Allocator<U>&) const noexcept {
    return false;
  }
};

}  // namespace kx
