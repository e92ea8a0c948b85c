#include "downloader/worker_thread.h"

#include "module/files.h"
#include "module/strings.h"
#include "module/worker_gate.h"

#include <process.h>

#include <cstring>

namespace {

// A thread-local slot of the operating system: plain pointers need no per-thread storage of the
// runtime, which a worker thread that unloads the library on its way out could not free.
class ThreadSlot {
public:
    ThreadSlot() : index_(TlsAlloc()) {}
    ~ThreadSlot() {
        if (index_ != TLS_OUT_OF_INDEXES) {
            TlsFree(index_);
        }
    }
    ThreadSlot(const ThreadSlot&) = delete;
    ThreadSlot& operator=(const ThreadSlot&) = delete;

    void* Get() const { return index_ != TLS_OUT_OF_INDEXES ? TlsGetValue(index_) : nullptr; }
    void Set(void* value) const {
        if (index_ != TLS_OUT_OF_INDEXES) {
            TlsSetValue(index_, value);
        }
    }

private:
    DWORD index_;
};

const ThreadSlot g_workerThreadSlot;

// What a worker thread receives: its own references, handed over before AddTask lets go of its
// handle.
struct WorkerStart {
    std::shared_ptr<DownloaderState> state;
    TaskHandle task;
    HMODULE module = nullptr; // a reference on this library, released as the thread exits

    ~WorkerStart() {
        if (module != nullptr) {
            FreeLibrary(module);
        }
    }
};

enum class TransferOutcome { NoEngine, Cancelled, Succeeded, Failed };

bool IsSignalledOrBroken(HANDLE event, DWORD timeoutMs) {
    return WaitForSingleObject(event, timeoutMs) != WAIT_TIMEOUT;
}

// Starts the task's transfer and polls it once a second until it ends or is cancelled. The
// engine reference keeps the instance loaded for the whole transfer, whatever the host does.
TransferOutcome RunTransfer(DownloaderState& state, _MOBILE_DRV_TASK& task) {
    const EngineRef engine = state.Engine();
    if (!engine) {
        return TransferOutcome::NoEngine;
    }
    ClearTargetFile(task.targetPath);
    // A transfer the engine does not start is a failed task: AddTask has already told the host
    // that the task was taken, so its end must be reported. There is nothing to remove.
    const std::uint32_t handle = engine->PPStartTaskEx(task.url, task.targetPath);
    if (handle == 0) {
        return TransferOutcome::Failed;
    }

    const HANDLE cancel = CancelEventOf(&task);
    PP_TASK_STATUS status;
    _MOBILE_DRV_PROGRESS progress;
    for (;;) {
        if (IsSignalledOrBroken(cancel, kTaskPollIntervalMs)) {
            engine->PPRemoveTask(handle);
            engine->PPCloseHandle(handle);
            return TransferOutcome::Cancelled;
        }
        std::memset(&status, 0, sizeof status);
        if (!engine->PPQueryTaskEx(handle, &status)) {
            continue;
        }
        if (status.state == kTaskStateFinished) {
            return TransferOutcome::Succeeded;
        }
        if (!IsRunningState(status.state)) {
            return TransferOutcome::Failed;
        }
        std::memset(&progress, 0, sizeof progress);
        CopyWStr(progress.name, MOBILEDRV_NAME_CHARS, task.name);
        progress.status[0] = status.value0;
        progress.status[1] = status.value4;
        progress.status[2] = status.value8;
        progress.status[3] = status.value12;
        progress.status[4] = status.value16;
        progress.status[5] = status.value20;
        progress.status[6] = status.value36;
        progress.context = state.Context();
        state.Notify(MOBILEDRV_NOTIFY_PROGRESS, &progress);
    }
}

// Runs one task from start to end on its worker thread, then takes it out of the list. Only a
// task without an engine (added before Init, which installs the callback) or a cancelled one
// ends without a final notification.
void RunTask(DownloaderState& state, _MOBILE_DRV_TASK& task) {
    const TransferOutcome outcome = RunTransfer(state, task);
    if (outcome == TransferOutcome::Succeeded || outcome == TransferOutcome::Failed) {
        _MOBILE_DRV_RESULT result;
        std::memset(&result, 0, sizeof result);
        CopyWStr(result.name, MOBILEDRV_NAME_CHARS, task.name);
        CopyWStr(result.targetPath, MOBILEDRV_TEXT_CHARS, task.targetPath);
        result.context = state.Context();
        // Not sent when the task was cancelled meanwhile: Notify tests the event once more.
        state.Notify(outcome == TransferOutcome::Succeeded ? MOBILEDRV_NOTIFY_SUCCEEDED
                                                           : MOBILEDRV_NOTIFY_FAILED,
                     &result, CancelEventOf(&task));
    }
    // By identity, not by name: a task of the same name added later keeps its own entry.
    state.RemoveTask(&task);
}

unsigned __stdcall TaskThreadProc(void* argument) {
    HMODULE module = nullptr;
    {
        std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(argument));
        module = std::exchange(start->module, nullptr);
        if (start->task && g_workerGate != nullptr) {
            WorkerThreadState self;
            g_workerThreadSlot.Set(&self);
            g_workerGate->Enter(1);
            self.insideGate = true;
            RunTask(*start->state, *start->task);
            self.insideGate = false;
            g_workerGate->Leave(1);
            g_workerThreadSlot.Set(nullptr);
        }
        // The thread's references go here: the last one of a task frees it, the last one of an
        // engine instance closes and unloads it.
    }
    // This library stays loaded until the thread's last instruction has run.
    FreeLibraryAndExitThread(module, 0);
    return 0;
}

} // namespace

bool StartWorker(const std::shared_ptr<DownloaderState>& state, const TaskHandle& task) {
    auto start = std::unique_ptr<WorkerStart>(new (std::nothrow) WorkerStart{state, task});
    if (!start || !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                      reinterpret_cast<LPCWSTR>(&TaskThreadProc), &start->module)) {
        return false;
    }
    const uintptr_t thread = _beginthreadex(nullptr, 0, TaskThreadProc, start.get(), 0, nullptr);
    if (thread == 0) {
        return false;
    }
    start.release(); // the thread owns it now
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    return true;
}

WorkerThreadState* CurrentWorkerThread() {
    return static_cast<WorkerThreadState*>(g_workerThreadSlot.Get());
}

void WaitForWorkersToLeave(DWORD timeoutMs) {
    if (g_workerGate == nullptr) {
        return;
    }
    const WorkerThreadState* self = CurrentWorkerThread();
    if (self == nullptr || !self->insideGate) {
        g_workerGate->WaitIdle(timeoutMs);
        return;
    }
    g_workerGate->Leave(1);
    g_workerGate->WaitIdle(timeoutMs);
    g_workerGate->Enter(1);
}
