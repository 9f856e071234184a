// stores, list, get, set, del, delpref, wipe: single values and whole stores.
#include <optional>
#include <string>
#include <vector>

#include "tools/kelmix/commands.h"
#include "tools/kelmix/store_access.h"

namespace kx::cli {

void cmd_stores(Output* out) {
  std::vector<WStr> stores;
  int32_t rc = list_stores(&stores);
  if (rc != kOk) fail(kExitFailed, "cannot read the list of stores: " + error_text(rc));
  for (const WStr& s : stores) out->data += narrow(s) + "\n";
}

void cmd_list(const WStr& store, Output* out) {
  for (const NamedValue& nv : read_store(store)) {
    const RawValue& v = nv.value;
    std::string type, text;
    switch (classify(v)) {
      case Kind::kInt:
        type = "int", text = std::to_string(int_of(v));
        break;
      case Kind::kDouble:
        type = "double", text = format_double(double_of(v));
        break;
      case Kind::kString:
        type = "string", text = escape_cell(narrow(text_of(v)));
        break;
      case Kind::kRaw:
        type = "raw:" + std::to_string(v.type), text = hex(v.bytes);
        break;
    }
    out->data += escape_cell(narrow(nv.name)) + "\t" + type + "\t" + text + "\n";
  }
}

void cmd_get(const WStr& store, const WStr& name, Output* out) {
  require_store(store);
  Session session(store);
  plat::ScopedKey key;
  open_key(store, &key);
  RawValue v = read_existing(key.get(), store, name);
  KXHANDLE h = session.get();
  auto check = [&] {
    int rc = KXError(h);
    if (rc != kOk) {
      fail(kExitFailed, "cannot read value " + shown(name) + " of store " + shown(store) + ": " +
                            error_text(rc));
    }
  };
  switch (classify(v)) {
    case Kind::kInt: {
      int n = KXGetValue(h, name.c_str());
      check();
      out->data = std::to_string(n);
      break;
    }
    case Kind::kDouble: {
      double d = KXGetDouble(h, name.c_str());
      check();
      out->data = format_double(d);
      break;
    }
    case Kind::kString: {
      const KXCHAR* p = KXGetString(h, name.c_str());
      check();
      out->data = narrow(WStr(p));
      break;
    }
    case Kind::kRaw:  // no export reads it as it is
      out->data = hex(v.bytes);
      break;
  }
  out->data += "\n";
  session.close();
}

void cmd_set(const WStr& store, const WStr& name, const SetArgs& a) {
  // Everything is checked before the store is opened, and so perhaps created.
  std::optional<int32_t> n;
  std::optional<double> d;
  WStr text;
  uint32_t type = kRegSz;
  if (a.has_int) {
    n = parse_int(a.int_text);
    if (!n)
      fail(kExitUsage, "--int \"" + a.int_text + "\" is not a whole number from " +
                           "-2147483648 to 2147483647");
    type = kRegDword;
  } else if (a.has_double) {
    d = parse_double(a.double_text);
    if (!d) fail(kExitUsage, "--double \"" + a.double_text + "\" is not a number a double holds");
    type = kRegBinary;
  } else {
    text = text_arg(a.string_text, "the text");
  }
  Session session(store);
  KXHANDLE h = session.get();
  int rc = n   ? KXValue(h, name.c_str(), *n)
           : d ? KXDouble(h, name.c_str(), *d)
               : KXString(h, name.c_str(), text.c_str());
  if (rc != kOk) {
    fail(kExitFailed,
         "cannot write value " + shown(name) + " to store " + shown(store) + ": " + error_text(rc));
  }
  session.close();
  // The queue thread does not report the registry's answer: ask it.
  plat::ScopedKey key;
  open_key(store, &key);
  RawValue v;
  rc = query_value(key.get(), name, &v);
  if (rc != kOk || v.type != type) {
    fail(kExitFailed, "the registry did not keep value " + shown(name) + " of store " +
                          shown(store) + (rc != kOk ? ": " + error_text(rc) : std::string()));
  }
}

void cmd_del(const WStr& store, const WStr& name) {
  require_store(store);
  Session session(store);
  {
    plat::ScopedKey key;
    open_key(store, &key);
    read_existing(key.get(), store, name);
  }
  int rc = KXDel(session.get(), name.c_str());
  if (rc != kOk) {
    fail(kExitFailed, "cannot delete value " + shown(name) + " of store " + shown(store) + ": " +
                          error_text(rc));
  }
  session.close();
}

void cmd_delpref(const WStr& store, const WStr& prefix) {
  if (prefix.empty()) fail(kExitUsage, "an empty prefix matches nothing (wipe deletes a store)");
  require_store(store);
  Session session(store);
  int rc = KXDelPref(session.get(), prefix.c_str());
  if (rc != kOk) {
    fail(kExitFailed, "cannot delete the values of store " + shown(store) + " beginning with " +
                          shown(prefix) + ": " + error_text(rc));
  }
  session.close();
}

void cmd_wipe(const WStr& store) {
  require_store(store);
  int rc = KXWipe(store.c_str());
  if (rc != kOk) fail(kExitFailed, "cannot wipe store " + shown(store) + ": " + error_text(rc));
}

}  // namespace kx::cli
