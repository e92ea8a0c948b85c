// An engine file that Windows refuses to load: its DllMain fails the process attach, so
// LoadLibraryW returns null. It still writes its load-log line first.
#include "standin_engine/load_log.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        standin::AppendLoadLogLine(instance);
        return FALSE;
    }
    return TRUE;
}
