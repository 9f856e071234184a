// kelmix: the stores of the kelmix library from the command line. Reads and
// writes go through the library's exports (the wide core, linked in); the
// registry is read directly only for what no export tells: the list of
// stores, whether one exists, and a value's type and exact bytes.
#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "kelmix.h"
#include "library/library.h"
#include "tools/kelmix/commands.h"
#include "tools/kelmix/dump.h"
#include "tools/kelmix/regfile.h"
#include "tools/kelmix/registry.h"
#include "tools/kelmix/store_access.h"
#include "tools/kelmix/text.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
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

// The library for the process: loaded first, unloaded last.
class Library {
 public:
  Library() { kx::on_library_load(); }
  ~Library() { kx::on_library_unload(false); }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
};

// ---- Commands -------------------------------------------------------------------------

// ---- Command line ---------------------------------------------------------------------

int run(int argc, const char* const* argv) {
  CLI::App app{"kelmix: the stores of the kelmix library (HKEY_CURRENT_USER\\Software\\Kelmix)",
               "kelmix"};
  app.require_subcommand(1);
  std::string store_text, name_text, path;
  bool merge = false;
  SetArgs set_args;

  auto add_store = [&](CLI::App* c) {
    c->add_option("store", store_text, "the store's name")->required();
  };
  auto* stores = app.add_subcommand("stores", "list the stores, one per line");
  auto* list = app.add_subcommand("list", "show every value: name<TAB>type<TAB>value");
  add_store(list);
  auto* get = app.add_subcommand("get", "print one value as its stored type reads");
  add_store(get);
  get->add_option("name", name_text, "the value's name")->required();
  auto* set = app.add_subcommand("set", "write one value (creates the store if needed)");
  add_store(set);
  set->add_option("name", name_text, "the value's name")->required();
  auto* value = set->add_option_group("value", "exactly one of");
  value->add_option("--int", set_args.int_text, "a signed 32-bit integer");
  value->add_option("--double", set_args.double_text,
                    "a double, read exactly (decimal, 0x hex, inf, nan)");
  value->add_option("--string", set_args.string_text, "a text (use --string=TEXT for -TEXT)");
  value->require_option(1);
  auto* del = app.add_subcommand("del", "delete one value");
  add_store(del);
  del->add_option("name", name_text, "the value's name")->required();
  auto* delpref = app.add_subcommand("delpref", "delete every value whose name begins with PREFIX");
  add_store(delpref);
  delpref->add_option("prefix", name_text, "the beginning of the names")->required();
  auto* wipe = app.add_subcommand("wipe", "delete a store and all its values");
  add_store(wipe);
  auto* dump = app.add_subcommand("dump", "write the store as JSON to stdout");
  add_store(dump);
  auto* load = app.add_subcommand("load", "write a dump back, replacing the store's values");
  add_store(load);
  load->add_option("file", path, "the dump, or - for stdin")->required();
  load->add_flag("--merge", merge, "keep values the dump does not name");
  auto* export_ = app.add_subcommand("export", "write the store as a registry file (.reg)");
  add_store(export_);
  export_->add_option("file", path, "the file, or - for stdout")->required();
  auto* import = app.add_subcommand(
      "import", "write a registry file's values (keys HKEY_CURRENT_USER\\Software\\Kelmix\\STORE)");
  import->add_option("file", path, "the file, or - for stdin")->required();
  import->add_option("store", store_text, "put the file's one key into this store instead");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    write_text(stderr,
               std::string("kelmix: ") + e.what() + "\nRun with --help for more information.\n");
    return kExitUsage;
  }
  set_args.has_int = value->get_option("--int")->count() > 0;
  set_args.has_double = value->get_option("--double")->count() > 0;
  set_args.has_string = value->get_option("--string")->count() > 0;

  CLI::App* command = app.get_subcommands().front();
  int code = kExitOk;
  Output out;
  {
    Library library;
    try {
      if (command == stores) {
        cmd_stores(&out);
      } else if (command == import) {
        std::optional<WStr> target;
        if (import->get_option("store")->count() > 0) target = store_arg(store_text);
        cmd_import(path, target);
      } else {
        WStr store = store_arg(store_text);
        if (command == list) cmd_list(store, &out);
        if (command == get) cmd_get(store, text_arg(name_text, "the value name"), &out);
        if (command == set) cmd_set(store, text_arg(name_text, "the value name"), set_args);
        if (command == del) cmd_del(store, text_arg(name_text, "the value name"));
        if (command == delpref) cmd_delpref(store, text_arg(name_text, "the prefix"));
        if (command == wipe) cmd_wipe(store);
        if (command == dump) cmd_dump(store, &out);
        if (command == load) cmd_load(store, path, merge);
        if (command == export_) cmd_export(store, path, &out);
      }
    } catch (const Failure& f) {
      write_text(stderr, "kelmix: " + command->get_name() + ": " + f.message + "\n");
      code = f.code;
    } catch (const std::exception& e) {
      write_text(stderr, "kelmix: " + command->get_name() + ": " + e.what() + "\n");
      code = kExitFailed;
    }
  }
  if (code == kExitOk) {
    if (out.raw) {
      std::fwrite(out.data.data(), 1, out.data.size(), stdout);
    } else {
      write_text(stdout, out.data);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      write_text(stderr, "kelmix: " + command->get_name() + ": cannot write the output\n");
      code = kExitFailed;
    }
  }
  return code;
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
