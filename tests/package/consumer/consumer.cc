// Built against an installed kelmix2 (UTF-16): writes, closes, opens again and
// reads back. usage: consumer_cxx STORE_NAME
#include <cstdio>
#include <string>

#include "kelmix.h"

#if defined(KELMIX_NARROW)
#error "kelmix2 is the UTF-16 library"
#endif
#if defined(_WIN32)
#define TEXT16(s) L##s
#else
#define TEXT16(s) u##s
#endif

int main(int argc, char** argv) {
  std::string narrow = argc > 1 ? argv[1] : "KelmixConsumerCxx";
  std::basic_string<KXCHAR> name(narrow.begin(), narrow.end());
  KXHANDLE store = KXInit(name.c_str());
  if (store < 0x10000) return std::printf("KXInit: %d\n", store), 1;
  KXDouble(store, TEXT16("ratio"), 0.125);
  KXString(store, TEXT16("text"), TEXT16("consumer \u00e9"));
  if (int rc = KXClose(store); rc != KX_OK) return std::printf("KXClose: %d\n", rc), 1;

  store = KXInit(name.c_str());
  double ratio = KXGetDouble(store, TEXT16("ratio"));
  std::basic_string<KXCHAR> text = KXGetString(store, TEXT16("text"));
  KXClose(store);
  KXWipe(name.c_str());
  if (ratio != 0.125 || text != TEXT16("consumer \u00e9")) {
    std::printf("read back %g and %zu units\n", ratio, text.size());
    return 1;
  }
  std::printf("consumer_cxx: ok\n");
  return 0;
}
