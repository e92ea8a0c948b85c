// EngineDep.dll: a dependency of the stand-in variant Tolvek_withdep, which imports
// EngineDep_Answer from it. Every copy logs where it was loaded from (STANDIN_LOAD_LOG, as the
// engines do), so a test can tell which copy the system picked for the engine.
#include "standin_engine/load_log.h"

#include <windows.h>

extern "C" __declspec(dllexport) int EngineDep_Answer() {
    return 42;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        standin::AppendLoadLogLine(instance);
    }
    return TRUE;
}
