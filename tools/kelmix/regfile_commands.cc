// export and import: stores as registry files (regfile.h).
#include <optional>
#include <string>
#include <vector>

#include "library/admin.h"
#include "tools/kelmix/commands.h"
#include "tools/kelmix/regfile.h"
#include "tools/kelmix/store_access.h"

namespace kx::cli {

namespace {

constexpr const char* kRootLong = "HKEY_CURRENT_USER";
constexpr const char* kRootShort = "HKCU";

// Wipes the store, if there is one.
void empty_store(const WStr& store) {
  bool exists = false;
  int32_t rc = store_exists(store, &exists);
  if (rc == kOk && exists) rc = KXWipe(store.c_str());
  if (rc != kOk) fail(kExitFailed, "cannot empty store " + shown(store) + ": " + error_text(rc));
}

// The store a key names, or nothing when it is not one store under the
// product key. The registry ignores letter case in the path as well.
std::optional<WStr> store_of_key(const WStr& key) {
  for (const char* root : {kRootLong, kRootShort}) {
    WStr prefix = text_arg(std::string(root) + "\\" + admin::kProductKey + "\\", "the key");
    if (key.size() <= prefix.size() || compare_names(key.substr(0, prefix.size()), prefix) != 0)
      continue;
    WStr store = key.substr(prefix.size());
    if (store.find(tchar('\\')) != WStr::npos) return std::nullopt;
    return store;
  }
  return std::nullopt;
}

}  // namespace

void cmd_export(const WStr& store, const std::string& path, Output* out) {
  WStr key = text_arg(std::string(kRootLong) + "\\" + admin::kProductKey + "\\", "the key") + store;
  write_output(path, to_reg(key, read_store(store)), out);
}

void cmd_import(const std::string& path, const std::optional<WStr>& target) {
  std::vector<RegSection> sections;
  RegError error;
  if (!from_reg(read_input(path), &sections, &error)) {
    fail(kExitBadInput, path + ":" + std::to_string(error.line) + ": " + error.reason);
  }
  // Every key is checked before anything is written.
  std::vector<WStr> stores;
  for (const RegSection& s : sections) {
    std::optional<WStr> store = target;
    std::string where = path + ":" + std::to_string(s.line) + ": key " + shown(s.key);
    if (target && compare_names(s.key, sections.front().key) != 0) {
      fail(kExitBadInput, where + " is a second key: only one goes into store " + shown(*target));
    }
    if (!target) store = store_of_key(s.key);
    if (!store) {
      fail(kExitBadInput, where + " is not a store under " + kRootLong + "\\" + admin::kProductKey);
    }
    if (auto why = name_refusal(*store, kMaxKeyNameUnits)) {
      fail(kExitBadInput, where + " names a store " + *why);
    }
    stores.push_back(*store);
  }
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const RegSection& s = sections[i];
    if (s.erase) {  // a deleted key is a wiped store
      empty_store(stores[i]);
      continue;
    }
    std::vector<Change> changes;
    for (const RegEntry& e : s.entries) {
      changes.push_back({{e.name, e.value.value_or(RawValue{})}, !e.value.has_value()});
    }
    write_changes(stores[i], changes);
  }
}

}  // namespace kx::cli
