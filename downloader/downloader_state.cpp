#include "downloader/downloader_state.h"

#include "base/module.h"
#include "base/process_exit.h"
#include "base/timing.h"
#include "base/waits.h"
#include "downloader/worker_context.h"

#include <shlwapi.h>

#include <algorithm>
#include <utility>

namespace {

// Only a signal is a cancel: a test that fails says nothing of the host's wish.
bool IsSignalled(HANDLE event) {
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

} // namespace

DownloaderState::DownloaderState() noexcept
    : shutdownEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

bool DownloaderState::HasEngine() const {
    LockGuard lock(lock_);
    return static_cast<bool>(engine_);
}

bool DownloaderState::Install(EngineRef engine, IMobileDrvDownCallback* callback) {
    LockGuard lock(lock_);
    if (engine_ || shutdowns_ > 0) {
        return false;
    }
    engine_ = std::move(engine);
    callback_ = callback;
    return true;
}

bool DownloaderState::BeginWorker(std::uint32_t& shutdownsSeen) {
    LockGuard lock(lock_);
    if (shutdowns_ > 0) {
        return false;
    }
    ++workers_;
    shutdownsSeen = shutdownsBegun_;
    return true;
}

void DownloaderState::EndWorker() {
    LockGuard lock(lock_);
    --workers_;
}

EngineRef DownloaderState::WorkerEngine(std::uint32_t shutdownsSeen) const {
    LockGuard lock(lock_);
    return shutdownsSeen == shutdownsBegun_ ? engine_ : EngineRef();
}

EngineRef DownloaderState::BeginBlockingDownload() {
    LockGuard lock(lock_);
    if (shutdowns_ > 0 || !engine_) {
        return {};
    }
    ++blockingDownloads_;
    return engine_;
}

void DownloaderState::EndBlockingDownload() {
    LockGuard lock(lock_);
    --blockingDownloads_;
}

std::uint32_t DownloaderState::Cancels() const {
    LockGuard lock(lock_);
    return cancels_;
}

void DownloaderState::CountCancel() {
    LockGuard lock(lock_);
    ++cancels_;
}

bool DownloaderState::Notify(int kind, void* record, HANDLE cancelEvent,
                             std::optional<std::uint32_t> cancelsBeforeClearWait,
                             EngineRef* engineToLetGo) {
    IMobileDrvDownCallback* callback = nullptr;
    EngineRef engine;
    {
        LockGuard lock(lock_);
        // A worker holds an engine only while a callback is installed, and a shutdown drops the
        // callback just before it cancels every task: without one, the task is being cancelled.
        callback = callback_;
        if (callback == nullptr ||
            (cancelsBeforeClearWait != cancels_ && IsSignalled(cancelEvent))) {
            return false;
        }
        if (engineToLetGo != nullptr) {
            engine = std::move(*engineToLetGo);
        }
        ++notifications_;
    }
    // Outside the lock: when the reference is the last, it closes the instance.
    engine.reset();
    // Notifications run on worker threads only; the record lets a shutdown from inside OnNotify
    // tell its own notification from the others.
    WorkerThreadState* self = CurrentWorkerThread();
    DownloaderState* outer = self != nullptr ? std::exchange(self->notifying, this) : nullptr;
    callback->OnNotify(kind, record);
    if (self != nullptr) {
        self->notifying = outer;
    }
    LockGuard lock(lock_);
    --notifications_;
    return true;
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

int DownloaderState::CancelTask(const wchar_t* name) {
    {
        // Signalled under the list lock: a worker decides its task's end under the same lock, so
        // a task is either cancelled here or has ended and is not found.
        LockGuard lock(listLock_);
        const auto task = std::find_if(tasks_.begin(), tasks_.end(), [name](const TaskHandle& t) {
            return StrCmpIW(t->name, name) == 0;
        });
        if (task == tasks_.end() || CancelEventOf(task->get()) == nullptr) {
            return 0;
        }
        SetEvent(CancelEventOf(task->get()));
    }
    CountCancel();
    return 1;
}

bool DownloaderState::EndTask(const _MOBILE_DRV_TASK* task) {
    LockGuard lock(listLock_);
    if (IsSignalled(CancelEventOf(task))) {
        return false;
    }
    for (std::size_t i = 0; i < tasks_.size(); ++i) {
        if (tasks_[i].get() == task) {
            // The worker still holds the task; the list's reference goes.
            tasks_.erase(i);
            break;
        }
    }
    return true;
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
    CountCancel();
}

std::size_t DownloaderState::TaskCount() {
    LockGuard lock(listLock_);
    return tasks_.size();
}

std::size_t DownloaderState::TaskCapacity() {
    LockGuard lock(listLock_);
    return tasks_.capacity();
}

void DownloaderState::Shutdown(StateRef state, ShutdownOf what) {
    if (state) {
        state->RunShutdown(what);
    }
}

void DownloaderState::RunShutdown(ShutdownOf what) {
    // A worker shutting a downloader down from inside OnNotify (of any downloader) does not wait
    // for the workers of this one doing the same: each might wait for the other, directly or
    // around a cycle of downloaders releasing each other.
    const WorkerThreadState* self = CurrentWorkerThread();
    DownloaderState* const notifying = self != nullptr ? self->notifying : nullptr;
    const bool inside = notifying != nullptr;
    int notificationsWaitedFor = 0;
    {
        LockGuard lock(lock_);
        if (what == ShutdownOf::EngineLess && engine_) {
            return;
        }
        // No notification begins from here on, no task is taken, and a worker counted before
        // takes no engine any more.
        callback_ = nullptr;
        ++shutdowns_;
        ++shutdownsBegun_;
        notificationsWaitedFor = notifications_;
        SetEvent(shutdownEvent_.get());
    }
    if (inside) {
        notifying->CountShutdownInside(1);
    }
    CancelAllTasks();
    // Of this downloader's workers and notifications, those of workers shutting a downloader down
    // from inside its OnNotify are not waited for by another such worker (under the lock).
    const auto waitedFor = [&](int count) { return count - (inside ? shutdownsInside_ : 0); };
    // A host thread answering a message sent from another thread may be answering a notification
    // of this downloader, which waits in SendMessage for this very handler: it gets its answer
    // now and ends, instead of both waiting for ever.
    if (notificationsWaitedFor > 0) {
        ReplyToWaitingSender();
    }
    // When the process exits, the system has ended every worker wherever it was: none of them
    // ever counts itself out, and nothing is left to wait for.
    if (!ProcessExiting()) {
        // Cancelled workers end within a step; one held by the engine or the host is waited for
        // 10 s at most, as the module's worker gate would be.
        WaitUntil(
            [&] {
                LockGuard lock(lock_);
                return waitedFor(workers_) <= 0;
            },
            kShutdownWaitMs, g_hStopEvent);
        // Past that bound still, no notification runs once the shutdown has returned; blocking
        // downloads end within a poll step of the shutdown event.
        WaitUntil(
            [&] {
                LockGuard lock(lock_);
                return waitedFor(notifications_) <= 0 && blockingDownloads_ == 0;
            },
            INFINITE);
    }

    // None begins meanwhile, so once none is left the engine is taken away before anyone else can
    // reach for it.
    EngineRef dropped;
    {
        LockGuard lock(lock_);
        dropped = std::move(engine_);
        if (--shutdowns_ == 0) {
            ResetEvent(shutdownEvent_.get());
        }
    }
    if (inside) {
        notifying->CountShutdownInside(-1);
    }
    // The downloader's reference goes outside the lock: when it is the last, it closes the
    // instance and unloads the engine.
}

void DownloaderState::CountShutdownInside(int change) {
    LockGuard lock(lock_);
    shutdownsInside_ += change;
}
