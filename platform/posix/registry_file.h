// The registry stand-in's database file: where it lives and how it is opened.
#pragma once

#include <sqlite3.h>

#include <string>

namespace kx::plat::posix {

// $XDG_CONFIG_HOME/kelmix, or ~/.config/kelmix; empty when no home is known,
// or when the home or config folder is not this user's.
std::string registry_dir();

// Opens the database, creating the folder (0700), file (0600) and schema as
// needed; one that cannot be written opens for reading. An SQLite code.
int open_database(sqlite3** out) noexcept;

}  // namespace kx::plat::posix
