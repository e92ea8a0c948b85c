#include "base/module.h"

#include "base/module_object.h"
#include "base/process_exit.h"
#include "base/unique_handle.h"
#include "base/worker_gate.h"

#include <shlwapi.h>

HANDLE g_hStopEvent = nullptr;
wchar_t g_szModuleDir[MAX_PATH] = {};
CWorkerGate* g_workerGate = nullptr;

namespace {

// The module-wide objects: created when the module is loaded and destroyed when it is unloaded.
struct ModuleObjects {
    // The gate is a member, not allocated, and needs no object of the system, so creating it
    // cannot fail.
    ModuleObjects() noexcept
        : stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)), gate(stopEvent.get()) {
        g_hStopEvent = stopEvent.get();
        g_workerGate = &gate;
    }
    // The stop event is closed first; the gate goes after it, with the members.
    ~ModuleObjects() {
        g_hStopEvent = nullptr;
        stopEvent.reset();
        g_workerGate = nullptr;
    }
    ModuleObjects(const ModuleObjects&) = delete;
    ModuleObjects& operator=(const ModuleObjects&) = delete;

    unique_handle stopEvent;
    CWorkerGate gate;
};

ModuleObject<ModuleObjects> g_moduleObjects;

} // namespace

void CreateModuleObjects() {
    g_moduleObjects.Create();
    LookUpProcessExit();
}

void DestroyModuleObjects() {
    g_moduleObjects.Destroy();
}

bool OnProcessAttach(HMODULE module) {
    if (g_hStopEvent == nullptr) {
        return false;
    }
    // A path of MAX_PATH characters or more comes back cut, filling the whole capacity: its folder
    // is not the library's.
    const DWORD length = GetModuleFileNameW(module, g_szModuleDir, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    PathRemoveFileSpecW(g_szModuleDir);
    DisableThreadLibraryCalls(module);
    return true;
}
