/*
 * kelmix: named, typed variables that outlive the host process.
 *
 * Two libraries share these declarations: kelmix2 works in UTF-16 text,
 * kelmix_x64 in 8-bit text (the system code page; UTF-8 on Linux). Define
 * KELMIX_NARROW before including this header to use kelmix_x64.
 *
 * Writes are queued and reach storage in the background; reads see pending
 * writes first. Strings returned by KXGetString and KXGetKey belong to the
 * store: they stay valid until KXRelease, KXReleaseOne, KXClose or unloading.
 * Plain C89 and C++.
 */
#ifndef KELMIX_H
#define KELMIX_H

/* Kept equal to the CMake project version; configuring fails otherwise. */
#define KELMIX_VERSION_MAJOR 3
#define KELMIX_VERSION_MINOR 1
#define KELMIX_VERSION_PATCH 1
#define KELMIX_VERSION_TEXT "3.1.1"

#if defined(KX_BUILDING_LIBRARY) && !defined(KX_WIDE) && !defined(KELMIX_NARROW)
#define KELMIX_NARROW
#endif

#if defined(_WIN32)
#include <stddef.h> /* wchar_t */
#define KX_CALL __stdcall
#if defined(KX_BUILDING_LIBRARY)
#define KX_API
#else
#define KX_API __declspec(dllimport)
#endif
#else
#define KX_CALL
#if defined(KX_BUILDING_LIBRARY)
#define KX_API __attribute__((visibility("default")))
#else
#define KX_API
#endif
#endif

#if defined(KELMIX_NARROW)
typedef char KXCHAR;
#elif defined(_WIN32)
typedef wchar_t KXCHAR;
#elif defined(__cplusplus) && __cplusplus >= 201103L
typedef char16_t KXCHAR;
#else
typedef unsigned short KXCHAR; /* a UTF-16 unit */
#endif

typedef int KXHANDLE; /* a handle, or an error code from KXInit */
#if defined(_MSC_VER)
typedef __int64 KXINT64;
#elif defined(__GNUC__)
/* C89 and C++98 have no long long; GCC and clang provide it as an extension. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wlong-long"
__extension__ typedef long long KXINT64;
#pragma GCC diagnostic pop
#else
typedef long long KXINT64;
#endif

/* Error codes a host meets (Windows system error codes on every platform). */
#define KX_OK 0
#define KX_ERROR_FILE_NOT_FOUND 2
#define KX_ERROR_INVALID_HANDLE 6
#define KX_ERROR_NOT_ENOUGH_MEMORY 8
#define KX_ERROR_INVALID_PARAMETER 87
#define KX_ERROR_MORE_DATA 234
#define KX_ERROR_NO_MORE_ITEMS 259
#define KX_ERROR_KEY_DELETED 1018
#define KX_ERROR_NOT_FOUND 1168

#ifdef __cplusplus
extern "C" {
#endif

/* Opens (creating if needed) the store of that name. A handle is >= 0x10000;
 * a smaller nonzero result is an error code; 0 means no memory. The same name
 * gives the same handle while the store is open. The name is copied. */
KX_API KXHANDLE KX_CALL KXInit(const KXCHAR* name);
/* 0 or an error code; writes every pending change, frees the store's strings
 * and ends the handle. */
KX_API int KX_CALL KXClose(KXHANDLE store);
/* Writes and deletes are queued: 0 once queued, else an error code (also in
 * KXError). Names and texts are copied; the host keeps its own. */
/* Queues text as a string value. */
KX_API int KX_CALL KXString(KXHANDLE store, const KXCHAR* name, const KXCHAR* text);
/* Queues a 32-bit integer value. */
KX_API int KX_CALL KXValue(KXHANDLE store, const KXCHAR* name, int value);
/* Queues a double value (stored as its 8 bytes). */
KX_API int KX_CALL KXDouble(KXHANDLE store, const KXCHAR* name, double value);
/* Queues the deletion of one value; deleting a missing value is not an error. */
KX_API int KX_CALL KXDel(KXHANDLE store, const KXCHAR* name);
/* Reads see the newest pending write of that type and exact name first, then
 * storage; on failure they give "", 0 or 0.0 and the code is in KXError. */
/* The text; owned by the store until KXRelease, KXReleaseOne or KXClose. */
KX_API const KXCHAR* KX_CALL KXGetString(KXHANDLE store, const KXCHAR* name);
/* The integer, or 0. */
KX_API int KX_CALL KXGetValue(KXHANDLE store, const KXCHAR* name);
/* The double, or 0.0. */
KX_API double KX_CALL KXGetDouble(KXHANDLE store, const KXCHAR* name);
/* 1 when an integer read succeeds, 0 when the value is missing, -1 otherwise. */
KX_API int KX_CALL KXExists(KXHANDLE store, const KXCHAR* name);
/* Number of values written so far, or a negated error code. */
KX_API int KX_CALL KXCount(KXHANDLE store);
/* Name of the value at index (0-based), owned by the store like KXGetString's
 * texts; "" past the end. */
KX_API const KXCHAR* KX_CALL KXGetKey(KXHANDLE store, int index);
/* Queues the deletion of every value whose name begins with prefix; 0 once
 * queued, else an error code. */
KX_API int KX_CALL KXDelPref(KXHANDLE store, const KXCHAR* prefix);
/* The result code the store recorded last: of KXString, KXValue, KXDouble,
 * KXGetString, KXGetValue, KXGetDouble and KXRelease, and of a KXDel that
 * could not be queued. The other exports record nothing. */
KX_API int KX_CALL KXError(KXHANDLE store);
/* Frees every string the store has handed out; 0, or an error code for a bad
 * handle. */
KX_API int KX_CALL KXRelease(KXHANDLE store);
/* Frees one handed-out string; its index in the store's list, or -1. */
KX_API int KX_CALL KXReleaseOne(KXHANDLE store, const KXCHAR* str);
/* 0 or an error code; deletes a store's key and values from storage. */
KX_API int KX_CALL KXWipe(const KXCHAR* name);
/* The static text KELMIX_VERSION_TEXT, owned by the library; never freed. */
KX_API const KXCHAR* KX_CALL KXVersion(void);
/* Whole seconds since 1970-01-01 00:00:00 UTC. */
KX_API KXINT64 KX_CALL UnixTime(void);

#ifdef __cplusplus
}
#endif

#endif /* KELMIX_H */
