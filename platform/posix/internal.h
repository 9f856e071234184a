// Hooks between the POSIX platform files.
#pragma once

namespace kx::plat::posix {

// Closes the registry database, if open; a later registry call opens it again.
// Called when the library is unloaded.
void close_registry();

}  // namespace kx::plat::posix
