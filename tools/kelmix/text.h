// Text and number conversions of the command-line tool: UTF-8 (arguments,
// JSON, output) to the wide text the library and registry keep, and back;
// exact decimal forms of the integer and the double.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/tchar.h"

namespace kx::cli {

using WStr = std::basic_string<kx::tchar>;
using Bytes = std::vector<uint8_t>;

// Strict: nothing when utf8 is not well-formed UTF-8.
std::optional<WStr> widen(const std::string& utf8);
#if defined(_WIN32)
// Text in that Windows code page (CP_UTF8, CP_ACP); null when ill-formed.
std::optional<WStr> widen_code_page(const std::string& bytes, unsigned code_page);
#endif
// A store name as a pending file holds it, in the width of the library that
// wrote it (unit_bytes 2: UTF-16LE; 1: 8-bit), as the registry reads it: 8-bit
// text from the ANSI code page as the A functions take it (Windows), or as
// the narrow library's UTF-8 with stray bytes kept (Linux).
WStr from_units(const std::string& bytes, uint32_t unit_bytes);
// An unpaired surrogate becomes U+FFFD.
std::string narrow(const WStr& wide);
// True when every surrogate is paired, so the text survives UTF-8.
bool is_valid_utf16(const WStr& wide);
// A name in quotes for a message: one of more than 100 units cut to its
// first 60 with its length after, so a 16,384-unit name does not bury the
// reason. A zero unit shows as \0.
std::string shown(const WStr& name);

std::string hex(const uint8_t* data, std::size_t size);
inline std::string hex(const Bytes& b) { return hex(b.data(), b.size()); }
std::optional<Bytes> unhex(const std::string& text);

// A whole decimal integer that fits 32 bits; nothing otherwise.
std::optional<int32_t> parse_int(const std::string& text);
// A whole decimal or hexadecimal ("0x1p-3") number, "inf" or "nan", read
// exactly; nothing when text has anything more or does not fit a double.
std::optional<double> parse_double(const std::string& text);
// The shortest text that reads back as the same double ("-0", "5e-324", "nan").
std::string format_double(double value);

// Tabs, newlines, carriage returns and backslashes as \t \n \r \\, so a table
// row stays one line of three columns.
std::string escape_cell(const std::string& text);

// Writes UTF-8 text to stdout or stderr; a Windows console gets it as UTF-16.
void write_text(std::FILE* stream, const std::string& utf8);

}  // namespace kx::cli
