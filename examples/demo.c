/* A small host: counts its own runs in a store and shows what persisted.
 * Run it twice: the second run finds what the first one wrote. */
#include <stdio.h>

#ifndef KELMIX_NARROW /* 8-bit text: kelmix_x64 (its CMake target sets it too) */
#define KELMIX_NARROW
#endif
#include "kelmix.h"

int main(void) {
  KXHANDLE store = KXInit("KelmixDemo");
  int runs, i, count;
  KXINT64 now = UnixTime();
  if (store < 0x10000) {
    fprintf(stderr, "kelmix demo: cannot open the store (error %d)\n", store);
    return 1;
  }

  /* Reads: a missing value gives 0 and KXError tells why. */
  runs = KXGetValue(store, "runs");
  if (KXError(store) == KX_ERROR_FILE_NOT_FOUND) printf("first run: the store is new\n");
  runs += 1;
  printf("kelmix %s demo: run #%d\n", KXVersion(), runs);
  if (runs > 1) {
    printf("  previous run at unix time %d, greeting \"%s\", pi %.17g\n",
           KXGetValue(store, "last_run"), KXGetString(store, "greeting"), KXGetDouble(store, "pi"));
  }

  /* What the registry holds from earlier runs. */
  count = KXCount(store);
  printf("  stored values: %d\n", count);
  for (i = 0; i < count; ++i) printf("    %s\n", KXGetKey(store, i));
  KXRelease(store);

  /* Writes are queued and written in the background; reads see them at once. */
  KXValue(store, "runs", runs);
  KXValue(store, "last_run", (int)now);
  KXDouble(store, "pi", 3.14159265358979);
  {
    char greeting[64];
    sprintf(greeting, "hello from run %d", runs);
    KXString(store, "greeting", greeting);
  }
  KXString(store, "tmp_scratch", "goes away");
  KXValue(store, "tmp_counter", 1);
  printf("  runs now reads back as %d before it is written\n", KXGetValue(store, "runs"));

  /* Closing writes whatever is still queued. */
  i = KXClose(store);
  store = KXInit("KelmixDemo");
  KXDelPref(store, "tmp_");
  printf("  queued deletion of tmp_* values; closing: %d\n", KXClose(store));
  return 0;
}
