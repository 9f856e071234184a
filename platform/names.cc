#include "platform/names.h"

namespace kx::plat {

bool safe_file_name(const char* name) noexcept {
  if (!name || !*name || *name == '.') return false;
  for (std::size_t n = 0; name[n]; ++n) {
    if (n + 1 >= kMaxFileName || !file_name_char(name[n])) return false;
  }
  return true;
}

}  // namespace kx::plat
