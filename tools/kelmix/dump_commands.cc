// dump and load: a store as JSON (dump.h) and back.
#include <set>
#include <string>
#include <vector>

#include "tools/kelmix/commands.h"
#include "tools/kelmix/dump.h"
#include "tools/kelmix/store_access.h"

namespace kx::cli {

void cmd_dump(const WStr& store, Output* out) { out->data = to_json(store, read_store(store)); }

// Replacing writes the dump first and only then deletes the names it lacks:
// whatever the registry refuses midway, the store keeps every old or every
// new value. A value both hold keeps its place and its name's letter case, as
// any write leaves them.
void cmd_load(const WStr& store, const std::string& path, bool merge) {
  std::vector<NamedValue> values;
  std::string why;
  if (!from_json(read_input(path), &values, &why)) {
    fail(kExitBadInput, "\"" + path + "\" is not a kelmix dump: " + why);
  }
  std::vector<Change> changes;
  std::set<WStr, NameLess> named;
  for (NamedValue& nv : values) {
    named.insert(nv.name);
    changes.push_back({std::move(nv), false});
  }
  write_changes(store, changes);
  if (merge) return;
  std::vector<Change> stale;
  {
    Session session(store);
    for (WStr& name : names_of(session, store)) {
      if (named.count(name) == 0) stale.push_back({{std::move(name), RawValue{}}, true});
    }
    session.close();
  }
  if (!stale.empty()) write_changes(store, stale);
}

}  // namespace kx::cli
