// Hooks between the POSIX platform files.
#pragma once

namespace kx::plat::posix {

// Closes the registry database, if open; a later registry call opens it again.
// Called when the library is unloaded.
void close_registry();
// Closes the database and frees the registry's state, open handles included.
// Called last when the library is unloaded, so nothing is left behind.
void release_registry();

}  // namespace kx::plat::posix
