// Example host for MobileDrvDown built with MinGW-w64 (GCC or clang): one blocking download, then
// one task to its final notification. An engine file that cannot be loaded is reported and the
// host goes on (engine_load_error_mingw.h).
//
// Usage: example_host_mingw <url> <target file> <task's target file>
// Exit code: 0 when both downloads succeeded, 1 otherwise.
//
// Build it (x86 shown; x64 alike with x86_64-w64-mingw32-g++ and the x64 folder):
//   i686-w64-mingw32-g++ -std=c++17 -municode -static -I x86\include example_host_mingw.cpp
//       x86\lib\libMobileDrvDown.dll.a -o example_host_mingw.exe
// and run it from x86\bin, beside MobileDrvDown.dll; the engine Tolvek.dll lies in x86\, the
// parent folder of the library's.

#include <stdio.h>
#include <windows.h>

#include "MobileDrvDownHost.h" // MobileDrvDown.h and the helpers of every host
#include "engine_load_error_mingw.h"

namespace {

// Waits for the task's final notification. OnNotify runs on the task's worker thread; the event
// is set after the outcome is stored.
class TaskWatcher : public IMobileDrvDownCallback {
public:
    TaskWatcher() : done_(CreateEventW(NULL, TRUE, FALSE, NULL)), succeeded_(false) {}
    ~TaskWatcher() { CloseHandle(done_); }

    void MOBILEDRV_THISCALL OnNotify(int kind, void* record) override {
        if (kind == MOBILEDRV_NOTIFY_PROGRESS) {
            return;
        }
        const _MOBILE_DRV_RESULT* result = static_cast<const _MOBILE_DRV_RESULT*>(record);
        succeeded_ = kind == MOBILEDRV_NOTIFY_SUCCEEDED;
        printf("task %ls: %s, %ls\n", result->name, succeeded_ ? "succeeded" : "failed",
               result->targetPath);
        SetEvent(done_);
    }

    // True when the task succeeded within `timeoutMs`.
    bool Succeeded(DWORD timeoutMs) {
        return WaitForSingleObject(done_, timeoutMs) == WAIT_OBJECT_0 && succeeded_;
    }

private:
    HANDLE done_;
    bool succeeded_;
};

bool BlockingDownload(const wchar_t* url, const wchar_t* target) {
    int result = 0;
    wchar_t message[64];
    if (!CallCatchingEngineLoadError([&] { result = DownLoadFile(url, target); }, message)) {
        printf("DownLoadFile: the engine could not be loaded: %ls\n", message);
        return false;
    }
    printf("DownLoadFile: %s\n", result == 1 ? "downloaded" : "failed");
    return result == 1;
}

bool TaskDownload(const wchar_t* url, const wchar_t* target) {
    // Released when it goes out of scope, after the watcher (declared later) is gone: Uninit
    // comes first, so no notification reaches the watcher after that.
    mobiledrv::unique_downloader downloader(CreateInstance(MOBILEDRV_INTERFACE_VERSION, NULL));
    if (!downloader) {
        return false;
    }
    bool succeeded = false;
    {
        TaskWatcher watcher; // outlives every notification: Uninit comes first
        int initialised = 0;
        wchar_t message[64];
        if (!CallCatchingEngineLoadError([&] { initialised = downloader->Init(&watcher); },
                                         message)) {
            printf("Init: the engine could not be loaded: %ls\n", message);
        } else if (initialised != 1) {
            printf("Init: the engine could not be initialised\n");
        } else {
            // The library copies the record in AddTask.
            _MOBILE_DRV_TASK task = mobiledrv::TaskRecord(L"phone-driver", url, target);
            succeeded = downloader->AddTask(&task) == 1 && watcher.Succeeded(10 * 60 * 1000);
            downloader->Uninit(); // cancels the task if it has not ended
        }
    }
    return succeeded;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        printf("usage: example_host_mingw <url> <target file> <task's target file>\n");
        return 1;
    }
    const bool blocking = BlockingDownload(argv[1], argv[2]);
    const bool task = TaskDownload(argv[1], argv[3]);
    return blocking && task ? 0 : 1;
}
