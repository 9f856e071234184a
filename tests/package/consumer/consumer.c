/* Built against an installed kelmix_x64 (CMake target or pkg-config): writes,
 * closes, opens again and reads back. usage: consumer_c STORE_NAME */
#include <stdio.h>
#include <string.h>

#include "kelmix.h"

#ifndef KELMIX_NARROW
#error "the package must define KELMIX_NARROW for kelmix_x64"
#endif

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : "KelmixConsumerC";
  KXHANDLE store;
  int value, rc;
  char text[32];

  if (strcmp(KXVersion(), KELMIX_VERSION_TEXT) != 0) {
    printf("library %s, header %s\n", KXVersion(), KELMIX_VERSION_TEXT);
    return 1;
  }
  store = KXInit(name);
  if (store < 0x10000) return printf("KXInit: %d\n", store), 1;
  KXValue(store, "answer", 42);
  KXString(store, "text", "consumer \xc3\xa9");
  rc = KXClose(store);
  if (rc != KX_OK) return printf("KXClose: %d\n", rc), 1;

  store = KXInit(name);
  value = KXGetValue(store, "answer");
  strncpy(text, KXGetString(store, "text"), sizeof text - 1);
  text[sizeof text - 1] = 0;
  KXClose(store);
  KXWipe(name);
  if (value != 42 || strcmp(text, "consumer \xc3\xa9") != 0) {
    printf("read back %d and \"%s\"\n", value, text);
    return 1;
  }
  printf("consumer_c: ok\n");
  return 0;
}
