#include "downloader/drv_downloader.h"

#include "downloader/blocking_download.h"
#include "downloader/worker_thread.h"
#include "base/strings.h"
#include "base/timing.h"
#include "engine/msvc_exception.h"

#include <type_traits>

namespace {

enum class InitOutcome { Refused, Ready, EngineNotLoadable };

// Everything Init owns lives in this frame and is gone before the engine-load exception is
// raised: nothing unwinds the library's frames when it leaves. That includes its own reference to
// the state, which a host may release the downloader under while a refused Init shuts it down.
InitOutcome InitOnce(const StateRef state, IMobileDrvDownCallback* callback) {
    if (callback == nullptr || state->HasEngine()) {
        return InitOutcome::Refused;
    }
    EngineLoad load = LoadEngine();
    switch (load.status) {
    case EngineLoadStatus::Ready:
        // Another thread's Init may have won meanwhile, or a shutdown may run: the instance
        // loaded here is then closed again with its reference.
        return state->Install(std::move(load.engine), callback) ? InitOutcome::Ready
                                                                : InitOutcome::Refused;
    case EngineLoadStatus::InitFailed:
        // The engine refused to initialise and is unloaded already; tasks added before this
        // Init are cancelled as by Uninit, unless another Init has installed an engine meanwhile:
        // that one stays, with its tasks.
        DownloaderState::Shutdown(state, DownloaderState::ShutdownOf::EngineLess);
        return InitOutcome::Refused;
    case EngineLoadStatus::NotLoadable:
        return InitOutcome::EngineNotLoadable;
    case EngineLoadStatus::NoFile:
    case EngineLoadStatus::NoMemory:
        break;
    }
    return InitOutcome::Refused;
}

} // namespace

CDrvDownloader::CDrvDownloader(StateRef state) noexcept : state_(std::move(state)) {}

CDrvDownloader::~CDrvDownloader() {
    DownloaderState::Shutdown(state_);
}

void __stdcall CDrvDownloader::Release() {
    // The host's one reference ends the object: there is no reference count.
    HeapDelete(this);
}

int __stdcall CDrvDownloader::Init(IMobileDrvDownCallback* callback) {
    const InitOutcome outcome = InitOnce(state_, callback);
    if (outcome == InitOutcome::EngineNotLoadable) {
        RaiseEngineLoadException();
    }
    return outcome == InitOutcome::Ready ? 1 : 0;
}

void __stdcall CDrvDownloader::Uninit() {
    // The shutdown holds the state itself: a handler of a message answered while it waits may
    // release this downloader, and nothing of it is touched afterwards.
    DownloaderState::Shutdown(state_);
}

int __stdcall CDrvDownloader::AddTask(_MOBILE_DRV_TASK* record) {
    if (record == nullptr || record->url[0] == L'\0') {
        return 0;
    }
    TaskHandle task = TaskHandle::make();
    if (!task) {
        return 0;
    }
    // Bounded copies: a host field without a terminator is read only up to its own size.
    CopyWStr(task->name, MOBILEDRV_NAME_CHARS, record->name);
    CopyWStr(task->url, MOBILEDRV_TEXT_CHARS, record->url);
    CopyWStr(task->targetPath, MOBILEDRV_TEXT_CHARS, record->targetPath);
    const std::int32_t context = record->context;
    task->owner = this;
    task->cancelEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // A task that could not be cancelled, or whose worker never runs, is refused outright; so is
    // one added while the downloader is being shut down.
    std::uint32_t shutdownsSeen = 0;
    if (task->cancelEvent == nullptr || !state_->BeginWorker(shutdownsSeen)) {
        return 0;
    }
    if (!state_->AppendTask(task)) {
        state_->EndWorker();
        return 0;
    }
    // The value is the task's before its worker starts, since the worker may notify at once (a
    // start the engine refuses); a task whose worker cannot start gives it back.
    const std::int32_t previous = state_->ExchangeContext(context);
    if (!StartWorker(state_, task, shutdownsSeen)) {
        state_->RemoveTask(task.get());
        state_->EndWorker();
        state_->RestoreContext(context, previous);
        return 0;
    }
    // Hosts may pace their calls on this pause.
    Sleep(kAddTaskPauseMs);
    return 1;
}

int __stdcall CDrvDownloader::CancelTask(const wchar_t* name) {
    return name != nullptr ? state_->CancelTask(name) : 0;
}

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

} // namespace

int __stdcall CDrvDownloader::DownloadNow(const wchar_t* url, const wchar_t* targetPath) {
    const BlockingDownload download(state_);
    if (download.Engine() == nullptr || url == nullptr || targetPath == nullptr ||
        !TargetFolderExists(targetPath)) {
        return 0;
    }
    return DownloadWithEngine(*download.Engine(), url, targetPath, download.ShutdownEvent()) ? 1
                                                                                             : 0;
}

IMobileDrvDown* CreateDownloader() {
    StateRef state = StateRef::make();
    // Without its shutdown event a downloader could not end its blocking downloads.
    if (!state || state->ShutdownEvent() == nullptr) {
        return nullptr;
    }
    return HeapNew<CDrvDownloader>(std::move(state));
}

// The exact types hosts call through: stdcall interface operations.
static_assert(std::is_same_v<decltype(&IMobileDrvDown::Release),
                             void (__attribute__((stdcall)) IMobileDrvDown::*)()>);
static_assert(
    std::is_same_v<decltype(&IMobileDrvDown::Init),
                   int (__attribute__((stdcall)) IMobileDrvDown::*)(IMobileDrvDownCallback*)>);
static_assert(std::is_same_v<decltype(&IMobileDrvDown::Uninit),
                             void (__attribute__((stdcall)) IMobileDrvDown::*)()>);
static_assert(std::is_same_v<decltype(&IMobileDrvDown::AddTask),
                             int (__attribute__((stdcall)) IMobileDrvDown::*)(_MOBILE_DRV_TASK*)>);
static_assert(std::is_same_v<decltype(&IMobileDrvDown::CancelTask),
                             int (__attribute__((stdcall)) IMobileDrvDown::*)(const wchar_t*)>);
static_assert(std::is_same_v<decltype(&IMobileDrvDown::DownloadNow),
                             int (__attribute__((stdcall)) IMobileDrvDown::*)(const wchar_t*,
                                                                              const wchar_t*)>);
#if defined(__i386__)
static_assert(
    std::is_same_v<decltype(&IMobileDrvDownCallback::OnNotify),
                   void (__attribute__((thiscall)) IMobileDrvDownCallback::*)(int, void*)>);
#endif
static_assert(sizeof(IMobileDrvDown) == sizeof(void*), "an interface holds only its table pointer");
