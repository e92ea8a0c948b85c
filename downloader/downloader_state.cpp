#include "downloader/downloader_state.h"

#include "base/timing.h"
#include "downloader/worker_context.h"

#include <shlwapi.h>

#include <utility>

namespace {

// Only a signal is a cancel: a test that fails says nothing of the host's wish.
bool IsSignalled(HANDLE event) {
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

} // namespace

DownloaderState::DownloaderState() noexcept
    : shutdownEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

EngineRef DownloaderState::Engine() const {
    LockGuard lock(engineLock_);
    return engine_;
}

bool DownloaderState::InstallEngine(EngineRef engine) {
    LockGuard lock(engineLock_);
    if (engine_) {
        return false;
    }
    engine_ = std::move(engine);
    return true;
}

void DownloaderState::SetCallback(IMobileDrvDownCallback* callback) {
    LockGuard lock(notifyLock_);
    callback_.store(callback);
}

void DownloaderState::DropCallback() {
    LockGuard lock(notifyLock_);
    callback_.store(nullptr);
}

void DownloaderState::Notify(int kind, void* record, HANDLE cancelEventToRecheck) {
    IMobileDrvDownCallback* callback = nullptr;
    {
        LockGuard lock(notifyLock_);
        callback = callback_.load();
        if (callback == nullptr ||
            (cancelEventToRecheck != nullptr && IsSignalled(cancelEventToRecheck))) {
            return;
        }
        ++activeNotifications_;
    }
    // Notifications run on worker threads only; the record lets a shutdown from inside OnNotify
    // tell its own notification from the others.
    WorkerThreadState* self = CurrentWorkerThread();
    const DownloaderState* outer = self != nullptr ? std::exchange(self->notifying, this) : nullptr;
    callback->OnNotify(kind, record);
    if (self != nullptr) {
        self->notifying = outer;
    }
    LockGuard lock(notifyLock_);
    --activeNotifications_;
    notifyLock_.WakeAll();
}

void DownloaderState::WaitForNotifications() {
    const WorkerThreadState* self = CurrentWorkerThread();
    const bool insideOwnNotification = self != nullptr && self->notifying == this;
    LockGuard lock(notifyLock_);
    if (insideOwnNotification) {
        ++notifiersWaitingInside_;
        notifyLock_.WakeAll();
    }
    while (activeNotifications_ > notifiersWaitingInside_) {
        notifyLock_.Wait();
    }
    if (insideOwnNotification) {
        --notifiersWaitingInside_;
    }
}

int DownloaderState::AppendTask(TaskHandle task) {
    LockGuard lock(listLock_);
    return tasks_.push_back(std::move(task)) ? 1 : 0;
}

int DownloaderState::RemoveTaskByName(const wchar_t* name) {
    return RemoveFirst([name](const TaskHandle& task) { return StrCmpIW(task->name, name) == 0; });
}

int DownloaderState::RemoveTask(const _MOBILE_DRV_TASK* task) {
    return RemoveFirst([task](const TaskHandle& listed) { return listed.get() == task; });
}

template <class Matches>
int DownloaderState::RemoveFirst(Matches matches) {
    LockGuard lock(listLock_);
    for (std::size_t i = 0; i < tasks_.size(); ++i) {
        if (matches(tasks_[i])) {
            // Later entries move up one place; the list's reference to the removed task goes.
            tasks_.erase(i);
            return 1;
        }
    }
    return 0;
}

TaskHandle DownloaderState::FindCancelEvent(const wchar_t* name) {
    LockGuard lock(listLock_);
    for (const TaskHandle& task : tasks_) {
        if (StrCmpIW(task->name, name) == 0) {
            return task;
        }
    }
    return {};
}

void DownloaderState::CancelAllTasks() {
    // The references leave the list under the lock but are released after it: the last release
    // of a task frees its record, which is no work to do while holding the list lock.
    HeapArray<TaskHandle> cancelled;
    {
        LockGuard lock(listLock_);
        for (const TaskHandle& task : tasks_) {
            if (HANDLE event = CancelEventOf(task.get())) {
                SetEvent(event);
            }
        }
        cancelled.swap(tasks_);
    }
}

std::size_t DownloaderState::TaskCount() {
    LockGuard lock(listLock_);
    return tasks_.size();
}

std::size_t DownloaderState::TaskCapacity() {
    LockGuard lock(listLock_);
    return tasks_.capacity();
}

EngineRef DownloaderState::BeginBlockingDownload() {
    LockGuard lock(blockingLock_);
    EngineRef engine = shutdowns_ == 0 ? Engine() : EngineRef();
    if (engine) {
        ++blockingDownloads_;
    }
    return engine;
}

void DownloaderState::EndBlockingDownload() {
    LockGuard lock(blockingLock_);
    --blockingDownloads_;
    blockingLock_.WakeAll();
}

void DownloaderState::Shutdown() {
    DropCallback();
    {
        LockGuard lock(blockingLock_);
        ++shutdowns_;
        SetEvent(shutdownEvent_.get());
    }
    CancelAllTasks();
    WaitForWorkersToLeave(kShutdownWaitMs);
    WaitForNotifications();

    // Blocking downloads end within one poll step of the event; none begins meanwhile, so once
    // none is left the engine is taken away before anyone else can reach for it.
    EngineRef dropped;
    {
        LockGuard lock(blockingLock_);
        while (blockingDownloads_ > 0) {
            blockingLock_.Wait();
        }
        LockGuard engineLock(engineLock_);
        dropped = std::move(engine_);
        if (--shutdowns_ == 0) {
            ResetEvent(shutdownEvent_.get());
        }
    }
    // The downloader's reference goes outside the lock: when it is the last, it closes the
    // instance and unloads the engine.
}
