// Hooks between the POSIX platform files.
#pragma once

#include <string>

namespace kx::plat::posix {

// The registry's folder ($XDG_CONFIG_HOME/kelmix or ~/.config/kelmix), made
// if missing and checked to be this user's alone; empty when it cannot be.
std::string private_config_dir();

// Closes the registry database, if open; a later registry call opens it again.
// Called when the library is unloaded.
void close_registry();
// Closes the database and frees the registry's state, open handles included.
// Called last when the library is unloaded, so nothing is left behind.
void release_registry();
// Forgets the thread-exit hook of the named mutexes. Called when the library
// is unloaded.
void release_sync();

}  // namespace kx::plat::posix
