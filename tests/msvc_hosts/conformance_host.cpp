// A host built in Microsoft's C++ ABI that drives the library's whole boundary the way such a host
// does: the CreateInstance handshake, every IMobileDrvDown operation through the vtable, its own
// notification object, the records byte by byte, the two other exports through GetProcAddress,
// and the engine-load exception.
//
// Usage: conformance_host <folder>
// Runs from <folder>\bin, beside MobileDrvDown.dll, which it imports through MobileDrvDown.lib.
// <folder>\Tolvek.dll is the stand-in engine: the host loads it too and scripts its answers through
// its StandIn_ exports (it shares the engine's state with the library in this process). At the end
// the host copies <folder>\Tolvek_unloadable.dll over it to make the engine-load exception.
// Prints one line per check. Exit code: 0 when every check passed, 1 when one failed, 2 when the
// tree is incomplete.
//
// Built without Microsoft's headers and libraries: apart from the public header, it declares what
// it uses of kernel32.dll and msvcrt.dll, and it is its own entry point. Every object with a
// vtable or a large buffer is a constant-initialised global: no runtime start-up code runs
// constructors here, and frames stay under a page, since the stack probe is not linked in.

#include "MobileDrvDownHost.h"

#include "host_runtime.h"

namespace {

constexpr BOOL kTrue = 1;
constexpr BOOL kFalse = 0;
constexpr DWORD kWaitObject0 = 0;
constexpr DWORD kNotifyTimeoutMs = 15000;
constexpr size_t kPathCapacity = 520;
constexpr size_t kProgressSize = sizeof(_MOBILE_DRV_PROGRESS);
constexpr size_t kResultSize = sizeof(_MOBILE_DRV_RESULT);
constexpr wchar_t kUrl[] = L"http://127.0.0.1:9/drivers/phone.zip";
constexpr wchar_t kEngineLoadMessage[] = L"can not load tolvek.dll";

// --- the stand-in engine's control exports (standin_engine/standin_control.h), all cdecl ---

struct StandInStep {
    unsigned int result;
    int state;
    unsigned int values[7];
    unsigned int repeat;
};
static_assert(sizeof(StandInStep) == 40, "the engine's script step");
// A step's result: the query answers. The states it reports, named as the stand-in names them
// (standin_engine/status_values.h, which needs a C++ library this host does not have).
constexpr unsigned int kAnswered = 1;
constexpr int kStateFinished = 1;
constexpr int kStateHttpError = 3;
constexpr int kStateConnecting = 5;
constexpr int kStateReceiving = 6;

struct StandInLogEntry {
    char exportName[32];
    unsigned int threadId;
    unsigned int tickCalled;
    unsigned int tickReturned;
    unsigned int returned;
    unsigned int handle;
    unsigned int result;
    unsigned int argCount;
    unsigned int args[6];
    wchar_t text1[2049];
    wchar_t text2[2049];
};
static_assert(sizeof(StandInLogEntry) == 8280, "the engine's call log entry");

struct StandInCounters {
    unsigned int initCalls;
    unsigned int closeCalls;
    unsigned int liveInstances;
    unsigned int liveHandles;
    unsigned int queuedScripts;
};

struct EngineControl {
    unsigned int(__cdecl* setMode)(unsigned int mode); // absent from older stand-ins
    void(__cdecl* pushScript)(unsigned int startSucceeds, const StandInStep* steps,
                              unsigned int count);
    unsigned int(__cdecl* callCount)(const char* exportName);
    unsigned int(__cdecl* logCount)();
    unsigned int(__cdecl* getLogEntry)(unsigned int index, StandInLogEntry* entry);
    void(__cdecl* getCounters)(StandInCounters* counters);
};

constexpr unsigned int kStandInScripted = 0;

EngineControl g_engine = {};
StandInLogEntry g_logEntry = {};

// --- results ---

int g_failures = 0;

void Report(bool ok, const char* check) {
    printf("%s: %s\n", ok ? "ok" : "FAILED", check);
    if (!ok) {
        ++g_failures;
    }
}

// --- the host's notification object ---

enum class OnFinal { Record, ReleaseDownloader };

// Keeps the first progress record and the final record of the task it follows, as raw bytes, and
// signals an event when the final one arrived. Notifications come on the library's worker
// threads; the lock orders them with the host's own thread.
class HostCallback : public IMobileDrvDownCallback {
public:
    void MOBILEDRV_THISCALL OnNotify(int kind, void* record) override {
        AcquireSRWLockExclusive(&lock_);
        ++notifications_;
        notifyThread_ = GetCurrentThreadId();
        if (kind == MOBILEDRV_NOTIFY_PROGRESS) {
            if (progressCount_++ == 0) {
                CopyBytes(firstProgress_, record, kProgressSize);
            }
        } else {
            finalKind_ = kind;
            ++finalCount_;
            CopyBytes(final_, record, kResultSize);
        }
        const bool release =
            kind != MOBILEDRV_NOTIFY_PROGRESS && onFinal_ == OnFinal::ReleaseDownloader;
        ReleaseSRWLockExclusive(&lock_);

        if (release) {
            // The host ends its downloader from inside the notification: Release runs Uninit,
            // which must not wait for this very notification to return.
            const DWORD started = GetTickCount();
            downloader_->Release();
            const DWORD took = GetTickCount() - started;
            AcquireSRWLockExclusive(&lock_);
            releaseMs_ = took;
            releasedInside_ = true;
            ReleaseSRWLockExclusive(&lock_);
        }
        if (kind != MOBILEDRV_NOTIFY_PROGRESS) {
            SetEvent(finalEvent_);
        }
    }

    bool Open() {
        finalEvent_ = CreateEventW(nullptr, kTrue, kFalse, nullptr);
        return finalEvent_ != nullptr;
    }
    void Close() { CloseHandle(finalEvent_); }

    // Forgets what arrived so far; the next task is followed from its start.
    void Follow(OnFinal onFinal = OnFinal::Record, IMobileDrvDown* downloader = nullptr) {
        AcquireSRWLockExclusive(&lock_);
        progressCount_ = 0;
        finalCount_ = 0;
        finalKind_ = -1;
        notifyThread_ = 0;
        onFinal_ = onFinal;
        downloader_ = downloader;
        releasedInside_ = false;
        ResetEvent(finalEvent_);
        ReleaseSRWLockExclusive(&lock_);
    }

    bool WaitForFinal() {
        return WaitForSingleObject(finalEvent_, kNotifyTimeoutMs) == kWaitObject0;
    }

    bool WaitForProgress(DWORD timeoutMs) {
        const DWORD start = GetTickCount();
        while (Read(progressCount_) == 0) {
            if (GetTickCount() - start >= timeoutMs) {
                return false;
            }
            Sleep(20);
        }
        return true;
    }

    int Notifications() { return Read(notifications_); }
    int ProgressCount() { return Read(progressCount_); }
    int FinalCount() { return Read(finalCount_); }
    int FinalKind() { return Read(finalKind_); }
    DWORD NotifyThread() { return static_cast<DWORD>(Read(notifyThread_)); }
    bool ReleasedInside() { return Read(releasedInside_); }
    DWORD ReleaseMs() { return static_cast<DWORD>(Read(releaseMs_)); }

    // The records as they arrived; read them after WaitForFinal.
    const unsigned char* FirstProgress() const { return firstProgress_; }
    const unsigned char* Final() const { return final_; }

private:
    static void CopyBytes(unsigned char* to, const void* from, size_t count) {
        const unsigned char* bytes = static_cast<const unsigned char*>(from);
        for (size_t i = 0; i < count; ++i) {
            to[i] = bytes[i];
        }
    }
    template <class T>
    T Read(const T& field) {
        AcquireSRWLockExclusive(&lock_);
        const T value = field;
        ReleaseSRWLockExclusive(&lock_);
        return value;
    }

    SrwLock lock_ = {nullptr};
    HANDLE finalEvent_ = nullptr;
    int notifications_ = 0;
    int progressCount_ = 0;
    int finalCount_ = 0;
    int finalKind_ = -1;
    unsigned long notifyThread_ = 0;
    OnFinal onFinal_ = OnFinal::Record;
    IMobileDrvDown* downloader_ = nullptr;
    bool releasedInside_ = false;
    unsigned long releaseMs_ = 0;
    unsigned char firstProgress_[kProgressSize] = {};
    unsigned char final_[kResultSize] = {};
};

constinit HostCallback g_callback;
constinit HostCallback g_releasingCallback;

// --- paths and the parameter record ---

wchar_t g_root[kPathCapacity];
wchar_t g_engine_path[kPathCapacity];
wchar_t g_unloadable_path[kPathCapacity];
wchar_t g_downloads[kPathCapacity];
wchar_t g_target[kPathCapacity];
_MOBILE_DRV_TASK g_task;

void SetTarget(const wchar_t* fileName) {
    _snwprintf(g_target, kPathCapacity, L"%ls\\%ls", g_downloads, fileName);
}

void CopyText(wchar_t* to, size_t capacity, const wchar_t* from) {
    size_t i = 0;
    for (; i + 1 < capacity && from[i] != L'\0'; ++i) {
        to[i] = from[i];
    }
    for (; i < capacity; ++i) {
        to[i] = L'\0';
    }
}

// Fills the parameter record the way a host does; the trailing field of the record is ignored by
// the library and left with bytes that are not zero.
_MOBILE_DRV_TASK* FillTask(const wchar_t* name, const wchar_t* url, const wchar_t* target,
                           int context) {
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&g_task);
    for (size_t i = 0; i < sizeof g_task; ++i) {
        bytes[i] = 0xA5;
    }
    CopyText(g_task.name, MOBILEDRV_NAME_CHARS, name);
    CopyText(g_task.url, MOBILEDRV_TEXT_CHARS, url);
    CopyText(g_task.targetPath, MOBILEDRV_TEXT_CHARS, target);
    g_task.context = context;
    return &g_task;
}

// --- records, byte by byte ---

unsigned char g_expected[kResultSize];

void ClearExpected() {
    for (size_t i = 0; i < kResultSize; ++i) {
        g_expected[i] = 0;
    }
}

// UTF-16 little-endian from `offset`, then its terminator; the bytes after it stay zero.
void PutText(size_t offset, const wchar_t* text) {
    for (size_t i = 0; text[i] != L'\0'; ++i) {
        g_expected[offset + 2 * i] = static_cast<unsigned char>(text[i] & 0xFF);
        g_expected[offset + 2 * i + 1] = static_cast<unsigned char>((text[i] >> 8) & 0xFF);
    }
}

void PutU32(size_t offset, unsigned int value) {
    for (size_t i = 0; i < 4; ++i) {
        g_expected[offset + i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
    }
}

bool SameBytes(const unsigned char* actual, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (actual[i] != g_expected[i]) {
            printf("  byte %u is 0x%02x, expected 0x%02x\n", static_cast<unsigned>(i), actual[i],
                   g_expected[i]);
            return false;
        }
    }
    return true;
}

bool CheckResultRecord(const unsigned char* actual, const wchar_t* name, const wchar_t* target,
                       int context) {
    ClearExpected();
    PutText(offsetof(_MOBILE_DRV_RESULT, name), name);
    PutText(offsetof(_MOBILE_DRV_RESULT, targetPath), target);
    PutU32(offsetof(_MOBILE_DRV_RESULT, context), static_cast<unsigned int>(context));
    return SameBytes(actual, kResultSize);
}

// --- the engine's view ---

bool SameName(const char* a, const char* b) {
    for (; *a == *b; ++a, ++b) {
        if (*a == '\0') {
            return true;
        }
    }
    return false;
}

// The most recent PPStartTaskEx in the engine's log: what the library asked it to transfer.
bool LastStartWas(const wchar_t* url, const wchar_t* target) {
    for (unsigned int i = g_engine.logCount(); i-- > 0;) {
        if (g_engine.getLogEntry(i, &g_logEntry) == 0) {
            return false;
        }
        if (SameName(g_logEntry.exportName, "PPStartTaskEx")) {
            return wcscmp(g_logEntry.text1, url) == 0 && wcscmp(g_logEntry.text2, target) == 0;
        }
    }
    return false;
}

bool WaitForEngineCalls(const char* exportName, unsigned int count) {
    const DWORD start = GetTickCount();
    while (g_engine.callCount(exportName) < count) {
        if (GetTickCount() - start >= 5000) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

unsigned int LiveEngineInstances() {
    StandInCounters counters = {};
    g_engine.getCounters(&counters);
    return counters.liveInstances;
}

void PushScript(const StandInStep* steps, unsigned int count) {
    g_engine.pushScript(1, steps, count);
}

// --- the checks, in the order a host meets the library ---

IMobileDrvDown* CheckHandshake() {
    int version = -1;
    IMobileDrvDown* refused = CreateInstance(MOBILEDRV_INTERFACE_VERSION + 1, &version);
    Report(refused == nullptr && version == 1001,
           "CreateInstance(1002) refuses and writes the version 1001");
    if (refused != nullptr) {
        refused->Release();
    }
    version = -1;
    IMobileDrvDown* downloader = CreateInstance(MOBILEDRV_INTERFACE_VERSION, &version);
    Report(downloader != nullptr && version == 1001, "CreateInstance(1001) creates, writes 1001");
    return downloader;
}

void CheckInit(IMobileDrvDown* downloader) {
    Report(downloader->Init(&g_callback) == 1 && LiveEngineInstances() == 1,
           "Init loads and initialises the engine");
    Report(downloader->Init(&g_callback) == 0, "a second Init is refused");
}

void CheckProgressAndSuccess(IMobileDrvDown* downloader) {
    const StandInStep script[] = {
        {kAnswered, kStateConnecting, {101, 102, 103, 104, 105, 106, 107}, 1},
        {kAnswered, kStateFinished, {}, 1}};
    PushScript(script, 2);
    SetTarget(L"progress.zip");
    const wchar_t name[] = L"conformance-progress";
    const int context = 0x11223344;
    g_callback.Follow();
    Report(downloader->AddTask(FillTask(name, kUrl, g_target, context)) == 1,
           "AddTask takes a task");
    const bool ended = g_callback.WaitForFinal();
    Report(ended && g_callback.FinalKind() == MOBILEDRV_NOTIFY_SUCCEEDED &&
               g_callback.FinalCount() == 1,
           "the task ends with one notification of kind 0 (succeeded)");
    Report(LastStartWas(kUrl, g_target), "the engine got the record's URL and target path");
    Report(g_callback.NotifyThread() != 0 && g_callback.NotifyThread() != GetCurrentThreadId(),
           "OnNotify runs on a thread of the library's, not the host's");

    Report(g_callback.ProgressCount() == 1, "one progress notification (kind 2) came first");
    ClearExpected();
    PutText(offsetof(_MOBILE_DRV_PROGRESS, name), name);
    for (unsigned int i = 0; i < 7; ++i) {
        PutU32(offsetof(_MOBILE_DRV_PROGRESS, status) + 4 * i, 101 + i);
    }
    PutU32(offsetof(_MOBILE_DRV_PROGRESS, context), static_cast<unsigned int>(context));
    Report(SameBytes(g_callback.FirstProgress(), kProgressSize),
           "progress record: name at 0, status values at 1024, context at 1052, zeros after");
    Report(CheckResultRecord(g_callback.Final(), name, g_target, context),
           "success record: name at 0, target path at 1024, context at 5120, zeros after");
}

void CheckFailure(IMobileDrvDown* downloader) {
    const StandInStep script[] = {{kAnswered, kStateHttpError, {}, 1}};
    PushScript(script, 1);
    SetTarget(L"failure.zip");
    const wchar_t name[] = L"conformance-failure";
    const int context = -2;
    g_callback.Follow();
    const bool added = downloader->AddTask(FillTask(name, kUrl, g_target, context)) == 1;
    Report(added && g_callback.WaitForFinal() && g_callback.FinalKind() == MOBILEDRV_NOTIFY_FAILED,
           "a task the engine fails ends with kind 1 (failed)");
    Report(CheckResultRecord(g_callback.Final(), name, g_target, context),
           "failure record: name at 0, target path at 1024, negative context at 5120");
}

void CheckCancel(IMobileDrvDown* downloader) {
    const StandInStep script[] = {{kAnswered, kStateConnecting, {}, 0}}; // runs until it is stopped
    PushScript(script, 1);
    SetTarget(L"cancel.zip");
    const unsigned int closed = g_engine.callCount("PPCloseHandle");
    g_callback.Follow();
    Report(downloader->AddTask(FillTask(L"conformance-cancel", kUrl, g_target, 7)) == 1,
           "AddTask takes a task that runs until cancelled");
    Report(downloader->CancelTask(L"CONFORMANCE-CANCEL") == 1,
           "CancelTask finds the task by its name, letter case ignored");
    Report(WaitForEngineCalls("PPCloseHandle", closed + 1),
           "the cancelled task's transfer is removed and closed in the engine");
    // The worker takes its task out of the list as it ends.
    const DWORD start = GetTickCount();
    int found = 1;
    while ((found = downloader->CancelTask(L"conformance-cancel")) != 0 &&
           GetTickCount() - start < 5000) {
        Sleep(20);
    }
    Report(found == 0, "the ended task is gone: CancelTask no longer finds it");
    Report(g_callback.ProgressCount() == 0 && g_callback.FinalCount() == 0,
           "a cancelled task sends no notification");
    Report(downloader->CancelTask(L"no-such-task") == 0 && downloader->CancelTask(nullptr) == 0,
           "CancelTask of an unknown name or null returns 0");
}

void CheckDownloadNow(IMobileDrvDown* downloader) {
    SetTarget(L"now.zip");
    Report(downloader->DownloadNow(kUrl, g_target) == 1 && LastStartWas(kUrl, g_target),
           "DownloadNow transfers the URL into the target path and returns 1");
    g_engine.pushScript(0, nullptr, 0); // the next transfer does not start
    Report(downloader->DownloadNow(kUrl, g_target) == 0,
           "DownloadNow returns 0 when the engine does not start the transfer");
}

void CheckUninit(IMobileDrvDown* downloader) {
    const StandInStep script[] = {{kAnswered, kStateReceiving, {}, 0}};
    PushScript(script, 1);
    SetTarget(L"uninit.zip");
    g_callback.Follow();
    const bool added = downloader->AddTask(FillTask(L"conformance-uninit", kUrl, g_target, 9)) == 1;
    Report(added && g_callback.WaitForProgress(kNotifyTimeoutMs),
           "a running task reports progress");
    downloader->Uninit();
    const int notified = g_callback.Notifications();
    Report(LiveEngineInstances() == 0, "Uninit cancels the task and closes the engine");
    Sleep(1500);
    Report(g_callback.Notifications() == notified, "no notification comes after Uninit returned");
    Report(downloader->Init(&g_callback) == 1, "the downloader initialises again after Uninit");
    downloader->Release();
    Report(LiveEngineInstances() == 0, "Release closes the engine");
}

void CheckReleaseInsideOnNotify() {
    IMobileDrvDown* downloader = CreateInstance(MOBILEDRV_INTERFACE_VERSION, nullptr);
    if (downloader == nullptr || downloader->Init(&g_releasingCallback) != 1) {
        Report(false, "a second downloader initialises");
        return;
    }
    SetTarget(L"release.zip");
    g_releasingCallback.Follow(OnFinal::ReleaseDownloader, downloader);
    downloader->AddTask(FillTask(L"conformance-release", kUrl, g_target, 3));
    Report(g_releasingCallback.WaitForFinal() && g_releasingCallback.ReleasedInside(),
           "Release from inside OnNotify returns");
    Report(g_releasingCallback.ReleaseMs() < 5000,
           "and does not wait for the notification it is called from");
    Report(LiveEngineInstances() == 0, "and closes the engine");
}

using mobiledrv::DownLoadFileFn;
using mobiledrv::ExtractZipFileFn;

void CheckExports(HMODULE library) {
    auto downLoadFile = reinterpret_cast<DownLoadFileFn>(GetProcAddress(library, "DownLoadFile"));
    auto extractZipFile =
        reinterpret_cast<ExtractZipFileFn>(GetProcAddress(library, "ExtractZipFile"));
    if (downLoadFile == nullptr || extractZipFile == nullptr) {
        Report(false, "GetProcAddress finds DownLoadFile and ExtractZipFile");
        return;
    }
    // The import library's names lead to the same functions.
    Report(downLoadFile == &DownLoadFile && extractZipFile == &ExtractZipFile,
           "GetProcAddress and the import library agree on the exports");
    Report(extractZipFile(nullptr, nullptr) == 1, "ExtractZipFile returns 1");
    SetTarget(L"blocking.zip");
    Report(downLoadFile(kUrl, g_target) == 1 && LastStartWas(kUrl, g_target),
           "DownLoadFile transfers the URL into the target path and returns 1");
    wchar_t missingFolder[kPathCapacity];
    _snwprintf(missingFolder, kPathCapacity, L"%ls\\no-such-folder\\x.zip", g_root);
    Report(downLoadFile(kUrl, missingFolder) == 0, "DownLoadFile into a missing folder returns 0");
    Report(LiveEngineInstances() == 0, "DownLoadFile closes its own engine instance");
}

bool IsEngineLoadMessage(const wchar_t* message) {
    if (message == nullptr || wcscmp(message, kEngineLoadMessage) != 0) {
        printf("  caught \"%ls\"\n", message != nullptr ? message : L"(null)");
        return false;
    }
    return true;
}

void CheckEngineLoadException(HMODULE library, HMODULE engineControl) {
    FreeLibrary(engineControl);
    Report(GetModuleHandleW(g_engine_path) == nullptr, "no engine instance is left loaded");
    if (!CopyFileW(g_unloadable_path, g_engine_path, kFalse)) {
        Report(false, "the unloadable engine replaces Tolvek.dll");
        return;
    }
    auto downLoadFile = reinterpret_cast<DownLoadFileFn>(GetProcAddress(library, "DownLoadFile"));
    IMobileDrvDown* downloader = CreateInstance(MOBILEDRV_INTERFACE_VERSION, nullptr);
    if (downloader == nullptr || downLoadFile == nullptr) {
        Report(false, "a downloader for the engine-load exception");
        return;
    }

    bool ok = false;
    try {
        downloader->Init(&g_callback);
        printf("  Init returned\n");
    } catch (const char*) {
        printf("  caught as const char*\n");
    } catch (const wchar_t* message) {
        ok = IsEngineLoadMessage(message);
    } catch (...) {
        printf("  caught only by catch (...)\n");
    }
    Report(ok, "Init throws the engine-load exception, caught as const wchar_t*");

    ok = false;
    try {
        downloader->Init(&g_callback);
        printf("  Init returned\n");
    } catch (void* object) {
        ok = IsEngineLoadMessage(static_cast<const wchar_t*>(object));
    } catch (...) {
        printf("  caught only by catch (...)\n");
    }
    Report(ok, "Init throws the engine-load exception, caught as void*");

    SetTarget(L"unloadable.zip");
    ok = false;
    try {
        downLoadFile(kUrl, g_target);
        printf("  DownLoadFile returned\n");
    } catch (const wchar_t* message) {
        ok = IsEngineLoadMessage(message);
    } catch (...) {
        printf("  caught only by catch (...)\n");
    }
    Report(ok, "DownLoadFile throws the engine-load exception, caught as const wchar_t*");

    ok = false;
    try {
        downLoadFile(kUrl, g_target);
        printf("  DownLoadFile returned\n");
    } catch (int) {
        printf("  caught as int\n");
    } catch (void* object) {
        ok = IsEngineLoadMessage(static_cast<const wchar_t*>(object));
    } catch (...) {
        printf("  caught only by catch (...)\n");
    }
    Report(ok, "DownLoadFile throws the engine-load exception, caught as void*");

    downloader->Release();
    Report(GetModuleHandleW(g_engine_path) == nullptr, "the unloadable engine is not left loaded");
}

template <class Fn>
bool Bind(HMODULE module, const char* name, Fn& function) {
    function = reinterpret_cast<Fn>(GetProcAddress(module, name));
    if (function == nullptr) {
        printf("the engine lacks %s\n", name);
    }
    return function != nullptr;
}

int Run() {
    int argc = 0;
    wchar_t** argv = nullptr;
    wchar_t** env = nullptr;
    int startupInfo = 0;
    if (__wgetmainargs(&argc, &argv, &env, 0, &startupInfo) != 0 || argc != 2) {
        printf("usage: conformance_host <folder>\n");
        return 2;
    }
    CopyText(g_root, kPathCapacity, argv[1]);
    _snwprintf(g_engine_path, kPathCapacity, L"%ls\\Tolvek.dll", g_root);
    _snwprintf(g_unloadable_path, kPathCapacity, L"%ls\\Tolvek_unloadable.dll", g_root);
    _snwprintf(g_downloads, kPathCapacity, L"%ls\\downloads", g_root);
    CreateDirectoryW(g_downloads, nullptr);

    // The library came with the process, through the import library.
    HMODULE library = GetModuleHandleW(L"MobileDrvDown.dll");
    HMODULE engineControl = LoadLibraryW(g_engine_path);
    if (library == nullptr || engineControl == nullptr ||
        !Bind(engineControl, "StandIn_PushScript", g_engine.pushScript) ||
        !Bind(engineControl, "StandIn_CallCount", g_engine.callCount) ||
        !Bind(engineControl, "StandIn_LogCount", g_engine.logCount) ||
        !Bind(engineControl, "StandIn_GetLogEntry", g_engine.getLogEntry) ||
        !Bind(engineControl, "StandIn_GetCounters", g_engine.getCounters) || !g_callback.Open() ||
        !g_releasingCallback.Open()) {
        printf("the tree in %ls is incomplete\n", g_root);
        return 2;
    }
    // Every transfer answers from the scripts below; none moves bytes.
    g_engine.setMode = reinterpret_cast<decltype(g_engine.setMode)>(
        GetProcAddress(engineControl, "StandIn_SetMode"));
    if (g_engine.setMode != nullptr && g_engine.setMode(kStandInScripted) == 0) {
        printf("the engine does not take scripts\n");
        return 2;
    }

    IMobileDrvDown* downloader = CheckHandshake();
    if (downloader == nullptr) {
        return 1;
    }
    CheckInit(downloader);
    CheckProgressAndSuccess(downloader);
    CheckFailure(downloader);
    CheckCancel(downloader);
    CheckDownloadNow(downloader);
    CheckUninit(downloader); // ends with Release
    CheckReleaseInsideOnNotify();
    CheckExports(library);
    CheckEngineLoadException(library, engineControl);

    g_callback.Close();
    g_releasingCallback.Close();
    printf("%d check(s) failed\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}

} // namespace

extern "C" void __cdecl mainCRTStartup() {
    // exit(), not ExitProcess(): it flushes the output buffered by printf.
    exit(Run());
}
