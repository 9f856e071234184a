#include "tools/kelmix/regfile.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace kx::cli {

namespace {

constexpr const char* kVersion5 = "Windows Registry Editor Version 5.00";
constexpr const char* kVersion4 = "REGEDIT4";
// Wine's reg.exe starts a new line once this many columns are taken.
constexpr std::size_t kHexColumns = 77;

WStr ascii(const char* text) {
  WStr out;
  while (*text) out += static_cast<tchar>(*text++);
  return out;
}

// Escaped as regedit reads it back inside quotes.
WStr quoted(const WStr& text) {
  WStr out = ascii("\"");
  for (tchar c : text) {
    if (c == '\\' || c == '"') {
      out += tchar('\\');
      out += c;
    } else if (c == '\r' || c == '\n') {  // only names get here: text goes as hex
      out += tchar('\\');
      out += tchar(c == '\r' ? 'r' : 'n');
    } else {
      out += c;
    }
  }
  return out + tchar('"');
}

std::string hex_digits(uint32_t n, int width) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[n & 15]);
    n >>= 4;
  } while (n != 0 || static_cast<int>(out.size()) < width);
  return out;
}

// Text a quoted string gives back exactly: line ends would split the line.
bool fits_quotes(const RawValue& v) {
  if (classify(v) != Kind::kString) return false;
  WStr text = text_of(v);
  return text.find(tchar('\r')) == WStr::npos && text.find(tchar('\n')) == WStr::npos;
}

void append_value(WStr* out, const NamedValue& nv) {
  WStr line = nv.name.empty() ? ascii("@=") : quoted(nv.name) + tchar('=');
  const RawValue& v = nv.value;
  if (v.type == kRegDword && v.bytes.size() == 4) {
    line += ascii(("dword:" + hex_digits(static_cast<uint32_t>(int_of(v)), 8)).c_str());
  } else if (fits_quotes(v)) {
    line += quoted(text_of(v));
  } else {
    line += ascii(v.type == kRegBinary ? "hex:" : ("hex(" + hex_digits(v.type, 1) + "):").c_str());
    // Wrapped where reg.exe wraps: after the comma that reaches the column.
    std::size_t column = line.size();
    for (std::size_t i = 0; i < v.bytes.size(); ++i) {
      line += ascii(hex_digits(v.bytes[i], 2).c_str());
      if (i + 1 == v.bytes.size()) break;
      line += tchar(',');
      column += 3;
      if (column >= kHexColumns) {
        line += ascii("\\\r\n  ");
        column = 2;
      }
    }
  }
  *out += line + ascii("\r\n");
}

// ---- Reading ------------------------------------------------------------------------

bool is_space(tchar c) { return c == ' ' || c == '\t'; }

WStr trimmed(const WStr& s) {
  std::size_t first = 0, last = s.size();
  while (first < last && is_space(s[first])) ++first;
  while (last > first && is_space(s[last - 1])) --last;
  return s.substr(first, last - first);
}

bool starts_with_nocase(const WStr& s, std::size_t pos, const char* prefix) {
  for (std::size_t i = 0; prefix[i]; ++i) {
    if (pos + i >= s.size()) return false;
    tchar c = s[pos + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<tchar>(c + 32);
    if (c != static_cast<tchar>(prefix[i])) return false;
  }
  return true;
}

// An 8-bit line as the file's text: UTF-8, or the ANSI code page on Windows
// as regedit reads it.
std::optional<WStr> decode_8bit(const std::string& bytes) {
#if defined(_WIN32)
  return widen_code_page(bytes, CP_ACP);
#else
  return widen(bytes);
#endif
}

int hex_value(tchar c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to 8 hex digits.
bool parse_hex32(const WStr& s, uint32_t* out) {
  if (s.empty() || s.size() > 8) return false;
  *out = 0;
  for (tchar c : s) {
    int d = hex_value(c);
    if (d < 0) return false;
    *out = *out << 4 | static_cast<uint32_t>(d);
  }
  return true;
}

// The quoted text at s[*pos] (a '"'), unescaped; *pos ends past the quote.
bool parse_quoted(const WStr& s, std::size_t* pos, WStr* out, std::string* why) {
  for (std::size_t i = *pos + 1; i < s.size(); ++i) {
    tchar c = s[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c == '\\') {
      if (++i == s.size()) break;
      c = s[i];
      if (c == 'n' || c == 'r') {
        c = c == 'n' ? '\n' : '\r';
      } else if (c != '\\' && c != '"') {
        *why = "unknown escape \"\\" + narrow(WStr(1, c)) + "\"";
        return false;
      }
    }
    *out += c;
  }
  *why = "no closing quote";
  return false;
}

bool parse_hex_bytes(const WStr& body, Bytes* out, std::string* why) {
  WStr rest = trimmed(body);
  if (rest.empty()) return true;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = rest.find(tchar(','), start);
    WStr token = trimmed(rest.substr(start, comma == WStr::npos ? WStr::npos : comma - start));
    bool last = comma == WStr::npos || comma + 1 == rest.size();  // a comma may close the list
    int hi = token.size() == 2 ? hex_value(token[0]) : token.size() == 1 ? 0 : -1;
    int lo = token.empty() ? -1 : hex_value(token.back());
    if (hi < 0 || lo < 0) {
      *why = "\"" + narrow(token) + "\" is not a hex byte";
      return false;
    }
    out->push_back(static_cast<uint8_t>(hi * 16 + lo));
    if (last) return true;
    start = comma + 1;
  }
}

Bytes bytes_of_units(const WStr& units) {
  Bytes out;
  for (tchar c : units) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>((c >> 8) & 0xFF));
  }
  return out;
}

class Reader {
 public:
  Reader(std::vector<WStr> lines, std::vector<RegSection>* out)
      : lines_(std::move(lines)), out_(out) {}

  bool read(RegError* error) {
    WStr header = lines_.empty() ? WStr() : trimmed(lines_[0]);
    if (header != ascii(kVersion5) && header != ascii(kVersion4)) {
      *error = {1, "not a registry file: the first line is neither \"" + std::string(kVersion5) +
                       "\" nor \"" + kVersion4 + "\""};
      return false;
    }
    eight_bit_ = header == ascii(kVersion4);
    for (index_ = 1; index_ < lines_.size(); ++index_) {
      int line = static_cast<int>(index_) + 1;
      std::string why;
      if (!read_line(trimmed(lines_[index_]), line, &why)) {
        *error = {static_cast<int>(index_ < lines_.size() ? index_ + 1 : index_), why};
        return false;
      }
    }
    return true;
  }

 private:
  bool read_line(const WStr& s, int line, std::string* why) {
    if (s.empty() || s[0] == ';') return true;
    if (s[0] == '[') {
      if (s.back() != ']') return *why = "a key line that does not end with ']'", false;
      RegSection section;
      section.key = s.substr(1, s.size() - 2);
      section.erase = !section.key.empty() && section.key[0] == '-';
      if (section.erase) section.key.erase(0, 1);
      if (section.key.empty()) return *why = "a key line without a key", false;
      section.line = line;
      out_->push_back(std::move(section));
      return true;
    }
    if (s[0] != '"' && s[0] != '@') {
      return *why = "neither a key, a value nor a comment", false;
    }
    if (out_->empty()) return *why = "a value before any key", false;
    RegEntry entry;
    entry.line = line;
    std::size_t pos = s[0] == '@' ? 1 : 0;
    if (pos == 0 && !parse_quoted(s, &pos, &entry.name, why)) {
      *why = "the value's name has " + *why;
      return false;
    }
    if (auto refused = name_refusal(entry.name, kMaxValueNameUnits)) {
      return *why = "a value name " + *refused, false;
    }
    while (pos < s.size() && is_space(s[pos])) ++pos;
    if (pos == s.size() || s[pos] != '=') return *why = "no '=' after the value's name", false;
    WStr data = trimmed(s.substr(pos + 1));
    if (data == ascii("-")) {
      out_->back().entries.push_back(std::move(entry));
      return true;
    }
    RawValue v;
    if (!data.empty() && data[0] == '"') {
      WStr text;
      pos = 0;
      if (!parse_quoted(data, &pos, &text, why)) return *why = "the text has " + *why, false;
      if (pos != data.size()) return *why = "something follows the text's closing quote", false;
      // reg import would end the text there: refused rather than read otherwise.
      if (text.find(tchar(0)) != WStr::npos) {
        return *why = "the text has a zero unit (U+0000) inside", false;
      }
      v.type = kRegSz;
      v.bytes = bytes_of_units(text + tchar(0));
    } else if (starts_with_nocase(data, 0, "dword:")) {
      uint32_t n = 0;
      if (!parse_hex32(data.substr(6), &n)) return *why = "dword: takes 1 to 8 hex digits", false;
      v.type = kRegDword;
      v.bytes = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                 static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)};
    } else if (starts_with_nocase(data, 0, "hex")) {
      std::size_t colon = data.find(tchar(':'));
      if (colon == 3) {
        v.type = kRegBinary;
      } else if (colon == WStr::npos || colon < 6 || data[3] != '(' || data[colon - 1] != ')' ||
                 !parse_hex32(data.substr(4, colon - 5), &v.type)) {
        return *why = "hex values are hex: or hex(N): with N in hex", false;
      }
      WStr body = data.substr(colon + 1);
      // A '\' at the end continues the bytes on the next line; each line is
      // read on its own, so an error names the line it is on.
      for (;;) {
        body = trimmed(body);
        bool more = !body.empty() && body.back() == '\\';
        if (more) body.pop_back();
        if (!parse_hex_bytes(body, &v.bytes, why)) return false;
        if (!more) break;
        if (++index_ == lines_.size()) {
          return *why = "the file ends inside a continued value", false;
        }
        body = lines_[index_];
      }
      // REGEDIT4 gives these texts as 8-bit bytes; the registry keeps UTF-16.
      if (eight_bit_ && (v.type == kRegExpandSz || v.type == kRegMultiSz)) {
        std::optional<WStr> text = decode_8bit(std::string(v.bytes.begin(), v.bytes.end()));
        if (!text) return *why = "the text's bytes are not valid in this file's encoding", false;
        v.bytes = bytes_of_units(*text);
      }
    } else {
      return *why = "the value is none of \"text\", dword:, hex:, hex(N): or -", false;
    }
    entry.value = std::move(v);
    out_->back().entries.push_back(std::move(entry));
    return true;
  }

  std::vector<WStr> lines_;
  std::vector<RegSection>* out_;
  std::size_t index_ = 0;
  bool eight_bit_ = false;
};

}  // namespace

std::string to_reg(const WStr& key_path, const std::vector<NamedValue>& values) {
  WStr text = ascii(kVersion5) + ascii("\r\n\r\n[") + key_path + ascii("]\r\n");
  for (const NamedValue& nv : values) append_value(&text, nv);
  text += ascii("\r\n");
  std::string out = "\xFF\xFE";
  for (tchar c : text) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>((c >> 8) & 0xFF);
  }
  return out;
}

bool from_reg(const std::string& bytes, std::vector<RegSection>* out, RegError* error) {
  std::vector<WStr> lines;
  auto end_line = [&](WStr* line) {
    if (!line->empty() && line->back() == '\r') line->pop_back();
    lines.push_back(std::move(*line));
    line->clear();
  };
  WStr line;
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      auto c = static_cast<tchar>(static_cast<uint8_t>(bytes[i]) |
                                  static_cast<uint8_t>(bytes[i + 1]) << 8);
      if (c == '\n') {
        end_line(&line);
      } else {
        line += c;
      }
    }
    end_line(&line);
    if (bytes.size() % 2) {
      *error = {static_cast<int>(lines.size()), "the UTF-16 text ends in half a unit"};
      return false;
    }
  } else {
    std::size_t start = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (;;) {
      std::size_t newline = bytes.find('\n', start);
      std::optional<WStr> decoded = decode_8bit(
          bytes.substr(start, newline == std::string::npos ? std::string::npos : newline - start));
      if (!decoded) {
        *error = {static_cast<int>(lines.size()) + 1, "not valid text in this file's encoding"};
        return false;
      }
      end_line(&*decoded);
      if (newline == std::string::npos) break;
      start = newline + 1;
    }
  }
  return Reader(std::move(lines), out).read(error);
}

}  // namespace kx::cli
