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

#include <stddef.h>
#include <wchar.h>

#if defined(MOBILEDRVDOWN_BUILDING)
#define MOBILEDRV_API
#else
#define MOBILEDRV_API __declspec(dllimport)
#endif

/* The host's notification operation is an ordinary member function: thiscall on x86. */
#if defined(_M_IX86) || defined(__i386__)
#define MOBILEDRV_THISCALL __thiscall
#else
#define MOBILEDRV_THISCALL
#endif

/* Interface version of this library; CreateInstance serves hosts built for this one or older. */
#define MOBILEDRV_INTERFACE_VERSION 1001

#define MOBILEDRV_NAME_CHARS 512  /* task names: at most 511 characters and the NUL */
#define MOBILEDRV_TEXT_CHARS 2048 /* URLs and target paths: at most 2047 characters and the NUL */

/*
 * A download task. The host fills one as the parameter record of IMobileDrvDown::AddTask; the
 * library keeps its own copy of the same layout. Text is UTF-16, NUL-terminated; longer text is cut
 * without error. 9224 bytes on x86 (owner and cancelEvent are pointer-sized on x64).
 */
typedef struct _MOBILE_DRV_TASK {
    wchar_t name[MOBILEDRV_NAME_CHARS];       /* byte 0: the task's name; may be empty */
    wchar_t url[MOBILEDRV_TEXT_CHARS];        /* byte 1024: the source URL; must not be empty */
    wchar_t targetPath[MOBILEDRV_TEXT_CHARS]; /* byte 5120: the file to write */
    /* byte 9216: in the parameter record, the host's 32-bit context value; in the library's
       copy, the downloader that owns the task. */
    union {
        int context;
        void* owner;
    };
    /* byte 9220: ignored in the parameter record; the task's cancel event in the library. */
    void* cancelEvent;
} _MOBILE_DRV_TASK;

/* Notification kinds passed to IMobileDrvDownCallback::OnNotify. */
enum {
    MOBILEDRV_NOTIFY_SUCCEEDED = 0, /* record: _MOBILE_DRV_RESULT */
    MOBILEDRV_NOTIFY_FAILED = 1,    /* record: _MOBILE_DRV_RESULT */
    MOBILEDRV_NOTIFY_PROGRESS = 2   /* record: _MOBILE_DRV_PROGRESS */
};

/* BEGIN engine status values */
/* END engine status values */

/*
 * Progress of a running task, sent about once a second. 1056 bytes. The seven status values are
 * passed on unchanged from the engine (see the stand-in engine's meaning below).
 */
typedef struct _MOBILE_DRV_PROGRESS {
    wchar_t name[MOBILEDRV_NAME_CHARS]; /* byte 0: the task's name */
    unsigned int status[7];             /* byte 1024: the engine's status values */
    int context;                        /* byte 1052: the downloader's context value */
} _MOBILE_DRV_PROGRESS;

/* The end of a task: success (kind 0) or failure (kind 1). 5124 bytes, zero after every NUL. */
typedef struct _MOBILE_DRV_RESULT {
    wchar_t name[MOBILEDRV_NAME_CHARS];       /* byte 0: the task's name */
    wchar_t targetPath[MOBILEDRV_TEXT_CHARS]; /* byte 1024: the task's target path */
    int context;                              /* byte 5120: the downloader's context value */
} _MOBILE_DRV_RESULT;

#ifdef __cplusplus

/*
 * Implemented by the host and passed to IMobileDrvDown::Init. OnNotify is called on the worker
 * thread of the task concerned; the record is valid only during the call.
 */
class IMobileDrvDownCallback {
public:
    virtual void MOBILEDRV_THISCALL OnNotify(int kind, void* record) = 0;
};

/*
 * The downloader. Obtain one with CreateInstance; call Init, then any number of AddTask,
 * CancelTask and DownloadNow, then Uninit (optional) and Release.
 */
class IMobileDrvDown {
public:
    /* Runs Uninit and destroys the downloader. */
    virtual void __stdcall Release() = 0;
    /* Loads the engine and keeps `callback` (not owned). 1 on success; 0 for a null callback, an
       engine already loaded, no engine file, or an engine that refuses to initialise. Throws
       L"can not load tolvek.dll" (as const wchar_t*) when the engine file cannot be loaded. */
    virtual int __stdcall Init(IMobileDrvDownCallback* callback) = 0;
    /* Drops the callback, cancels every task, waits up to 10 s for the workers, and releases the
       engine. No notification begins after it returns. The downloader may be initialised again. */
    virtual void __stdcall Uninit() = 0;
    /* Starts a named task on a worker thread of its own; 1 when the task was taken. */
    virtual int __stdcall AddTask(_MOBILE_DRV_TASK* task) = 0;
    /* Cancels the first task of that name (letter case ignored); 1 when one was signalled. */
    virtual int __stdcall CancelTask(const wchar_t* name) = 0;
    /* Downloads `url` into `targetPath` through this downloader's engine, blocking; 1 or 0. */
    virtual int __stdcall DownloadNow(const wchar_t* url, const wchar_t* targetPath) = 0;
};

#endif /* __cplusplus */

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Creates a downloader when the host was built for interface version `requestedVersion` or older
 * (there is no lower bound). Writes the library's version, 1001, to *outVersion on every call when
 * outVersion is not null. Null when the version is newer or memory is short.
 */
#ifdef __cplusplus
MOBILEDRV_API IMobileDrvDown* __stdcall CreateInstance(int requestedVersion, int* outVersion);
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
