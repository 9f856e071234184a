// Loader glue of the shared library: hands loading and unloading to the library.
#include <pthread.h>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace {

// A fork by the host: the child gets locks no thread of it holds, stores
// of its own, and a registry connection of its own.
void fork_prepare() {
  kx::plat::posix::fork_prepare_named_mutexes();
  kx::on_fork_prepare();
  kx::plat::posix::fork_prepare_registry();
}

void fork_parent() {
  kx::plat::posix::fork_parent_registry();
  kx::on_fork_parent();
  kx::plat::posix::fork_parent_named_mutexes();
}

void fork_child() {
  kx::plat::posix::fork_child_registry();
  kx::plat::posix::fork_child_named_mutexes();
  kx::on_fork_child();
}

// The handlers go with the library when it is unloaded (glibc registers them
// for this shared object).
__attribute__((constructor)) void library_loaded() {
  kx::on_library_load();
  pthread_atfork(fork_prepare, fork_parent, fork_child);
}

__attribute__((destructor)) void library_unloaded() {
  kx::on_library_unload(false);
  kx::plat::posix::release_registry();
  kx::plat::posix::release_sync();
}

}  // namespace
