#include "downloader/downloader_state.h"

#include "downloader/worker_thread.h"
#include "module/worker_gate.h"

#include <shlwapi.h>

#include <algorithm>
#include <new>
#include <utility>

namespace {

bool IsSignalledOrBroken(HANDLE event) {
    return WaitForSingleObject(event, 0) != WAIT_TIMEOUT;
}

} // namespace

DownloaderState::DownloaderState() : shutdownEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

bool DownloaderState::InstallEngine(EngineRef engine) {
    EngineRef expected;
    return engine_.compare_exchange_strong(expected, std::move(engine));
}

void DownloaderState::SetCallback(IMobileDrvDownCallback* callback) {
    ScopedLock lock(notifyLock_);
    callback_.store(callback);
}

void DownloaderState::DropCallback() {
    ScopedLock lock(notifyLock_);
    callback_.store(nullptr);
}

void DownloaderState::Notify(int kind, void* record, HANDLE cancelEventToRecheck) {
    IMobileDrvDownCallback* callback = nullptr;
    {
        ScopedLock lock(notifyLock_);
        callback = callback_.load();
        if (callback == nullptr ||
            (cancelEventToRecheck != nullptr && IsSignalledOrBroken(cancelEventToRecheck))) {
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
    ScopedLock lock(notifyLock_);
    --activeNotifications_;
    notifyLock_.WakeAll();
}

void DownloaderState::WaitForNotifications() {
    const WorkerThreadState* self = CurrentWorkerThread();
    const bool insideOwnNotification = self != nullptr && self->notifying == this;
    ScopedLock lock(notifyLock_);
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
    ScopedLock lock(listLock_);
    try {
        tasks_.push_back(std::move(task));
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return 1;
}

int DownloaderState::RemoveTaskByName(const wchar_t* name) {
    return RemoveFirst([name](const TaskHandle& task) { return StrCmpIW(task->name, name) == 0; });
}

int DownloaderState::RemoveTask(const _MOBILE_DRV_TASK* task) {
    return RemoveFirst([task](const TaskHandle& listed) { return listed.get() == task; });
}

template <class Matches>
int DownloaderState::RemoveFirst(Matches matches) {
    ScopedLock lock(listLock_);
    const auto found = std::find_if(tasks_.begin(), tasks_.end(), matches);
    if (found == tasks_.end()) {
        return 0;
    }
    // Later entries move up one place; the list's reference to the removed task goes.
    tasks_.erase(found);
    return 1;
}

TaskHandle DownloaderState::FindCancelEvent(const wchar_t* name) {
    ScopedLock lock(listLock_);
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
    std::vector<TaskHandle> cancelled;
    {
        ScopedLock lock(listLock_);
        for (const TaskHandle& task : tasks_) {
            if (HANDLE event = CancelEventOf(task.get())) {
                SetEvent(event);
            }
        }
        cancelled.swap(tasks_);
    }
}

std::size_t DownloaderState::TaskCount() {
    ScopedLock lock(listLock_);
    return tasks_.size();
}

std::size_t DownloaderState::TaskCapacity() {
    ScopedLock lock(listLock_);
    return tasks_.capacity();
}

EngineRef DownloaderState::BeginBlockingDownload() {
    ScopedLock lock(blockingLock_);
    EngineRef engine = shutdowns_ == 0 ? Engine() : nullptr;
    if (engine) {
        ++blockingDownloads_;
    }
    return engine;
}

void DownloaderState::EndBlockingDownload() {
    ScopedLock lock(blockingLock_);
    --blockingDownloads_;
    blockingLock_.WakeAll();
}

void DownloaderState::Shutdown() {
    DropCallback();
    {
        ScopedLock lock(blockingLock_);
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
        ScopedLock lock(blockingLock_);
        while (blockingDownloads_ > 0) {
            blockingLock_.Wait();
        }
        dropped = engine_.exchange(nullptr);
        if (--shutdowns_ == 0) {
            ResetEvent(shutdownEvent_.get());
        }
    }
    // The downloader's reference goes outside the lock: when it is the last, it closes the
    // instance and unloads the engine.
}
