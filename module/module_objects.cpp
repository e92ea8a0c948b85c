#include "module/module.h"

#include "module/worker_gate.h"

#include <optional>

HANDLE g_hStopEvent = nullptr;
wchar_t g_szModuleDir[MAX_PATH] = {};
CWorkerGate* g_workerGate = nullptr;

namespace {

// Creates the module-wide objects when the module is loaded (static initialisation runs before
// the process-attach work) and destroys them when it is unloaded (after the process-detach work).
struct ModuleObjects {
    ModuleObjects() {
        g_hStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        // Held in place, not allocated, so creating the gate cannot fail; a gate whose lock
        // event is missing refuses every lock attempt instead.
        gate.emplace(g_hStopEvent);
        g_workerGate = &*gate;
    }
    ~ModuleObjects() {
        if (g_hStopEvent != nullptr) {
            CloseHandle(g_hStopEvent);
            g_hStopEvent = nullptr;
        }
        g_workerGate = nullptr;
        gate.reset();
    }
    ModuleObjects(const ModuleObjects&) = delete;
    ModuleObjects& operator=(const ModuleObjects&) = delete;

    std::optional<CWorkerGate> gate;
};

ModuleObjects g_moduleObjects;

} // namespace
