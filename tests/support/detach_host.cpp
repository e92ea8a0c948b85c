// A host DLL that releases its downloader from its DLL_PROCESS_DETACH when the process exits:
//   library_child.exe <this DLL> call StartHeldNotification
// starts one task whose notification never returns and returns 1 once that notification runs;
// the process then exits, the system ends the worker inside OnNotify, and the detach prints
// "released" once Release has returned. The library is linked, so it is detached after this DLL.
#include "MobileDrvDown.h"

#include <windows.h>

#include <cwchar>

namespace {

IMobileDrvDown* g_downloader = nullptr;
HANDLE g_notified = nullptr;

class HeldCallback : public IMobileDrvDownCallback {
public:
    void MOBILEDRV_THISCALL OnNotify(int /*kind*/, void* /*record*/) override {
        SetEvent(g_notified);
        Sleep(INFINITE);
    }
};

HeldCallback g_callback;

void Print(const char* text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, lstrlenA(text), &written, nullptr);
}

} // namespace

extern "C" __declspec(dllexport) int StartHeldNotification() {
    g_notified = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_downloader = CreateInstance(MOBILEDRV_INTERFACE_VERSION, nullptr);
    if (g_notified == nullptr || g_downloader == nullptr || g_downloader->Init(&g_callback) != 1) {
        return 0;
    }
    _MOBILE_DRV_TASK task{};
    std::wcscpy(task.url, L"http://127.0.0.1:9/pkg.zip");
    // The target lies beside this DLL.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&Print), &self);
    const DWORD length = GetModuleFileNameW(self, task.targetPath, MAX_PATH);
    wchar_t* name = std::wcsrchr(task.targetPath, L'\\');
    if (length == 0 || length >= MAX_PATH || name == nullptr) {
        return 0;
    }
    std::wcscpy(name + 1, L"held.zip");
    if (g_downloader->AddTask(&task) != 1) {
        return 0;
    }
    return WaitForSingleObject(g_notified, 20000) == WAIT_OBJECT_0 ? 1 : 0;
}

BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID reserved) {
    // At process exit (reserved not null) the host ends what it still holds.
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr && g_downloader != nullptr) {
        g_downloader->Release();
        Print("released\n");
    }
    return TRUE;
}
