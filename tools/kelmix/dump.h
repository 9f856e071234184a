// The JSON form of a store (kelmix dump / kelmix load).
//
// {"format": "kelmix-dump", "version": 1, "store": "NAME", "values": [VALUE...]}
// in the registry's order, each VALUE one of
//   {"name": N, "type": "int",    "value": -5}
//   {"name": N, "type": "double", "value": 0.1, "bits": "3fb999999999999a"}
//   {"name": N, "type": "string", "value": "text"}
//   {"name": N, "type": "raw",    "reg_type": 3, "hex": "0a0b0c"}
// A double's bits are its IEEE-754 pattern as one 64-bit hex number; they
// decide on loading ("value" is null for NaN and infinities). "raw" keeps
// whatever the three types cannot: other registry types or lengths, text
// without its terminator or with unpaired surrogates. A name that is not
// valid UTF-16 comes as "name_utf16le": the hex of its units instead.
#pragma once

#include <string>
#include <vector>

#include "tools/kelmix/registry.h"

namespace kx::cli {

struct NamedValue {
  WStr name;
  RawValue value;
};

std::string to_json(const WStr& store, const std::vector<NamedValue>& values);
// The values of a dump, or false with the reason in *error; only values the
// registry and the library would keep as given. Touches no registry.
bool from_json(const std::string& text, std::vector<NamedValue>* out, std::string* error);

}  // namespace kx::cli
