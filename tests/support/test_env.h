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
