// Drives bounded sequences of exports with arbitrary names, texts, prefixes,
// indices and handles, live, stale and made up. Nothing may crash, leak or
// trip a sanitizer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kelmix.h"
#include "platform/platform.h"

namespace {

using Str = std::basic_string<KXCHAR>;

// Reads the fuzzer's bytes as a stream of small values and strings.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  int32_t int32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
    return static_cast<int32_t>(v);
  }
  // Up to 15 units; the store names come from a small set so the registry
  // stays small however long the fuzzer runs.
  Str text() {
    Str s;
    for (int n = byte() % 16; n > 0; --n) {
      KXCHAR c = static_cast<KXCHAR>(byte());
      if (sizeof(KXCHAR) == 2) c = static_cast<KXCHAR>((c << 8) | byte());
      if (c != 0) s.push_back(c);
    }
    return s;
  }
  Str store_name() {
    static const char* const kNames[] = {"fuzz_a", "fuzz_b", "Fuzz_A", "fuzz_c"};
    std::string n = kNames[byte() % 4];
    return Str(n.begin(), n.end());
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kx::on_library_load();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  std::vector<KXHANDLE> handles;
  std::vector<const KXCHAR*> strings;
  auto handle = [&]() -> KXHANDLE {
    uint8_t pick = in.byte();
    if (pick < 200 && !handles.empty()) return handles[pick % handles.size()];
    return in.int32();  // stale or made up
  };
  for (int op = 0; op < 64 && !in.empty(); ++op) {
    Str name = in.text();
    const KXCHAR* n = in.byte() % 16 == 0 ? nullptr : name.c_str();
    switch (in.byte() % 19) {
      case 0: {
        Str store = in.store_name();
        KXHANDLE h = KXInit(store.c_str());
        if (h >= 0x10000) handles.push_back(h);
        break;
      }
      case 1:
        KXClose(handle());
        break;
      case 2: {
        Str t = in.text();
        KXString(handle(), n, t.c_str());
        break;
      }
      case 3:
        KXValue(handle(), n, in.int32());
        break;
      case 4:
        KXDouble(handle(), n, static_cast<double>(in.int32()) / 7.0);
        break;
      case 5:
        KXDel(handle(), n);
        break;
      case 6:
        strings.push_back(KXGetString(handle(), n));
        break;
      case 7:
        KXGetValue(handle(), n);
        break;
      case 8:
        KXGetDouble(handle(), n);
        break;
      case 9:
        KXExists(handle(), n);
        break;
      case 10:
        KXCount(handle());
        break;
      case 11:
        strings.push_back(KXGetKey(handle(), in.int32() % 8));
        break;
      case 12:
        KXDelPref(handle(), n);
        break;
      case 13:
        KXError(handle());
        break;
      case 14:
        KXRelease(handle());
        strings.clear();
        break;
      case 15: {
        // A string handed out earlier (maybe released) or one of our own.
        const KXCHAR* s =
            strings.empty() || in.byte() % 2 ? name.c_str() : strings[in.byte() % strings.size()];
        if (KXReleaseOne(handle(), s) >= 0) strings.clear();
        break;
      }
      case 16: {
        Str store = in.store_name();
        KXWipe(store.c_str());
        break;
      }
      case 17:
        KXVersion();
        break;
      case 18:
        UnixTime();
        break;
    }
  }
  for (KXHANDLE h : handles) KXClose(h);
  return 0;
}
