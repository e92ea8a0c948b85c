#include "module/module.h"

#include <shlwapi.h>

void OnProcessAttach(HMODULE module) {
    GetModuleFileNameW(module, g_szModuleDir, MAX_PATH);
    PathRemoveFileSpecW(g_szModuleDir);
    DisableThreadLibraryCalls(module);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        OnProcessAttach(instance);
    }
    return TRUE;
}
