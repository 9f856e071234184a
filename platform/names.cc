#include "platform/names.h"

namespace kx::plat {

namespace {

constexpr uint64_t kFnvBasis = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

}  // namespace

uint64_t key_name_hash(const tchar* name) noexcept {
  std::u16string folded;
  if (!fold_key_name(name, &folded)) return 0;
  uint64_t h = kFnvBasis;
  for (char16_t unit : folded) {
    h = (h ^ (unit & 0xFFu)) * kFnvPrime;
    h = (h ^ (unit >> 8)) * kFnvPrime;
  }
  return h == 0 ? 1 : h;
}

#if !defined(_WIN32)
uint64_t legacy_key_name_hash(const tchar* name) noexcept {
  std::u16string folded;
  if (!fold_key_name(name, &folded)) return 0;
  uint64_t h = 1469598103934665603ull;
  for (char16_t unit : folded) h = (h ^ static_cast<uint16_t>(unit)) * kFnvPrime;
  return h == 0 ? 1 : h;
}
#endif

std::size_t pending_file_hashes(const tchar* name,
                                uint64_t (&hashes)[kMaxPendingFileHashes]) noexcept {
  if (!(hashes[0] = key_name_hash(name))) return 0;
#if defined(_WIN32)
  return 1;
#else
  if (!(hashes[1] = legacy_key_name_hash(name))) return 0;
  return hashes[1] == hashes[0] ? 1 : 2;
#endif
}

bool safe_file_name(const char* name) noexcept {
  if (!name || !*name || *name == '.') return false;
  for (std::size_t n = 0; name[n]; ++n) {
    if (n + 1 >= kMaxFileName || !file_name_char(name[n])) return false;
  }
  return true;
}

}  // namespace kx::plat
