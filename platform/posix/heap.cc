#include <malloc.h>

#include "platform/platform.h"

namespace kx::plat {

std::size_t heap_block_bytes(void* block) noexcept {
#if defined(__GLIBC__)
  return malloc_usable_size(block) + sizeof(std::size_t);  // with glibc's chunk header
#else
  (void)block;
  return 0;
#endif
}

}  // namespace kx::plat
