#include "base/process_exit.h"

#include <windows.h>

namespace {

using ShutdownInProgressFn = BOOLEAN(NTAPI*)();

// Looked up once at load: at exit the loader lock is held, and nothing is loaded any more.
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
