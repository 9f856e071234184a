// Text conversions and the name folding of the POSIX registry stand-in.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kx::plat::posix {

// UTF-8 to UTF-16. Well-formed UTF-8 converts as usual; each byte that
// starts no well-formed sequence becomes the lone surrogate U+DC00 + byte
// (U+DC80..U+DCFF), so 8-bit names and text that are not UTF-8 keep every
// byte and stay apart. Embedded NULs are kept. Throws std::bad_alloc when
// memory runs out.
std::u16string utf8_to_utf16(std::string_view text);
// UTF-16 to UTF-8, the inverse: U+DC80..U+DCFF alone become their byte
// again, any other unpaired surrogate becomes U+FFFD (EF BF BD).
std::string utf16_to_utf8(std::u16string_view text);

// The registry's case folding of one UTF-16 unit: the simple lower-case
// mapping, where upper- and lower-case letters map onto each other both ways
// (so the Kelvin sign, dotted capital I and title-case letters stay apart).
// This is the table Windows-compatible registries compare and sort names by,
// frozen in fold_table.inc (tools/fold-table makes it).
char16_t fold_unit(char16_t unit);
// The Unicode version the table was made from.
const char* fold_unicode_version();
// The folded name, unit by unit; surrogate pairs are left as they are.
std::u16string fold(std::u16string_view name);

}  // namespace kx::plat::posix
