// A C++ host keeping its settings in a store: a small RAII wrapper over the
// UTF-16 library (kelmix2), with UTF-8 std::string on the host's side.
// Run it twice: the second launch shows what the first one saved.
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelmix.h"

namespace {

static_assert(sizeof(KXCHAR) == 2, "kelmix2 works in UTF-16 units");
using Units = std::basic_string<KXCHAR>;

// UTF-8 to UTF-16; a malformed byte becomes U+FFFD.
Units to_units(std::string_view text) {
  Units out;
  for (size_t i = 0; i < text.size();) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    int extra = lead < 0x80         ? 0
                : (lead >> 5) == 6  ? 1
                : (lead >> 4) == 14 ? 2
                : (lead >> 3) == 30 ? 3
                                    : -1;
    char32_t cp = extra == 0   ? lead
                  : extra == 1 ? lead & 0x1F
                  : extra == 2 ? lead & 0x0F
                               : lead & 0x07;
    bool ok = extra >= 0 && i + extra < text.size();
    for (int k = 1; ok && k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      ok = (next >> 6) == 2;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (!ok || cp > 0x10FFFF) {
      out.push_back(static_cast<KXCHAR>(0xFFFD));
      ++i;
      continue;
    }
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<KXCHAR>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<KXCHAR>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<KXCHAR>(cp));
    }
  }
  return out;
}

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string to_utf8(const KXCHAR* units) {
  std::string out;
  for (size_t i = 0; units[i];) {
    char32_t cp = static_cast<char16_t>(units[i++]);
    if (cp >= 0xD800 && cp < 0xDC00 && units[i] >= 0xDC00 && units[i] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char16_t>(units[i++]) - 0xDC00);
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

// One open store; closing it (which writes what is still queued) is the
// destructor's job, so no early return loses a setting.
class Settings {
 public:
  explicit Settings(const std::string& name) : handle_(KXInit(to_units(name).c_str())) {
    if (handle_ < 0x10000) {
      throw std::runtime_error("cannot open store " + name + " (error " + std::to_string(handle_) +
                               ")");
    }
  }
  ~Settings() {
    if (handle_) KXClose(handle_);
  }
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;
  Settings(Settings&& other) noexcept : handle_(std::exchange(other.handle_, 0)) {}

  // Missing values (or values of another type) come back empty.
  std::optional<std::string> text(const std::string& name) const {
    const KXCHAR* units = KXGetString(handle_, to_units(name).c_str());
    if (KXError(handle_) != KX_OK) return std::nullopt;
    std::string copy = to_utf8(units);
    KXReleaseOne(handle_, units);  // copied: the store may free it now
    return copy;
  }
  int integer(const std::string& name, int fallback) const {
    int value = KXGetValue(handle_, to_units(name).c_str());
    return KXError(handle_) == KX_OK ? value : fallback;
  }
  double number(const std::string& name, double fallback) const {
    double value = KXGetDouble(handle_, to_units(name).c_str());
    return KXError(handle_) == KX_OK ? value : fallback;
  }

  void set(const std::string& name, const std::string& text) {
    check(KXString(handle_, to_units(name).c_str(), to_units(text).c_str()), name);
  }
  void set(const std::string& name, int value) {
    check(KXValue(handle_, to_units(name).c_str(), value), name);
  }
  void set(const std::string& name, double value) {
    check(KXDouble(handle_, to_units(name).c_str(), value), name);
  }

  std::vector<std::string> names() const {
    std::vector<std::string> out;
    int count = KXCount(handle_);
    for (int i = 0; i < count; ++i) out.push_back(to_utf8(KXGetKey(handle_, i)));
    KXRelease(handle_);
    return out;
  }

 private:
  static void check(int rc, const std::string& name) {
    if (rc != KX_OK)
      throw std::runtime_error("cannot write " + name + " (error " + std::to_string(rc) + ")");
  }

  KXHANDLE handle_;
};

}  // namespace

int main() try {
  Settings settings("KelmixHostExample");
  int launch = settings.integer("launches", 0) + 1;
  std::printf("launch %d\n", launch);
  if (auto title = settings.text("window_title")) {
    std::printf("window title from the last launch: %s\n", title->c_str());
  }
  double zoom = settings.number("zoom", 1.0);
  std::printf("zoom %.4g\n", zoom);
  for (const std::string& name : settings.names()) std::printf("  stored: %s\n", name.c_str());

  settings.set("launches", launch);
  settings.set("window_title", "Kelmix \u2014 launch " + std::to_string(launch) + " \U0001F600");
  settings.set("zoom", zoom * 1.25);
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "kelmix host: %s\n", e.what());
  return 1;
}
