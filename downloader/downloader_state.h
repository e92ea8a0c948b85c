// What a downloader shares with its worker threads: the task list, the engine instance, the
// host's callback and the context value. Workers hold it by reference, so it outlives the
// CDrvDownloader that Release frees for as long as any worker still runs.
#pragma once

#include "MobileDrvDown.h"
#include "base/heap.h"
#include "base/locks.h"
#include "base/unique_handle.h"
#include "downloader/drv_task.h"
#include "engine/engine_api.h"

#include <atomic>
#include <cstdint>
#include <optional>

class DownloaderState;
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
    // Calls OnNotify(kind, record) on the callback as it stands, unless none is held (a shutdown
    // has begun, which cancels the task) or the task whose cancel event is given has been
    // cancelled: tested under the lock right before the call.
    // A worker whose wait on that event timed out passes the cancels counted before that wait:
    // while none has been counted since, the task cannot have been cancelled and the event needs
    // no look. A task's end passes the worker's engine reference, which goes before the call (a
    // host releasing the downloader from inside it then finds the instance closed on return) and
    // stays when the task turned out cancelled, whose transfer the worker still removes. No lock
    // is held during the call. False when nothing was sent.
    bool Notify(int kind, void* record, HANDLE cancelEvent,
                std::optional<std::uint32_t> cancelsBeforeClearWait,
                EngineRef* engineToLetGo = nullptr);

    // --- the task list; each operation takes the list lock for its own scan or change ---
    // Appends a copy of `task`; 0 when memory for the list is short.
    int AppendTask(TaskHandle task);
    // Removes the first task of that name (letter case ignored); 1 if one was removed.
    int RemoveTaskByName(const wchar_t* name);
    // Removes exactly this task, wherever it stands; 1 if it was listed.
    int RemoveTask(const _MOBILE_DRV_TASK* task);
    // The first task of that name, held by a reference so that its cancel event stays open while
    // the caller uses it; empty when none matches.
    TaskHandle FindCancelEvent(const wchar_t* name);
    // Signals the cancel event of the first listed task of that name, under the list lock; 1 when
    // there was one to signal. A task whose end has been decided is no longer listed.
    int CancelTask(const wchar_t* name);
    // Decides the end of a task: false when it has been cancelled; otherwise it leaves the list
    // under the lock, so that no cancel signals it any more while its end is told.
    bool EndTask(const _MOBILE_DRV_TASK* task);
    // Signals every task's cancel event, first to last, and empties the list.
    void CancelAllTasks();

    std::size_t TaskCount();
    std::size_t TaskCapacity();

    // Which shutdown Shutdown runs.
    enum class ShutdownOf {
        Everything, // Uninit and Release
        EngineLess, // a refused Init: only while no engine is installed
    };
    // The full shutdown: drop the callback, end blocking downloads and cancel every task, wait
    // for this downloader's workers (at most 10 s), then for notifications in progress and
    // blocking downloads, and drop the engine. Every wait answers messages sent to the caller's
    // thread; a caller answering a message another thread sent, while a notification of this
    // downloader runs, answers it (0) before it waits. Called from inside OnNotify (of any
    // downloader), it does not wait for this downloader's workers that run a shutdown (of any
    // downloader) from inside a notification of this one, the caller's among them. While the
    // process exits it waits for nothing: the system has ended the workers.
    // The shutdown holds `state` for its whole length: a handler of a message it answers may
    // release the downloader, and with it the downloader's own reference.
    // EngineLess does nothing when an engine is installed: the one another Init installed
    // meanwhile stays, with its tasks. Whether to shut down is decided under the lock, and
    // Install refuses while a shutdown runs.
    static void Shutdown(StateRef state, ShutdownOf what = ShutdownOf::Everything);

private:
    void RunShutdown(ShutdownOf what);
    // Counts a shutdown that a worker runs from inside a notification of this downloader in (1)
    // or out (-1).
    void CountShutdownInside(int change);
    template <class Matches>
    int RemoveFirst(Matches matches);
    void CountCancel();

    // Guards every field up to the list's.
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

    CriticalSection listLock_;
    HeapArray<TaskHandle> tasks_;
};
