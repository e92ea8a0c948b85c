#include "downloader/worker_context.h"

#include "base/module.h"
#include "base/unique_handle.h"

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
