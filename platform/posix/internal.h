// Hooks between the POSIX platform files.
#pragma once

#include <string>

namespace kx::plat::posix {

// Creates dir and its missing parents; true when it exists. Folders made
// here get exactly 0700, whatever the umask.
bool make_dirs(const std::string& dir);
// True when dir is a real folder of this user's; a folder made earlier with
// wider permissions is set to 0700. Someone else's folder, or a symlink to
// one, is refused rather than written into.
bool owner_only_dir(const std::string& dir);
// dir made 0700 (whatever the umask) if missing, its parents not, then
// checked as owner_only_dir does.
bool private_dir(const std::string& dir);

// The registry's folder ($XDG_CONFIG_HOME/kelmix or ~/.config/kelmix), made
// if missing and checked to be this user's alone; empty when it cannot be.
std::string private_config_dir();

// Closes the registry database, if open, and drops every copy of a key; a
// later registry call opens it again. For tests that change the database's
// files under a loaded library.
void close_registry();
// Closes the database and frees the registry's state, open handles included.
// Called last when the library is unloaded, so nothing is left behind.
void release_registry();
// Forgets the thread-exit hook of the named mutexes. Called when the library
// is unloaded.
void release_sync();

// Around a fork (watch_forks): prepare takes the state's locks so that no
// thread holds them halfway through a change; parent lets them go; child
// starts afresh with none held and nothing of the parent's it must share.
void fork_prepare_named_mutexes();
void fork_parent_named_mutexes();
void fork_child_named_mutexes();
void fork_prepare_registry();
void fork_parent_registry();
// The parent's database connection is put aside unused (SQLite's
// connections must not cross a fork) and closed, without a checkpoint, when
// the child first needs a connection of its own. Open key handles stay
// valid; the copies of their keys answer nothing until the child has that
// connection (a new epoch).
void fork_child_registry();

}  // namespace kx::plat::posix
