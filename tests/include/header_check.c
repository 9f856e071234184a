/* Compiled, never run: the public header as hosts build it (C89 and C++98/17,
 * pedantic, warnings as errors). Each export is taken at the exact type hosts
 * rely on, so a changed signature or calling convention fails the build. */
#include "kelmix.h"

#if KELMIX_VERSION_MAJOR != 3 || !defined(KELMIX_VERSION_MINOR) || !defined(KELMIX_VERSION_PATCH)
#error "the header's version macros are missing"
#endif

#if defined(KELMIX_NARROW)
typedef char kx_unit_size_check[sizeof(KXCHAR) == 1 ? 1 : -1];
#else
typedef char kx_unit_size_check[sizeof(KXCHAR) == 2 ? 1 : -1]; /* UTF-16 units */
#endif
typedef char kx_handle_size_check[sizeof(KXHANDLE) == 4 ? 1 : -1];
typedef char kx_int64_size_check[sizeof(KXINT64) == 8 ? 1 : -1];

struct kx_exports {
  KXHANDLE(KX_CALL* init)(const KXCHAR*);
  int(KX_CALL* close)(KXHANDLE);
  int(KX_CALL* string)(KXHANDLE, const KXCHAR*, const KXCHAR*);
  int(KX_CALL* value)(KXHANDLE, const KXCHAR*, int);
  int(KX_CALL* dbl)(KXHANDLE, const KXCHAR*, double);
  int(KX_CALL* del)(KXHANDLE, const KXCHAR*);
  const KXCHAR*(KX_CALL* get_string)(KXHANDLE, const KXCHAR*);
  int(KX_CALL* get_value)(KXHANDLE, const KXCHAR*);
  double(KX_CALL* get_double)(KXHANDLE, const KXCHAR*);
  int(KX_CALL* exists)(KXHANDLE, const KXCHAR*);
  int(KX_CALL* count)(KXHANDLE);
  const KXCHAR*(KX_CALL* get_key)(KXHANDLE, int);
  int(KX_CALL* del_pref)(KXHANDLE, const KXCHAR*);
  int(KX_CALL* error)(KXHANDLE);
  int(KX_CALL* release)(KXHANDLE);
  int(KX_CALL* release_one)(KXHANDLE, const KXCHAR*);
  int(KX_CALL* wipe)(const KXCHAR*);
  const KXCHAR*(KX_CALL* version)(void);
  KXINT64(KX_CALL* unix_time)(void);
};

struct kx_exports kx_header_check_table = {
    KXInit,     KXClose,      KXString, KXValue,   KXDouble, KXDel,     KXGetString,
    KXGetValue, KXGetDouble,  KXExists, KXCount,   KXGetKey, KXDelPref, KXError,
    KXRelease,  KXReleaseOne, KXWipe,   KXVersion, UnixTime};
