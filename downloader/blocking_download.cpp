#include "downloader/blocking_download.h"

#include "base/files.h"
#include "base/module.h"
#include "base/timing.h"
#include "downloader/transfer_poll.h"
#include "MobileDrvDown.h"

namespace {

// One DownloadNow in progress, registered with its downloader so that a shutdown ends it and
// waits for it. Holds the shared state itself: Release on another thread may free the downloader
// object meanwhile.
class BlockingDownload {
public:
    explicit BlockingDownload(StateRef state)
        : state_(std::move(state)), engine_(state_->BeginBlockingDownload()) {}
    ~BlockingDownload() {
        if (engine_) {
            engine_.reset();
            state_->EndBlockingDownload();
        }
    }
    BlockingDownload(const BlockingDownload&) = delete;
    BlockingDownload& operator=(const BlockingDownload&) = delete;

    // Empty when the downloader has no engine or is being shut down.
    const EngineApi* Engine() const { return engine_.get(); }
    HANDLE ShutdownEvent() const { return state_->ShutdownEvent(); }

private:
    StateRef state_;
    EngineRef engine_;
};

// True when the folder of `targetPath` exists; false for a target longer than a task record holds,
// whose folder is never judged from a cut copy.
bool TargetFolderExists(const wchar_t* targetPath) {
    // A cut copy of a long path would name an ancestor; the shell's path functions stop at 260
    // characters, the file functions take any path.
    wchar_t folder[kTargetPathCapacity];
    return TargetFolder(targetPath, folder) && folder[0] != L'\0' &&
           GetFileAttributesW(folder) != INVALID_FILE_ATTRIBUTES;
}

// Clears the target and runs one transfer on an initialised engine, polling it every 200 ms
// (watching the module stop event and, when given, `shutdownEvent`) until it ends: true for state
// 1. A signalled (or failed) wait removes and closes the transfer and yields false.
bool DownloadWithEngine(const EngineApi& engine, const wchar_t* url, const wchar_t* targetPath,
                        HANDLE shutdownEvent = nullptr) {
    TransferPoll transfer(engine, url, targetPath);
    if (!transfer.Started()) {
        return false;
    }
    const HANDLE stops[2] = {g_hStopEvent, shutdownEvent};
    const DWORD stopCount = shutdownEvent != nullptr ? 2 : 1;
    bool succeeded = false;
    transfer.Run(
        [&] {
            // A signalled (or failed) wait ends the transfer: nobody waits for its end any more.
            if (WaitForMultipleObjects(stopCount, stops, FALSE, kBlockingPollIntervalMs) ==
                WAIT_TIMEOUT) {
                return true;
            }
            transfer.Remove();
            return false;
        },
        [&](TransferState state, const PP_TASK_STATUS&) {
            succeeded = state == TransferState::Succeeded;
            return state == TransferState::Running;
        });
    return succeeded;
}

} // namespace

static_assert(kMaxTargetChars == MOBILEDRV_TEXT_CHARS - 1, "targets as long as a task holds");

bool DownloadWithDownloaderEngine(const StateRef& state, const wchar_t* url,
                                  const wchar_t* targetPath) {
    const BlockingDownload download(state);
    return download.Engine() != nullptr && url != nullptr && targetPath != nullptr &&
           TargetFolderExists(targetPath) &&
           DownloadWithEngine(*download.Engine(), url, targetPath, download.ShutdownEvent());
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
