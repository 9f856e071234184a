// The kelmix tool's commands: how they fail and what they print, the files
// they read and write, and their entry points. main.cc parses the command
// line and calls them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/kelmix/text.h"

namespace kx::cli {

// Exit codes; README "Command-line tool" lists them.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;    // the library or registry refused, or output failed
constexpr int kExitUsage = 2;     // bad command line
constexpr int kExitNotFound = 3;  // no such store or value
constexpr int kExitBadInput = 4;  // load, import: unreadable or malformed file
constexpr int kExitPartly = 5;    // recover: a store could not be opened; the rest were done

// A command's end with its exit code; main.cc prints the message.
struct Failure {
  int code;
  std::string message;
};

[[noreturn]] void fail(int code, std::string message);
std::string error_text(int32_t rc);
// A command-line text as the library takes it; what names it in the message.
WStr text_arg(const std::string& utf8, const char* what);

// What a command prints, written once it has succeeded.
struct Output {
  std::string data;
  bool raw = false;  // bytes, not UTF-8 text for a console
  // Parts that failed while the rest went on: reported after data, and the
  // run ends with kExitPartly.
  std::vector<std::string> failed;
};

// The whole file, or stdin for "-".
std::string read_input(const std::string& path);
// Into the file, or for "-" into out as bytes.
void write_output(const std::string& path, const std::string& data, Output* out);

// ---- value_commands.cc: values and whole stores

void cmd_stores(Output* out);
void cmd_list(const WStr& store, Output* out);
void cmd_get(const WStr& store, const WStr& name, Output* out);

// set's value options as given; the command line lets exactly one through.
struct SetArgs {
  std::string int_text, double_text, string_text;
  bool has_int = false, has_double = false, has_string = false;
};

void cmd_set(const WStr& store, const WStr& name, const SetArgs& a);
void cmd_del(const WStr& store, const WStr& name);
void cmd_delpref(const WStr& store, const WStr& prefix);
void cmd_wipe(const WStr& store);

// ---- dump_commands.cc: JSON dumps

void cmd_dump(const WStr& store, Output* out);
// With merge, values the dump does not name stay.
void cmd_load(const WStr& store, const std::string& path, bool merge);

// ---- pending_commands.cc: what hosts that died had accepted

// One line per pending file; README "Command-line tool" gives the columns.
void cmd_pending(Output* out);
// Completes every store that has orphaned pending files; a line per store.
void cmd_recover(Output* out);

// ---- regfile_commands.cc: registry files

void cmd_export(const WStr& store, const std::string& path, Output* out);
// Without target, each key of the file names its store.
void cmd_import(const std::string& path, const std::optional<WStr>& target);

}  // namespace kx::cli
