#include "downloader/blocking_download.h"

#include "MobileDrvDown.h"
#include "engine/msvc_exception.h"
#include "module/files.h"
#include "module/module.h"
#include "module/strings.h"

#include <shlwapi.h>

#include <cstring>
#include <type_traits>

bool RunBlockingPoll(const EngineApi& engine, std::uint32_t handle, HANDLE shutdownEvent) {
    const HANDLE stops[2] = {g_hStopEvent, shutdownEvent};
    const DWORD stopCount = shutdownEvent != nullptr ? 2 : 1;
    PP_TASK_STATUS status;
    for (;;) {
        if (WaitForMultipleObjects(stopCount, stops, FALSE, kBlockingPollIntervalMs) !=
            WAIT_TIMEOUT) {
            engine.PPRemoveTask(handle);
            engine.PPCloseHandle(handle);
            return false;
        }
        std::memset(&status, 0, sizeof status);
        if (!engine.PPQueryTaskEx(handle, &status)) {
            continue;
        }
        if (status.state == kTaskStateFinished) {
            return true;
        }
        if (!IsRunningState(status.state)) {
            return false;
        }
    }
}

bool TargetFolderExists(const wchar_t* targetPath) {
    wchar_t folder[MAX_PATH];
    CopyWStr(folder, MAX_PATH, targetPath);
    PathRemoveFileSpecW(folder);
    return folder[0] != L'\0' && PathFileExistsW(folder);
}

bool DownloadWithEngine(const EngineApi& engine, const wchar_t* url, const wchar_t* targetPath,
                        HANDLE shutdownEvent) {
    ClearTargetFile(targetPath);
    const std::uint32_t handle = engine.PPStartTaskEx(url, targetPath);
    return handle != 0 && RunBlockingPoll(engine, handle, shutdownEvent);
}

namespace {

enum class BlockingOutcome { Failed, Succeeded, EngineNotLoadable };

// Everything DownLoadFile owns lives in this frame and is gone before the engine-load exception
// is raised: nothing unwinds the library's frames when it leaves.
BlockingOutcome DownloadOnce(const wchar_t* url, const wchar_t* targetPath) {
    if (url == nullptr || targetPath == nullptr || !TargetFolderExists(targetPath)) {
        return BlockingOutcome::Failed;
    }
    const EngineLoad load = LoadEngine();
    if (load.status == EngineLoadStatus::NotLoadable) {
        return BlockingOutcome::EngineNotLoadable;
    }
    if (load.status != EngineLoadStatus::Ready) {
        return BlockingOutcome::Failed;
    }
    return DownloadWithEngine(*load.engine, url, targetPath) ? BlockingOutcome::Succeeded
                                                             : BlockingOutcome::Failed;
}

} // namespace

extern "C" int __stdcall DownLoadFile(const wchar_t* url, const wchar_t* targetPath) {
    const BlockingOutcome outcome = DownloadOnce(url, targetPath);
    if (outcome == BlockingOutcome::EngineNotLoadable) {
        RaiseEngineLoadException();
    }
    return outcome == BlockingOutcome::Succeeded ? 1 : 0;
}

static_assert(std::is_same_v<decltype(&DownLoadFile),
                             int(__attribute__((stdcall)) *)(const wchar_t*, const wchar_t*)>);
