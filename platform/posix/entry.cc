// Loader glue of the shared library: hands loading and unloading to the library.
#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace {

__attribute__((constructor)) void library_loaded() { kx::on_library_load(); }

__attribute__((destructor)) void library_unloaded() {
  kx::on_library_unload(false);
  kx::plat::posix::release_registry();
  kx::plat::posix::release_sync();
}

}  // namespace
