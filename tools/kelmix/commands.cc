#include "tools/kelmix/commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

namespace kx::cli {

void fail(int code, std::string message) { throw Failure{code, std::move(message)}; }

std::string error_text(int32_t rc) { return "error " + std::to_string(rc); }

WStr text_arg(const std::string& utf8, const char* what) {
  std::optional<WStr> w = widen(utf8);
  if (!w) fail(kExitUsage, std::string(what) + " is not valid UTF-8");
  return *w;
}

std::string read_input(const std::string& path) {
  std::FILE* f = nullptr;
  bool is_stdin = path == "-";
  if (is_stdin) {
    f = stdin;
  } else {
#if defined(_WIN32)
    f = _wfopen(text_arg(path, "the file name").c_str(), L"rb");
#else
    f = std::fopen(path.c_str(), "rb");
#endif
    if (!f) fail(kExitBadInput, "cannot open \"" + path + "\": " + std::strerror(errno));
  }
  std::string data;
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) data.append(buffer, n);
  bool failed = std::ferror(f) != 0;
  if (!is_stdin) std::fclose(f);
  if (failed) fail(kExitBadInput, "cannot read \"" + path + "\"");
  return data;
}

void write_output(const std::string& path, const std::string& data, Output* out) {
  if (path == "-") {
    out->data = data;
    out->raw = true;
    return;
  }
#if defined(_WIN32)
  std::FILE* f = _wfopen(text_arg(path, "the file name").c_str(), L"wb");
#else
  std::FILE* f = std::fopen(path.c_str(), "wb");
#endif
  if (!f) fail(kExitFailed, "cannot create \"" + path + "\": " + std::strerror(errno));
  bool written = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  if (std::fclose(f) != 0 || !written) fail(kExitFailed, "cannot write \"" + path + "\"");
}

}  // namespace kx::cli
