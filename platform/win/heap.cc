#include <malloc.h>

#include "platform/platform.h"

namespace kx::plat {

// The CRT heap's usable size; its block header is not reported.
std::size_t heap_block_bytes(void* block) noexcept { return _msize(block); }

}  // namespace kx::plat
