/*
 * MobileDrvDown: download phone-driver packages through the download engine Tolvek.dll.
 *
 * Public header for host applications. Self-contained: it needs only a C++11 compiler for
 * Windows (Microsoft's, clang in Microsoft mode, or MinGW-w64).
 *
 * Calling conventions: every exported function uses __stdcall.
 */
#ifndef MOBILEDRVDOWN_H
#define MOBILEDRVDOWN_H

#if defined(MOBILEDRVDOWN_BUILDING)
#define MOBILEDRV_API
#else
#define MOBILEDRV_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Does nothing and returns 1, whatever its arguments (null ones included). Kept for hosts that
 * call it.
 */
MOBILEDRV_API int __stdcall ExtractZipFile(const void* reserved1, const void* reserved2);

#ifdef __cplusplus
}
#endif

#endif /* MOBILEDRVDOWN_H */
