#include "module/module.h"

HANDLE g_hStopEvent = nullptr;
wchar_t g_szModuleDir[MAX_PATH] = {};

namespace {

// Creates the module-wide objects when the module is loaded (static initialisation runs before
// the process-attach work) and destroys them when it is unloaded (after the process-detach work).
struct ModuleObjects {
    ModuleObjects() { g_hStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~ModuleObjects() {
        if (g_hStopEvent != nullptr) {
            CloseHandle(g_hStopEvent);
            g_hStopEvent = nullptr;
        }
    }
    ModuleObjects(const ModuleObjects&) = delete;
    ModuleObjects& operator=(const ModuleObjects&) = delete;
};

ModuleObjects g_moduleObjects;

} // namespace
