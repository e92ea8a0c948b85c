// Example host for MobileDrvDown built with clang in Microsoft mode (clang-cl, or clang for a
// *-pc-windows-msvc target): one blocking download, then one task to its final notification. An
// engine file that cannot be loaded is reported and the host goes on: the library throws its
// engine-load error as Microsoft's runtime throws, so `catch` takes it here as with Microsoft's
// compiler.
//
// Usage: example_host_clang <url> <target file> <task's target file>
// Exit code: 0 when both downloads succeeded, 1 otherwise.
//
// Build it (x86 shown; x64 alike with the x64 tools and folder), in a developer prompt:
//   clang-cl /EHsc /I x86\include example_host_clang.cpp x86\lib\MobileDrvDown.lib
// and run it from x86\bin, beside MobileDrvDown.dll; the engine Tolvek.dll lies in x86\, the
// parent folder of the library's.

#include <stdio.h>
#include <windows.h>

#include "MobileDrvDownHost.h" // MobileDrvDown.h and the helpers of every host

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

_MOBILE_DRV_TASK g_task; // 9 KiB; the library copies it in AddTask

bool BlockingDownload(const wchar_t* url, const wchar_t* target) {
    int result = 0;
    try {
        result = DownLoadFile(url, target);
    } catch (const wchar_t* message) {
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
        try {
            initialised = downloader->Init(&watcher);
        } catch (const wchar_t* message) {
            printf("Init: the engine could not be loaded: %ls\n", message);
            initialised = -1;
        }
        if (initialised == 0) {
            printf("Init: the engine could not be initialised\n");
        } else if (initialised == 1) {
            lstrcpynW(g_task.name, L"phone-driver", MOBILEDRV_NAME_CHARS);
            lstrcpynW(g_task.url, url, MOBILEDRV_TEXT_CHARS);
            lstrcpynW(g_task.targetPath, target, MOBILEDRV_TEXT_CHARS);
            succeeded = downloader->AddTask(&g_task) == 1 && watcher.Succeeded(10 * 60 * 1000);
            downloader->Uninit(); // cancels the task if it has not ended
        }
    }
    return succeeded;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        printf("usage: example_host_clang <url> <target file> <task's target file>\n");
        return 1;
    }
    const bool blocking = BlockingDownload(argv[1], argv[2]);
    const bool task = TaskDownload(argv[1], argv[3]);
    return blocking && task ? 0 : 1;
}
