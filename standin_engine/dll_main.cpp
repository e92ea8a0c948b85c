#include "standin_engine/engine_state.h"
#include "standin_engine/load_log.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    // Thread notifications stay on, so that a test can hold a new thread before its first
    // instruction.
    if (reason == DLL_PROCESS_ATTACH) {
        standin::AppendLoadLogLine(instance);
    } else if (reason == DLL_THREAD_ATTACH) {
        standin::Engine().HoldThreadAttach();
    }
    return TRUE;
}
