// Helpers shared by the test programs.
#pragma once

#include <string>

namespace kx::test {

// A store or key name no other test program or run uses, so suites may share
// one registry (a Wine prefix) without seeing each other's values.
std::string unique_name(const std::string& stem);

// The folder this test process keeps its scratch files in (POSIX: also its
// registry database, through XDG_CONFIG_HOME).
const std::string& scratch_dir();

}  // namespace kx::test

namespace kx::test {

// Runs this test program again as a child process with the environment
// variable name=value added, and waits for it; its exit code, or -1 when it
// could not be started.
int run_child(const std::string& name, const std::string& value);

// A child started without waiting for it; wait_child gives its exit code
// (-1 when it could not be started or waited for).
struct Child {
  long long id = -1;  // process id on POSIX, process handle on Windows
};
Child start_child(const std::string& name, const std::string& value);
int wait_child(Child child);

// Kills this process at once, as a crash would: no exit handler, unload or
// flush runs (SIGKILL; TerminateProcess).
[[noreturn]] void die_now();

}  // namespace kx::test
