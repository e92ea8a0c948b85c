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
 * Exit code of a process whose engine file failed verification. Before loading the engine the
 * library checks that Tolvek.dll is a file it trusts; when it is not, the user is told that the
 * engine file is damaged (a message box where the process can show one, the debugger output and
 * standard error) and the process ends with this code. A damaged engine is never loaded.
 */
#define MOBILEDRV_EXIT_ENGINE_DAMAGED 0xE0DD0001u

/*
 * Downloads `url` into the file `targetPath` and returns when the transfer has ended: 1 when the
 * engine reported the file complete, 0 otherwise. Blocks the calling thread; reports no progress.
 * Each call loads, verifies and initialises its own instance of the engine and tears it down
 * before it returns. The folder of `targetPath` must exist (it is never created); an existing
 * file at `targetPath` is deleted, or renamed to "~" plus its name and deleted at the next
 * restart, before the transfer starts. Null arguments yield 0.
 * When the engine file exists but cannot be loaded, the call throws a `const wchar_t*` pointing
 * to L"can not load tolvek.dll" (catch it as const wchar_t*, wchar_t*, void* or ...).
 */
MOBILEDRV_API int __stdcall DownLoadFile(const wchar_t* url, const wchar_t* targetPath);

/*
 * Does nothing and returns 1, whatever its arguments (null ones included). Kept for hosts that
 * call it.
 */
MOBILEDRV_API int __stdcall ExtractZipFile(const void* reserved1, const void* reserved2);

#ifdef __cplusplus
}
#endif

#endif /* MOBILEDRVDOWN_H */
