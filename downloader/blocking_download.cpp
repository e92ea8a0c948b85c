#include "downloader/blocking_download.h"

#include "base/files.h"
#include "base/module.h"
#include "base/timing.h"
#include "MobileDrvDown.h"

#include <cstring>

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

static_assert(kMaxTargetChars == MOBILEDRV_TEXT_CHARS - 1, "targets as long as a task holds");

bool TargetFolderExists(const wchar_t* targetPath) {
    // A cut copy of a long path would name an ancestor; the shell's path functions stop at 260
    // characters, the file functions take any path.
    wchar_t folder[kTargetPathCapacity];
    return TargetFolder(targetPath, folder) && folder[0] != L'\0' &&
           GetFileAttributesW(folder) != INVALID_FILE_ATTRIBUTES;
}

bool DownloadWithEngine(const EngineApi& engine, const wchar_t* url, const wchar_t* targetPath,
                        HANDLE shutdownEvent) {
    ClearTargetFile(targetPath);
    const std::uint32_t handle = engine.PPStartTaskEx(url, targetPath);
    return handle != 0 && RunBlockingPoll(engine, handle, shutdownEvent);
}

// Everything this call owns lives in this frame and is gone before the caller raises the
// engine-load exception: nothing unwinds the library's frames when it leaves.
BlockingOutcome DownloadWithOwnEngine(const wchar_t* url, const wchar_t* targetPath) {
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
