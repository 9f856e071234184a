// The POSIX fold of key names: the stand-in registry's own.
#include <new>

#include "platform/names.h"
#include "platform/posix/registry_text.h"

namespace kx::plat {

bool fold_key_name(const tchar* name, std::u16string* folded) noexcept {
  try {
    *folded = posix::fold(posix::to_units(name));
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace kx::plat
