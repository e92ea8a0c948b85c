#include "downloader/worker_thread.h"

#include "base/files.h"
#include "base/module.h"
#include "base/strings.h"
#include "base/timing.h"
#include "base/unique_handle.h"
#include "base/worker_gate.h"
#include "downloader/worker_context.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace {

// What a worker thread receives: its own references, handed over before AddTask lets go of its
// handle.
struct WorkerStart {
    StateRef state;
    TaskHandle task;
    std::uint32_t shutdownsSeen;
    unique_hmodule module; // a reference on this library, released as the thread exits
};

// Sends the task's end, unless it is being cancelled by then (false); the worker's engine
// reference goes before the call, or stays when nothing was sent.
bool NotifyEnd(DownloaderState& state, const _MOBILE_DRV_TASK& task, EngineRef& engine,
               bool succeeded, std::optional<std::uint32_t> cancelsBeforeClearWait) {
    _MOBILE_DRV_RESULT result;
    std::memset(&result, 0, sizeof result);
    CopyWStr(result.name, MOBILEDRV_NAME_CHARS, task.name);
    CopyWStr(result.targetPath, MOBILEDRV_TEXT_CHARS, task.targetPath);
    result.context = state.Context();
    return state.Notify(succeeded ? MOBILEDRV_NOTIFY_SUCCEEDED : MOBILEDRV_NOTIFY_FAILED, &result,
                        CancelEventOf(&task), cancelsBeforeClearWait, &engine);
}

// Starts the task's transfer and polls it once a second until it ends or is cancelled. A task
// ends with exactly one final notification, or, cancelled, with its transfer removed and closed;
// the cancel signal is tested right before every notification. The engine reference keeps the
// instance loaded for the whole transfer, whatever the host does.
void RunTransfer(DownloaderState& state, EngineRef engine, _MOBILE_DRV_TASK& task) {
    ClearTargetFile(task.targetPath);
    // A transfer the engine does not start is a failed task: AddTask has already told the host
    // that the task was taken, so its end must be reported. There is nothing to remove.
    const std::uint32_t handle = engine->PPStartTaskEx(task.url, task.targetPath);
    if (handle == 0) {
        if (state.EndTask(&task)) {
            NotifyEnd(state, task, engine, false, std::nullopt);
        }
        return;
    }

    const HANDLE cancel = CancelEventOf(&task);
    PP_TASK_STATUS status;
    _MOBILE_DRV_PROGRESS progress;
    for (;;) {
        // When this wait times out and no cancel is counted after this reading, the task has not
        // been cancelled: its notification needs no look at the event, a call of the system.
        const std::uint32_t cancels = state.Cancels();
        const DWORD wait = WaitForSingleObject(cancel, kTaskPollIntervalMs);
        if (wait != WAIT_TIMEOUT) {
            engine->PPRemoveTask(handle);
            engine->PPCloseHandle(handle);
            // Only a signal is a cancel. A wait that fails ends the task too, since it could no
            // longer be cancelled, but as a failure the host is told of.
            if (wait != WAIT_OBJECT_0 && state.EndTask(&task)) {
                NotifyEnd(state, task, engine, false, std::nullopt);
            }
            return;
        }
        std::memset(&status, 0, sizeof status);
        if (!engine->PPQueryTaskEx(handle, &status)) {
            continue;
        }
        // A task cancelled meanwhile sends nothing; the next wait sees its signal at once.
        if (IsRunningState(status.state)) {
            std::memset(&progress, 0, sizeof progress);
            CopyWStr(progress.name, MOBILEDRV_NAME_CHARS, task.name);
            std::copy(std::begin(status.values), std::end(status.values), progress.status);
            progress.status[6] = status.value36;
            progress.context = state.Context();
            state.Notify(MOBILEDRV_NOTIFY_PROGRESS, &progress, cancel, cancels);
        } else if (state.EndTask(&task)) {
            // Decided: no cancel reaches the task any more. A shutdown that began meanwhile sends
            // nothing; the transfer is removed then, as a cancel would have.
            if (!NotifyEnd(state, task, engine, status.state == kTaskStateFinished, cancels)) {
                engine->PPRemoveTask(handle);
                engine->PPCloseHandle(handle);
            }
            return;
        }
        // Cancelled before its end was decided: the next wait sees the signal at once.
    }
}

// Runs one task from start to end on its worker thread, then takes it out of the list. A task
// without an engine (added before Init, which installs the callback, or taken before a shutdown
// that began before its worker took the engine) ends without a notification.
void RunTask(DownloaderState& state, _MOBILE_DRV_TASK& task, std::uint32_t shutdownsSeen) {
    if (EngineRef engine = state.WorkerEngine(shutdownsSeen)) {
        RunTransfer(state, std::move(engine), task);
    }
    // By identity, not by name: a task of the same name added later keeps its own entry.
    state.RemoveTask(&task);
}

DWORD WINAPI TaskThreadProc(void* argument) {
    HMODULE module = nullptr;
    {
        const heap_ptr<WorkerStart> start(static_cast<WorkerStart*>(argument));
        module = start->module.release();
        if (start->task && g_workerGate != nullptr) {
            WorkerThreadState self;
            SetCurrentWorkerThread(&self);
            g_workerGate->Enter(1);
            RunTask(*start->state, *start->task, start->shutdownsSeen);
            g_workerGate->Leave(1);
            SetCurrentWorkerThread(nullptr);
        }
        start->state->EndWorker();
        // The thread's references go here: the last one of a task frees it, the last one of an
        // engine instance closes and unloads it.
    }
    // This library stays loaded until the thread's last instruction has run.
    FreeLibraryAndExitThread(module, 0);
    return 0;
}

} // namespace

bool StartWorker(const StateRef& state, const TaskHandle& task, std::uint32_t shutdownsSeen) {
    heap_ptr<WorkerStart> start(HeapNew<WorkerStart>(state, task, shutdownsSeen, unique_hmodule()));
    if (!start ||
        !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&TaskThreadProc), start->module.put())) {
        return false;
    }
    // The thread runs detached: its handle goes at once, and nothing ever waits on it.
    const unique_handle thread(CreateThread(nullptr, 0, &TaskThreadProc, start.get(), 0, nullptr));
    if (!thread) {
        return false;
    }
    static_cast<void>(start.release()); // the thread owns it now
    return true;
}
