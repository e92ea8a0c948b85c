#include "downloader/worker_context.h"

#include "base/module.h"
#include "base/module_object.h"
#include "base/unique_handle.h"

namespace {

// A thread-local slot of the operating system: plain pointers need no per-thread storage of the
// runtime, which a worker thread that unloads the library on its way out could not free.
ModuleObject<unique_tls_index> g_workerThreadSlot;

// The slot's index; TLS_OUT_OF_INDEXES when there is none.
DWORD SlotIndex() {
    const unique_tls_index* slot = g_workerThreadSlot.get();
    return slot != nullptr ? slot->get() : TLS_OUT_OF_INDEXES;
}

} // namespace

void CreateWorkerThreadSlot() {
    g_workerThreadSlot.Create(TlsAlloc());
}

void FreeWorkerThreadSlot() {
    g_workerThreadSlot.Destroy();
}

bool WorkerThreadSlotReady() {
    return SlotIndex() != TLS_OUT_OF_INDEXES;
}

WorkerThreadState* CurrentWorkerThread() {
    return WorkerThreadSlotReady() ? static_cast<WorkerThreadState*>(TlsGetValue(SlotIndex()))
                                   : nullptr;
}

void SetCurrentWorkerThread(WorkerThreadState* state) {
    if (WorkerThreadSlotReady()) {
        TlsSetValue(SlotIndex(), state);
    }
}
