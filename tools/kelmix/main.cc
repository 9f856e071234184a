// kelmix: the stores of the kelmix library from the command line. Reads and
// writes go through the library's exports (the wide core, linked in); the
// registry is read directly only for what no export tells: the list of
// stores, whether one exists, and a value's type and exact bytes.
//
// This file is the command line: the table of commands and the dispatch. The
// commands themselves are in value_commands.cc, dump_commands.cc,
// regfile_commands.cc and pending_commands.cc.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "library/admin.h"
#include "platform/platform.h"
#include "tools/kelmix/commands.h"
#include "tools/kelmix/text.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace kx::cli {
namespace {

WStr store_arg(const std::string& utf8) {
  WStr name = text_arg(utf8, "the store name");
  if (name.empty()) fail(kExitUsage, "a store name cannot be empty");
  // A store is one key under the product key, never a path of them.
  if (name.find(tchar('\\')) != WStr::npos) {
    fail(kExitUsage, "store name " + shown(name) + " has a backslash");
  }
  return name;
}

// What the command line gives; each command's options fill in their fields.
struct Args {
  std::string store, name, path;
  bool merge = false;
  SetArgs set;
};

// ---- Options ------------------------------------------------------------------------------

void add_nothing(CLI::App*, Args*) {}

void add_store(CLI::App* c, Args* a) {
  c->add_option("store", a->store, "the store's name")->required();
}

void add_store_name(CLI::App* c, Args* a) {
  add_store(c, a);
  c->add_option("name", a->name, "the value's name")->required();
}

void add_set(CLI::App* c, Args* a) {
  add_store_name(c, a);
  auto* value = c->add_option_group("value", "exactly one of");
  value->add_option("--int", a->set.int_text, "a signed 32-bit integer");
  value->add_option("--double", a->set.double_text,
                    "a double, read exactly (decimal, 0x hex, inf, nan)");
  value->add_option("--string", a->set.string_text, "a text (use --string=TEXT for -TEXT)");
  value->require_option(1);
}

void add_delpref(CLI::App* c, Args* a) {
  add_store(c, a);
  c->add_option("prefix", a->name, "the beginning of the names")->required();
}

void add_load(CLI::App* c, Args* a) {
  add_store(c, a);
  c->add_option("file", a->path, "the dump, or - for stdin")->required();
  c->add_flag("--merge", a->merge, "keep values the dump does not name");
}

void add_export(CLI::App* c, Args* a) {
  add_store(c, a);
  c->add_option("file", a->path, "the file, or - for stdout")->required();
}

void add_pending(CLI::App* c, Args*) {
  c->footer(
      "After a line \"# folder: PATH\", one line per file in that folder, sorted by name, its\n"
      "columns separated by tabs:\n"
      "  FILE  STORE  RECORDS  WIDTH  PID  STATE\n"
      "STATE is orphaned (its process died: the store's next opening, or kelmix recover,\n"
      "completes it), damaged (a record or the header does not check: completed up to the\n"
      "damage, then set aside as .kept and never replayed again), or live (its process runs:\n"
      "the file is not read, so only FILE and PID are shown). STORE is UTF-8 with tab,\n"
      "line ends and backslash escaped as in list; RECORDS are those not yet in the registry;\n"
      "WIDTH is wide or narrow, the library that wrote the file. - is what cannot be read.");
}

void add_recover(CLI::App* c, Args*) {
  c->footer(
      "Each store that orphaned pending files name is opened (made if need be) and their\n"
      "records completed, as the store's next opening would. One line per store, tabs between:\n"
      "  STORE  records=N  removed=N  kept=N\n"
      "(records completed; files removed once completed; damaged files set aside after their\n"
      "sound records).\n"
      "Exit code 5 when some store could not be opened; the others are completed.");
}

void add_import(CLI::App* c, Args* a) {
  c->add_option("file", a->path, "the file, or - for stdin")->required();
  c->add_option("store", a->store, "put the file's one key into this store instead");
}

// ---- Runs ---------------------------------------------------------------------------------
// The store is checked before the name, in a statement of its own (a call's
// arguments have no fixed order), so a line with both wrong names the store.

bool given(const CLI::App& c, const char* option) { return c.get_option(option)->count() > 0; }

void run_stores(const CLI::App&, const Args&, Output* out) { cmd_stores(out); }

void run_list(const CLI::App&, const Args& a, Output* out) { cmd_list(store_arg(a.store), out); }

void run_get(const CLI::App&, const Args& a, Output* out) {
  WStr store = store_arg(a.store);
  cmd_get(store, text_arg(a.name, "the value name"), out);
}

void run_set(const CLI::App& c, const Args& a, Output*) {
  WStr store = store_arg(a.store);
  SetArgs set = a.set;
  set.has_int = given(c, "--int");
  set.has_double = given(c, "--double");
  set.has_string = given(c, "--string");
  cmd_set(store, text_arg(a.name, "the value name"), set);
}

void run_del(const CLI::App&, const Args& a, Output*) {
  WStr store = store_arg(a.store);
  cmd_del(store, text_arg(a.name, "the value name"));
}

void run_delpref(const CLI::App&, const Args& a, Output*) {
  WStr store = store_arg(a.store);
  cmd_delpref(store, text_arg(a.name, "the prefix"));
}

void run_wipe(const CLI::App&, const Args& a, Output*) { cmd_wipe(store_arg(a.store)); }

void run_dump(const CLI::App&, const Args& a, Output* out) { cmd_dump(store_arg(a.store), out); }

void run_load(const CLI::App&, const Args& a, Output*) {
  cmd_load(store_arg(a.store), a.path, a.merge);
}

void run_export(const CLI::App&, const Args& a, Output* out) {
  cmd_export(store_arg(a.store), a.path, out);
}

void run_import(const CLI::App& c, const Args& a, Output*) {
  std::optional<WStr> target;
  if (given(c, "store")) target = store_arg(a.store);
  cmd_import(a.path, target);
}

void run_pending(const CLI::App&, const Args&, Output* out) { cmd_pending(out); }

void run_recover(const CLI::App&, const Args&, Output* out) { cmd_recover(out); }

// ---- The table ----------------------------------------------------------------------------

struct Command {
  const char* name;
  const char* help;
  void (*add_options)(CLI::App* command, Args* args);
  void (*run)(const CLI::App& command, const Args& args, Output* out);
};

// In the order --help lists them.
const Command kCommands[] = {
    {"stores", "list the stores, one per line", add_nothing, run_stores},
    {"list", "show every value: name<TAB>type<TAB>value", add_store, run_list},
    {"get", "print one value as its stored type reads", add_store_name, run_get},
    {"set", "write one value (creates the store if needed)", add_set, run_set},
    {"del", "delete one value", add_store_name, run_del},
    {"delpref", "delete every value whose name begins with PREFIX", add_delpref, run_delpref},
    {"wipe", "delete a store and all its values", add_store, run_wipe},
    {"dump", "write the store as JSON to stdout", add_store, run_dump},
    {"load", "write a dump back, replacing the store's values", add_load, run_load},
    {"export", "write the store as a registry file (.reg)", add_export, run_export},
    {"import", "write a registry file's values (keys HKEY_CURRENT_USER\\Software\\Kelmix\\STORE)",
     add_import, run_import},
    {"pending", "list the pending files of hosts, live, dead or damaged", add_pending, run_pending},
    {"recover", "complete the pending records of hosts that died", add_recover, run_recover},
};

// ---- Dispatch -----------------------------------------------------------------------------

// Nothing when a command is to run; otherwise the exit code of --help or of a
// bad command line, already reported.
std::optional<int> parse(CLI::App* app, int argc, const char* const* argv) {
  try {
    app->parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app->exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app->exit(e);
  } catch (const CLI::ParseError& e) {
    write_text(stderr,
               std::string("kelmix: ") + e.what() + "\nRun with --help for more information.\n");
    return kExitUsage;
  }
  return std::nullopt;
}

// The command run with the library loaded; a failure is reported here.
int execute(const Command& command, const CLI::App& parsed, const Args& args, Output* out) {
  admin::LibraryScope library;  // loaded first, unloaded last
  try {
    command.run(parsed, args, out);
  } catch (const Failure& f) {
    write_text(stderr, std::string("kelmix: ") + command.name + ": " + f.message + "\n");
    return f.code;
  } catch (const std::exception& e) {
    write_text(stderr, std::string("kelmix: ") + command.name + ": " + e.what() + "\n");
    return kExitFailed;
  }
  return kExitOk;
}

// What the command printed, once it has succeeded, then what of it failed; a
// failed write fails the run.
int print(const Output& out, const Command& command) {
  if (out.raw) {
    std::fwrite(out.data.data(), 1, out.data.size(), stdout);
  } else {
    write_text(stdout, out.data);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    write_text(stderr, std::string("kelmix: ") + command.name + ": cannot write the output\n");
    return kExitFailed;
  }
  for (const std::string& reason : out.failed) {
    write_text(stderr, std::string("kelmix: ") + command.name + ": " + reason + "\n");
  }
  return out.failed.empty() ? kExitOk : kExitPartly;
}

int run(int argc, const char* const* argv) {
  CLI::App app{"kelmix: the stores of the kelmix library (HKEY_CURRENT_USER\\Software\\Kelmix)",
               "kelmix"};
  app.require_subcommand(1);
  Args args;
  for (const Command& c : kCommands) c.add_options(app.add_subcommand(c.name, c.help), &args);
  if (std::optional<int> code = parse(&app, argc, argv)) return *code;
  const CLI::App& parsed = *app.get_subcommands().front();
  for (const Command& c : kCommands) {
    if (parsed.get_name() != c.name) continue;
    Output out;
    int code = execute(c, parsed, args, &out);
    return code == kExitOk ? print(out, c) : code;
  }
  return kExitUsage;  // not reached: the parse takes only the table's names
}

}  // namespace
}  // namespace kx::cli

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) {
  // Bytes as they are: UTF-8 out, a dump in, no CRLF translation.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  _setmode(_fileno(stdin), _O_BINARY);
  try {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(kx::cli::narrow(argv[i]));
    std::vector<const char*> pointers;
    for (const std::string& a : args) pointers.push_back(a.c_str());
    return kx::cli::run(argc, pointers.data());
  } catch (...) {
    std::fputs("kelmix: out of memory\n", stderr);
    return 1;
  }
}
#else
int main(int argc, char** argv) {
  try {
    return kx::cli::run(argc, argv);
  } catch (...) {
    std::fputs("kelmix: out of memory\n", stderr);
    return 1;
  }
}
#endif
