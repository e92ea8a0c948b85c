/*
 * MobileDrvDown: download phone-driver packages through the download engine Tolvek.dll.
 *
 * Public header for host applications. Self-contained: it needs only a C++11 compiler for
 * Windows (Microsoft's, clang in Microsoft mode, or MinGW-w64). The records are C; the two
 * interfaces and CreateInstance are C++.
 *
 * The engine: the library loads Tolvek.dll from the parent folder of its own folder (for
 * <app>\bin\MobileDrvDown.dll: <app>\Tolvek.dll), and only after checking that the file is one
 * it trusts (see MOBILEDRV_EXIT_ENGINE_DAMAGED).
 *
 * Calling conventions: the three exported functions and every IMobileDrvDown operation use
 * __stdcall; IMobileDrvDownCallback::OnNotify is an ordinary member function (__thiscall on x86).
 * The exports are undecorated (CreateInstance, DownLoadFile, ExtractZipFile); the import library
 * maps the decorated x86 names to them.
 *
 * Threads: every operation may be called from any thread. Notifications arrive on the library's
 * worker threads; see IMobileDrvDownCallback for the rules.
 *
 * Loading: when the system cannot give the library what it needs for its whole life (its own
 * full file name, which it never has whole from a path of 260 characters or more; an event; a
 * thread-local slot; random bytes for its stack canary), the library refuses to be loaded rather
 * than stay loaded unable to work.
 * What the host sees depends on how it loads the library:
 * - A host that calls LoadLibrary gets null with GetLastError() == ERROR_DLL_INIT_FAILED (1114)
 *   and goes on; a later load may succeed (a path that is too long fails every time).
 * - A host linked to the import library does not start: Windows ends its process before any of
 *   its code runs, with STATUS_DLL_INIT_FAILED (0xC0000142) as its exit code, and tells the user
 *   that the application was unable to start correctly. Such a host cannot handle the failure
 *   itself; one that must, loads the library with LoadLibrary.
 * Install the library at a path of fewer than 260 characters.
 */
#ifndef MOBILEDRVDOWN_H
#define MOBILEDRVDOWN_H

#include <stddef.h>

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
 * library copies what it needs during the call and keeps its own record of the same layout, so
 * the host may reuse or free its record as soon as AddTask returns. Text is UTF-16 and
 * NUL-terminated; longer text, or a field without a terminator, is cut at the field's size without
 * error. 9224 bytes on x86; 9232 on x64, where owner and cancelEvent are pointer-sized.
 */
typedef struct _MOBILE_DRV_TASK {
    /* byte 0: the task's name, which CancelTask looks for; may be empty. Names need not be
       unique. */
    wchar_t name[MOBILEDRV_NAME_CHARS];
    /* byte 1024: the source URL, passed to the engine as it is; must not be empty. */
    wchar_t url[MOBILEDRV_TEXT_CHARS];
    /* byte 5120: the file to write. When the task's worker starts, a file already there is
       deleted, or renamed to "~" plus its name and deleted at the next restart; a folder there is
       never removed. The folder of the path is not created.
       Only an administrator can have a file deleted at the next restart: for a standard user the
       renamed file stays (without the read-only attribute) until the next download to the same
       target deletes it, so at most one "~" file per target is left on disk. */
    wchar_t targetPath[MOBILEDRV_TEXT_CHARS];
    /* byte 9216: in the parameter record, the host's 32-bit context value. A taken task makes it
       the downloader's context value, which every later notification of the downloader carries
       (of any of its tasks). In the library's copy, the downloader that owns the task. */
    union {
        int context;
        void* owner;
    };
    /* byte 9220 (x64: 9224): ignored in the parameter record; the task's cancel event in the
       library's copy. */
    void* cancelEvent;
} _MOBILE_DRV_TASK;

/*
 * Notification kinds passed to IMobileDrvDownCallback::OnNotify. The worker of a task asks the
 * engine for the transfer's state once a second: a running state sends a progress notification,
 * the finished state ends the task with a success notification, any other state with a failure
 * notification. A query the engine does not answer sends nothing and is repeated a second later.
 * A transfer the engine does not start ends its task with a failure notification, like any
 * failed transfer; so does a task whose worker can no longer wait on its cancel signal (a wait of
 * the system that fails): its transfer is removed from the engine and the task ends with one
 * failure notification, since it could not be cancelled any more. A task sends no notification
 * at all when it is cancelled (CancelTask, Uninit,
 * Release) before its end is sent, or when its downloader has no engine (AddTask before Init,
 * when there is no callback to tell): such a task just ends.
 */
enum {
    MOBILEDRV_NOTIFY_SUCCEEDED = 0, /* the file is complete; record: _MOBILE_DRV_RESULT */
    MOBILEDRV_NOTIFY_FAILED = 1,    /* the transfer failed; record: _MOBILE_DRV_RESULT */
    MOBILEDRV_NOTIFY_PROGRESS = 2   /* still running; record: _MOBILE_DRV_PROGRESS */
};

/*
 * The seven status values of a progress notification are the engine's: the library passes them
 * on unchanged from each status query and gives them no meaning of its own. Hosts see the values,
 * never the engine's state, which decides only how a task ends. The stand-in engine that comes
 * with the library documents what it reports in docs/standin-engine.md.
 */

/*
 * Progress of a running task (kind 2), sent about once a second, the first one about a second
 * after the task was added. 1056 bytes, zero after the name's NUL. The seven status values are
 * passed on unchanged from the engine (their meaning for the stand-in engine is given above).
 */
typedef struct _MOBILE_DRV_PROGRESS {
    wchar_t name[MOBILEDRV_NAME_CHARS]; /* byte 0: the task's name */
    unsigned int status[7];             /* byte 1024: the engine's status values */
    int context;                        /* byte 1052: the downloader's context value */
} _MOBILE_DRV_PROGRESS;

/*
 * The end of a task: success (kind 0) or failure (kind 1), sent once, as the task's last
 * notification. 5124 bytes, zero after every NUL.
 */
typedef struct _MOBILE_DRV_RESULT {
    wchar_t name[MOBILEDRV_NAME_CHARS];       /* byte 0: the task's name */
    wchar_t targetPath[MOBILEDRV_TEXT_CHARS]; /* byte 1024: the task's target path */
    int context;                              /* byte 5120: the downloader's context value */
} _MOBILE_DRV_RESULT;

#ifdef __cplusplus

/*
 * Implemented by the host and passed to IMobileDrvDown::Init; the library does not own it, and it
 * must stay valid until Uninit (or Release) of that downloader has returned.
 *
 * OnNotify(kind, record): `kind` is a MOBILEDRV_NOTIFY_ value, `record` points to the record that
 * kind names. The record is valid only during the call: copy what you keep.
 *
 * Threading rules:
 * - OnNotify is called on the task's own worker thread, never on a thread of the host. The
 *   notifications of one task arrive one after the other, in order.
 * - Notifications of different tasks, and of different downloaders, may arrive at the same time on
 *   different threads: OnNotify must be safe to run concurrently with itself and with the host.
 * - The library holds no lock during the call. From inside OnNotify a host may call any operation,
 *   CancelTask, Uninit and even Release of the same downloader or of another one included,
 *   without deadlock: a shutdown (Uninit or Release) called from inside a notification does not
 *   wait for the notifications from inside which shutdowns run, its own among them, so
 *   downloaders may also release each other from their notifications. (AddTask pauses 100 ms
 *   and DownloadNow blocks until its transfer ends: both hold up that task's worker meanwhile.)
 * - No OnNotify begins after Uninit or Release of its downloader has returned. None of it is
 *   still running then, except, when that Uninit or Release was called from inside a
 *   notification (of any downloader), those of its notifications from inside which a shutdown of
 *   any downloader was called and has not returned yet. The callback of such a notification must
 *   stay valid until that notification returns.
 * - A long OnNotify delays the task whose worker runs it, and an Uninit, which waits for it
 *   without a time limit. OnNotify may SendMessage to a window of the thread that is inside
 *   Uninit or Release: while they wait, they answer messages sent to their thread (posted ones
 *   stay queued for its message loop). OnNotify may also SendMessage to a window whose handler
 *   calls Uninit or Release of the same downloader: a shutdown that begins on a thread handling
 *   a message another thread sent, while a notification of its downloader runs, answers that
 *   message with 0 before it waits (ReplyMessage). Its sender's SendMessage then returns 0 at
 *   once, while the handler goes on inside the shutdown. Only the message being handled is
 *   answered, not one whose handler runs further out on that thread: if a notification of the
 *   same downloader sent that outer message, it and the shutdown wait for each other. Nor may
 *   OnNotify wait for that thread otherwise: for a lock it holds, an event it would set, or the
 *   answer to a message posted to it. It waits for the notification, and both would wait for
 *   ever.
 * - When the process exits (ExitProcess, or returning from main), the system ends the library's
 *   workers wherever they are, inside OnNotify too. A Release called then, for instance from a
 *   host DLL's DLL_PROCESS_DETACH, waits for none of them.
 */
class IMobileDrvDownCallback {
public:
    virtual void MOBILEDRV_THISCALL OnNotify(int kind, void* record) = 0;
};

/*
 * The downloader. Obtain one with CreateInstance; call Init, then any number of AddTask,
 * CancelTask and DownloadNow, then Uninit (optional) and Release. The operations are slots 0 to 5
 * of the table, in the order declared; there is no reference count and no virtual destructor.
 * Each downloader has its own engine instance, task list and callback.
 */
class IMobileDrvDown {
public:
    /* Runs Uninit and destroys the downloader; the pointer is invalid afterwards. Allowed from
       inside OnNotify. Calls of this downloader made from inside its notifications may be in
       progress meanwhile (Release waits for them); a host must not make any other call of it
       that could still be in progress, or begin, on another thread. Workers still ending keep
       what they use, and the library stays loaded until the last of them has exited. */
    virtual void __stdcall Release() = 0;
    /* Loads and initialises an engine instance for this downloader and keeps `callback`. 1 on
       success; 0 for a null callback, a downloader that has an engine already (a second Init),
       no engine file, too little memory, an engine that lacks PPInit2 or refuses to initialise
       (tasks added before are then cancelled as by Uninit, unless another Init of this
       downloader has installed an engine meanwhile: that engine, its callback and its tasks
       stay), or while Uninit or Release of this downloader runs.
       Too little memory includes memory, hashing or cryptography of the system running short
       while the engine file is checked: that is no sign of a damaged or unreadable file.
       When the engine file exists but cannot be opened, read through or loaded, Init throws
       L"can not load tolvek.dll" (see DownLoadFile for how to catch it). An engine file that
       fails the check ends the process (MOBILEDRV_EXIT_ENGINE_DAMAGED). */
    virtual int __stdcall Init(IMobileDrvDownCallback* callback) = 0;
    /* Drops the callback, cancels every task of this downloader (their transfers are removed from
       the engine) and ends its DownloadNow calls in progress on other threads (see DownloadNow),
       waits until no task worker of this downloader runs, for at most 10 s (a worker that the
       engine holds longer is left to end by itself), then until no notification of it is in
       progress and those DownloadNow calls no longer use the engine, and releases the engine
       instance (it is unloaded once no worker uses it any more). Workers of other downloaders
       are not waited for.
       While it waits it answers the messages other threads send to the calling thread, so an
       OnNotify may SendMessage to that thread's windows; called in the handler of such a
       message, it answers that message first (see IMobileDrvDownCallback).
       No notification begins after it returns; which may still be running when it is called
       from inside OnNotify is said there. No task is taken while it runs, and a task whose
       worker had not reached the engine when it began ends without a transfer. Allowed from
       inside OnNotify. Does nothing harmful when called twice or before Init; the downloader may
       be initialised again. */
    virtual void __stdcall Uninit() = 0;
    /* Copies `task` and starts it on a worker thread of its own. 1 when the task was taken, after
       a pause of 100 ms; 0 at once for a null record, an empty URL, too little memory, when
       the task's cancel event or its worker thread cannot be created, or while Uninit or Release
       of this downloader runs (on another thread, or from inside OnNotify, as when a completion
       handler queues the next file): such a task is not taken and nothing of it runs. Init is not
       required, but without an engine the task ends at once without notification. A transfer
       the engine does not start ends the task with a failure notification. The task leaves the
       downloader's list by itself when its worker ends. */
    virtual int __stdcall AddTask(_MOBILE_DRV_TASK* task) = 0;
    /* Cancels a running task of that name (letter case ignored): its transfer is removed from
       the engine and it sends no more notifications. A task runs until its end is decided, just
       before its final notification is sent (or would be); from then on no CancelTask finds it.
       When several running tasks share the name, the one AddTask took first is cancelled. So
       from inside a task's final notification, CancelTask of its name never reaches the task
       being told of: it cancels the oldest other running task of that name, such as a retry
       added there. 1 when a task was signalled; 0 for a null name or no running task of that
       name. A cancelled task leaves the list once its worker has ended, which may be at once,
       even before CancelTask returns: a second CancelTask of that name may still find it (1) or
       not (0), which carries no meaning, or find another running task of that name and cancel
       that one; rely on the first call's 1 alone. */
    virtual int __stdcall CancelTask(const wchar_t* name) = 0;
    /* Downloads `url` into `targetPath` through this downloader's engine and returns when the
       transfer has ended (the state is queried every 200 ms): 1 when the engine reported the
       file complete, 0 otherwise. 0 at once without Init, for null arguments, or when the folder
       of `targetPath` does not exist. The target is cleared first as for AddTask. Sends no
       notifications. Uninit or Release of this downloader on another thread ends it: within one
       200 ms poll step the transfer is removed from the engine and DownloadNow returns 0; the
       Uninit or Release returns only after that. */
    virtual int __stdcall DownloadNow(const wchar_t* url, const wchar_t* targetPath) = 0;
};

#endif /* __cplusplus */

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Creates a downloader when the host was built for interface version `requestedVersion` or older
 * (there is no lower bound). Writes the library's version, 1001, to *outVersion on every call when
 * outVersion is not null. Null when the version is newer or memory is short. A host may create
 * any number of downloaders; each is ended by its Release.
 */
#ifdef __cplusplus
MOBILEDRV_API IMobileDrvDown* __stdcall CreateInstance(int requestedVersion, int* outVersion);
#endif

/*
 * Exit code of a process whose engine file failed verification. Before loading the engine (Init,
 * DownLoadFile) the library reads Tolvek.dll through and checks that it is a file it trusts, by
 * its SHA-256 digest; when a file read whole is not, the user is told that the engine file is
 * damaged (a message box where the process can show one, the debugger output and standard error)
 * and the process ends with this code: the call does not return. A damaged engine is never
 * loaded. A file that cannot be read through is not taken for damaged: see DownLoadFile.
 */
#define MOBILEDRV_EXIT_ENGINE_DAMAGED 0xE0DD0001u

/*
 * Downloads `url` into the file `targetPath` and returns when the transfer has ended: 1 when the
 * engine reported the file complete, 0 otherwise. Blocks the calling thread; reports no progress.
 * Each call loads, verifies and initialises its own instance of the engine and tears it down
 * before it returns; it needs no downloader. The folder of `targetPath` must exist (it is never
 * created); an existing file at `targetPath` is deleted, or renamed to "~" plus its name and
 * deleted at the next restart (see _MOBILE_DRV_TASK::targetPath for what a standard user keeps),
 * before the transfer starts; a folder there is never removed. Null arguments yield 0, as do no
 * engine file and too little memory (as for Init).
 * No time limit: the call returns only when the engine reports the transfer finished or failed.
 * While the engine reports it running, or does not answer the query for its state, the call goes
 * on asking every 200 ms, for ever if that lasts, and nothing the host can call ends it. Do not
 * call it on a thread that must stay responsive (a window's thread); use a thread of its own, or
 * IMobileDrvDown::DownloadNow, which has no time limit either but which Uninit or Release of its
 * downloader, called on another thread, ends.
 * When the engine file exists but cannot be opened, read through (an I/O error says nothing
 * about the file, so it is not taken for damage) or loaded, the call throws a
 * `const wchar_t*` pointing to L"can not load tolvek.dll", before the target is touched. It is
 * raised as Microsoft's C++ runtime raises a throw: a host built with Microsoft's compiler (or
 * clang in Microsoft mode) catches it as const wchar_t*, wchar_t*, void* or ...; to a host built
 * with another compiler it is a structured exception with code 0xE06D7363.
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
