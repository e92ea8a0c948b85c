// What a downloader shares with its worker threads: the task list, the engine instance, the
// host's callback and the context value. Workers hold it by reference, so it outlives the
// CDrvDownloader that Release frees for as long as any worker still runs.
#pragma once

#include "MobileDrvDown.h"
#include "base/locks.h"
#include "base/unique_handle.h"
#include "downloader/task_list.h"
#include "engine/engine_api.h"

#include <atomic>
#include <cstdint>
#include <optional>

class DownloaderState;
// The downloader object, its workers and its blocking downloads share the state.
using StateRef = shared_handle<DownloaderState>;

class DownloaderState {
public:
    // Creates the shutdown event; check ShutdownEvent() for whether that worked.
    DownloaderState() noexcept;
    DownloaderState(const DownloaderState&) = delete;
    DownloaderState& operator=(const DownloaderState&) = delete;

    // --- the engine instance and the callback, installed together by Init ---
    bool HasEngine() const;
    // Installs `engine` and `callback` unless an engine is installed already or a shutdown runs;
    // false then, and nothing changes.
    bool Install(EngineRef engine, IMobileDrvDownCallback* callback);

    // --- task workers, counted from AddTask until their end, so that a shutdown waits for
    // every one of them, also one whose thread has not run yet ---
    // Counts the worker of a new task and gives it the shutdowns it must heed; false, nothing
    // counted, while a shutdown runs: no task is taken then.
    bool BeginWorker(std::uint32_t& shutdownsSeen);
    void EndWorker();
    // The engine for a worker counted with `shutdownsSeen`: empty when a shutdown has begun since
    // (or there is no engine), and the task then ends as one without an engine does.
    EngineRef WorkerEngine(std::uint32_t shutdownsSeen) const;

    // --- blocking downloads (DownloadNow) in progress on host threads ---
    // Registers one and hands it the engine to use; empty, and nothing registered, when the
    // downloader has no engine or is being shut down.
    EngineRef BeginBlockingDownload();
    void EndBlockingDownload();
    // Signalled while the downloader is being shut down: a blocking download watching it ends.
    HANDLE ShutdownEvent() const { return shutdownEvent_.get(); }

    // --- the context value, overwritten by every AddTask and carried by every notification ---
    std::int32_t Context() const { return context_.load(); }
    // Makes `context` the value and returns the one it replaced.
    std::int32_t ExchangeContext(std::int32_t context) { return context_.exchange(context); }
    // Puts `previous` back, unless another AddTask has replaced `context` meanwhile.
    void RestoreContext(std::int32_t context, std::int32_t previous) {
        context_.compare_exchange_strong(context, previous);
    }

    // --- notifications ---
    // How many cancels (CancelTask and shutdowns) have been counted, each after its signals.
    std::uint32_t Cancels() const;
    // Calls OnNotify(kind, record), no lock held, unless the callback is gone (a shutdown began)
    // or the task of `cancelEvent` was cancelled, tested under the lock; false when nothing was
    // sent. `cancelsBeforeClearWait`: Cancels() read before a wait that timed out, which spares
    // the look at the event while no cancel was counted since. `engineToLetGo`: a task's end
    // lets the worker's engine go before the call, so a host releasing the downloader inside it
    // finds the instance closed; it is kept when nothing was sent.
    bool Notify(int kind, void* record, HANDLE cancelEvent,
                std::optional<std::uint32_t> cancelsBeforeClearWait,
                EngineRef* engineToLetGo = nullptr);

    // --- the task list ---
    TaskList& Tasks() { return tasks_; }
    // Cancels the first listed task of that name (TaskList::CancelTask) and counts the cancel.
    int CancelTask(const wchar_t* name);

    // Which shutdown Shutdown runs.
    enum class ShutdownOf {
        Everything, // Uninit and Release
        EngineLess, // a refused Init: only while no engine is installed
    };
    // Uninit, Release and a refused Init: drops the callback, cancels every task and blocking
    // download, waits for this downloader's workers (10 s at most), then for notifications and
    // blocking downloads, and drops the engine. Holds `state` throughout: a message answered while
    // it waits may release the downloader. From inside OnNotify it does not wait for workers that
    // shut down from inside this downloader's notifications; at process exit it waits for nothing.
    // EngineLess does nothing once another Init has installed an engine.
    static void Shutdown(StateRef state, ShutdownOf what = ShutdownOf::Everything);

private:
    void RunShutdown(ShutdownOf what);
    // Drops the callback and counts the shutdown; false, with nothing done, for an EngineLess one
    // while an engine is installed. `notificationsWaitedFor`: the notifications then in progress.
    bool BeginShutdown(ShutdownOf what, int& notificationsWaitedFor);
    // `inside`: the caller runs inside a notification (of any downloader).
    void WaitForWorkersAndNotifications(bool inside);
    // Counts the shutdown out and hands over the engine.
    EngineRef EndShutdown();
    // Counts a shutdown that a worker runs from inside a notification of this downloader in (1)
    // or out (-1).
    void CountShutdownInside(int change);
    void CountCancel();

    // Guards every field up to the context value.
    mutable SlimLock lock_;
    EngineRef engine_;
    IMobileDrvDownCallback* callback_ = nullptr;
    int workers_ = 0;           // counted task workers that have not ended
    int notifications_ = 0;     // OnNotify calls in progress
    int blockingDownloads_ = 0; // DownloadNow calls using the engine
    int shutdowns_ = 0;         // Shutdown calls in progress (several threads may shut down)
    int shutdownsInside_ = 0;   // shutdowns (of any downloader) its workers run inside its OnNotify
    std::uint32_t shutdownsBegun_ = 0;
    std::uint32_t cancels_ = 0;
    unique_handle shutdownEvent_;

    std::atomic<std::int32_t> context_{0};

    TaskList tasks_;
};
