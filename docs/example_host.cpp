// Example host for MobileDrvDown: downloads one driver package on a worker thread of the library,
// prints its progress, and waits for the end of the task.
//
// Usage: example_host <url> <target file>
// Exit code: 0 when the package was downloaded, 1 otherwise.
//
// Build it with Microsoft's tools (x86 shown; x64 alike with the x64 folder):
//   cl /EHsc /I x86\include example_host.cpp x86\lib\MobileDrvDown.lib
// and run it from x86\bin, beside MobileDrvDown.dll; the engine Tolvek.dll lies in x86\, the
// parent folder of the library's.

#include <stdio.h>
#include <windows.h>

#include "MobileDrvDown.h"

namespace {

const wchar_t kTaskName[] = L"phone-driver";
// How long the example waits for its task before it cancels it.
const DWORD kTaskTimeoutMs = 10 * 60 * 1000;

// The host's notification object. The library calls OnNotify on the task's own worker thread:
// anything it shares with the host's threads needs synchronisation (here: one event, set after
// the outcome is stored). The record is valid only during the call; copy what you keep.
class DownloadWatcher : public IMobileDrvDownCallback {
public:
    DownloadWatcher() : done_(CreateEventW(NULL, TRUE, FALSE, NULL)), succeeded_(false) {}
    ~DownloadWatcher() { CloseHandle(done_); }

    void MOBILEDRV_THISCALL OnNotify(int kind, void* record) override {
        if (kind == MOBILEDRV_NOTIFY_PROGRESS) {
            const _MOBILE_DRV_PROGRESS* progress = static_cast<const _MOBILE_DRV_PROGRESS*>(record);
            // The seven values are the engine's own (see MobileDrvDown.h).
            printf("%ls: progress %u %u %u %u %u %u %u\n", progress->name, progress->status[0],
                   progress->status[1], progress->status[2], progress->status[3],
                   progress->status[4], progress->status[5], progress->status[6]);
            return;
        }
        const _MOBILE_DRV_RESULT* result = static_cast<const _MOBILE_DRV_RESULT*>(record);
        succeeded_ = kind == MOBILEDRV_NOTIFY_SUCCEEDED;
        printf("%ls: %s, %ls\n", result->name, succeeded_ ? "succeeded" : "failed",
               result->targetPath);
        SetEvent(done_);
    }

    // True when the task ended within `timeoutMs`.
    bool WaitForEnd(DWORD timeoutMs) {
        return WaitForSingleObject(done_, timeoutMs) == WAIT_OBJECT_0;
    }
    // Read only after WaitForEnd returned true.
    bool Succeeded() const { return succeeded_; }

private:
    HANDLE done_;
    bool succeeded_;
};

// The parameter record of AddTask; the library copies it, so one record serves every call.
_MOBILE_DRV_TASK g_task;

// Loads the engine. A downloader whose engine file exists but cannot be loaded throws a wide
// string; any other failure returns 0.
int InitDownloader(IMobileDrvDown* downloader, IMobileDrvDownCallback* callback) {
    try {
        return downloader->Init(callback);
    } catch (const wchar_t* message) {
        printf("the engine could not be loaded: %ls\n", message);
        return 0;
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        printf("usage: example_host <url> <target file>\n");
        return 1;
    }

    // The handshake: ask for the interface this host was built with.
    int libraryVersion = 0;
    IMobileDrvDown* downloader = CreateInstance(MOBILEDRV_INTERFACE_VERSION, &libraryVersion);
    if (downloader == NULL) {
        printf("the library (interface %d) cannot serve interface %d\n", libraryVersion,
               MOBILEDRV_INTERFACE_VERSION);
        return 1;
    }

    bool succeeded = false;
    {
        // The watcher must outlive every notification: Uninit below guarantees that none is
        // running or starts after it returns.
        DownloadWatcher watcher;
        if (InitDownloader(downloader, &watcher) == 1) {
            lstrcpynW(g_task.name, kTaskName, MOBILEDRV_NAME_CHARS);
            lstrcpynW(g_task.url, argv[1], MOBILEDRV_TEXT_CHARS);
            lstrcpynW(g_task.targetPath, argv[2], MOBILEDRV_TEXT_CHARS);
            g_task.context = 1;
            if (downloader->AddTask(&g_task) == 1) {
                if (watcher.WaitForEnd(kTaskTimeoutMs)) {
                    succeeded = watcher.Succeeded();
                } else {
                    printf("%ls: no end in time, cancelled\n", kTaskName);
                    downloader->CancelTask(kTaskName);
                }
            } else {
                printf("the task was not taken\n");
            }
            downloader->Uninit();
        } else {
            printf("the engine could not be initialised\n");
        }
    }
    downloader->Release();
    return succeeded ? 0 : 1;
}
