#include "downloader/worker_context.h"

#include "base/module.h"
#include "base/unique_handle.h"
#include "base/worker_gate.h"

namespace {

// A thread-local slot of the operating system: plain pointers need no per-thread storage of the
// runtime, which a worker thread that unloads the library on its way out could not free.
const unique_tls_index g_workerThreadSlot(TlsAlloc());

} // namespace

bool WorkerThreadSlotReady() {
    return static_cast<bool>(g_workerThreadSlot);
}

WorkerThreadState* CurrentWorkerThread() {
    return g_workerThreadSlot
               ? static_cast<WorkerThreadState*>(TlsGetValue(g_workerThreadSlot.get()))
               : nullptr;
}

void SetCurrentWorkerThread(WorkerThreadState* state) {
    if (g_workerThreadSlot) {
        TlsSetValue(g_workerThreadSlot.get(), state);
    }
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
