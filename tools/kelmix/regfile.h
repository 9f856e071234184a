// Registry files (.reg) as regedit and reg.exe write and read them (kelmix
// export / kelmix import).
//
// Written: "Windows Registry Editor Version 5.00" in UTF-16LE with a BOM and
// CRLF line ends, the key line, then each value as regedit writes it:
// "name"=dword:0000002a, "name"=hex:00,01, "name"="text", @= for the unnamed
// value, and hex(N): bytes for whatever the other forms cannot hold exactly.
// Long hex lines wrap as Wine's reg.exe wraps them.
//
// Read: that format, or REGEDIT4 (8-bit: UTF-8, or the ANSI code page on
// Windows), with continuation lines, ; comments, "name"=- deletions and
// [-key] lines.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/kelmix/dump.h"

namespace kx::cli {

// The whole file: BOM and UTF-16LE bytes.
std::string to_reg(const WStr& key_path, const std::vector<NamedValue>& values);

struct RegEntry {
  WStr name;
  std::optional<RawValue> value;  // none: "name"=-, a deletion
  int line = 0;
};

struct RegSection {
  WStr key;            // as the file spells it
  bool erase = false;  // [-key]
  int line = 0;
  std::vector<RegEntry> entries;
};

struct RegError {
  int line = 0;
  std::string reason;
};

// The file's keys in file order, or false with the first malformed line or
// value the registry would not keep as given. Touches no registry.
bool from_reg(const std::string& bytes, std::vector<RegSection>* out, RegError* error);

}  // namespace kx::cli
