// The public header as a host's source meets it: included first and alone, then used. Compiled by
// check_public_header.sh with each host compiler, from C++11 on, warnings as errors. The layout
// checks are the compiler's own view of the records, which the library's build cannot see for
// Microsoft's ABI.
#include "MobileDrvDown.h"

#include <stddef.h>

static_assert(sizeof(_MOBILE_DRV_TASK) == 9216 + 2 * sizeof(void*), "task record size");
static_assert(offsetof(_MOBILE_DRV_TASK, url) == 1024, "task url");
static_assert(offsetof(_MOBILE_DRV_TASK, targetPath) == 5120, "task target path");
static_assert(offsetof(_MOBILE_DRV_TASK, context) == 9216, "task context");
static_assert(offsetof(_MOBILE_DRV_TASK, cancelEvent) == 9216 + sizeof(void*), "task event");
static_assert(sizeof(_MOBILE_DRV_PROGRESS) == 1056, "progress record size");
static_assert(offsetof(_MOBILE_DRV_PROGRESS, status) == 1024, "progress status values");
static_assert(offsetof(_MOBILE_DRV_PROGRESS, context) == 1052, "progress context");
static_assert(sizeof(_MOBILE_DRV_RESULT) == 5124, "result record size");
static_assert(offsetof(_MOBILE_DRV_RESULT, targetPath) == 1024, "result target path");
static_assert(offsetof(_MOBILE_DRV_RESULT, context) == 5120, "result context");
static_assert(sizeof(IMobileDrvDown) == sizeof(void*), "an interface is its table pointer");
static_assert(MOBILEDRV_EXIT_ENGINE_DAMAGED == 0xE0DD0001u, "exit code of a damaged engine");

class CountingCallback : public IMobileDrvDownCallback {
public:
    CountingCallback() : finals(0) {}
    void MOBILEDRV_THISCALL OnNotify(int kind, void* record) override {
        if (kind != MOBILEDRV_NOTIFY_PROGRESS && record != NULL) {
            ++finals;
        }
    }
    int finals;
};

int UseEveryDeclaration(const wchar_t* url, const wchar_t* target) {
    int version = 0;
    IMobileDrvDown* downloader = CreateInstance(MOBILEDRV_INTERFACE_VERSION, &version);
    if (downloader == NULL) {
        return DownLoadFile(url, target) + ExtractZipFile(NULL, NULL);
    }
    CountingCallback callback;
    _MOBILE_DRV_TASK task = {};
    task.context = MOBILEDRV_NOTIFY_SUCCEEDED + MOBILEDRV_NOTIFY_FAILED;
    int taken = 0;
    if (downloader->Init(&callback) == 1) {
        taken = downloader->AddTask(&task) + downloader->CancelTask(task.name) +
                downloader->DownloadNow(url, target);
        downloader->Uninit();
    }
    downloader->Release();
    return taken + callback.finals + MOBILEDRV_NAME_CHARS + MOBILEDRV_TEXT_CHARS;
}
