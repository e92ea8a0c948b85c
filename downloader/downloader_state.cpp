#include "downloader/downloader_state.h"

#include "base/module.h"
#include "base/process_exit.h"
#include "base/timing.h"
#include "base/waits.h"
#include "downloader/worker_context.h"

#include <utility>

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

int DownloaderState::CancelTask(const wchar_t* name) {
    if (tasks_.CancelTask(name) == 0) {
        return 0;
    }
    CountCancel();
    return 1;
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
    int notificationsWaitedFor = 0;
    if (!BeginShutdown(what, notificationsWaitedFor)) {
        return;
    }
    if (notifying != nullptr) {
        notifying->CountShutdownInside(1);
    }
    tasks_.CancelAllTasks();
    CountCancel();
    // A host thread answering a message sent from another thread may be answering a notification
    // of this downloader, which waits in SendMessage for this very handler: it gets its answer
    // now and ends, instead of both waiting for ever.
    if (notificationsWaitedFor > 0) {
        ReplyToWaitingSender();
    }
    // When the process exits, the system has ended every worker wherever it was: none of them
    // ever counts itself out, and nothing is left to wait for.
    if (!ProcessExiting()) {
        WaitForWorkersAndNotifications(notifying != nullptr);
    }
    // Released at the end, outside the lock: when the reference is the last, it closes the
    // instance and unloads the engine.
    const EngineRef dropped = EndShutdown();
    if (notifying != nullptr) {
        notifying->CountShutdownInside(-1);
    }
}

bool DownloaderState::BeginShutdown(ShutdownOf what, int& notificationsWaitedFor) {
    LockGuard lock(lock_);
    if (what == ShutdownOf::EngineLess && engine_) {
        return false;
    }
    // No notification begins from here on, no task is taken, and a worker counted before takes
    // no engine any more.
    callback_ = nullptr;
    ++shutdowns_;
    ++shutdownsBegun_;
    notificationsWaitedFor = notifications_;
    SetEvent(shutdownEvent_.get());
    return true;
}

void DownloaderState::WaitForWorkersAndNotifications(bool inside) {
    // Those of workers shutting a downloader down from inside this one's OnNotify are not waited
    // for by another such worker (read under the lock).
    const auto waitedFor = [&](int count) { return count - (inside ? shutdownsInside_ : 0); };
    // Cancelled workers end within a poll step; one held by the engine or the host is waited for
    // 10 s at most, and the engine stays loaded for it by its own reference.
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

EngineRef DownloaderState::EndShutdown() {
    // None begins meanwhile, so once none is left the engine is taken away before anyone else
    // can reach for it.
    LockGuard lock(lock_);
    if (--shutdowns_ == 0) {
        ResetEvent(shutdownEvent_.get());
    }
    return std::move(engine_);
}

void DownloaderState::CountShutdownInside(int change) {
    LockGuard lock(lock_);
    shutdownsInside_ += change;
}
