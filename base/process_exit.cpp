#include "base/process_exit.h"

#include <windows.h>

namespace {

using ShutdownInProgressFn = BOOLEAN(NTAPI*)();

// Looked up at load, so that a shutdown at exit makes no call into the loader, which is busy
// detaching modules then.
ShutdownInProgressFn g_dllShutdownInProgress = nullptr;

} // namespace

void LookUpProcessExit() {
    if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
        g_dllShutdownInProgress = reinterpret_cast<ShutdownInProgressFn>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlDllShutdownInProgress")));
    }
}

bool ProcessExiting() {
    return g_dllShutdownInProgress != nullptr && g_dllShutdownInProgress() != FALSE;
}
