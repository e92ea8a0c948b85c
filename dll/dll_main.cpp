// The DLL's surface: its entry point and its three exports. Everything behind them lives in the
// layers below. (The build defines MOBILEDRVDOWN_BUILDING, so the public header declares the
// exports without dllimport.)
#include "MobileDrvDown.h"
#include "base/module.h"
#include "dll/image_runtime.h"
#include "downloader/blocking_download.h"
#include "downloader/drv_downloader.h"
#include "downloader/worker_context.h"
#include "engine/msvc_exception.h"
#include "engine/verify.h"

#include <type_traits>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/);

// The image's entry point, named to the linker (dll/CMakeLists.txt). The loader calls it, and no
// other code of the image runs before it: the image has no TLS callbacks and no constructors. It
// draws the stack canary before any function that checks one runs, creates the module-wide objects
// before the process-attach work, and destroys them after the process-detach work or after an
// attach that failed.
extern "C" __attribute__((no_stack_protector)) BOOL WINAPI DllEntryPoint(HINSTANCE instance,
                                                                         DWORD reason,
                                                                         LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        if (!DrawStackCanary()) {
            return FALSE;
        }
        CreateModuleObjects();
        CreateWorkerThreadSlot();
        CreateEngineLoadExceptionRecords();
    }
    const BOOL result = DllMain(instance, reason, reserved);
    if (reason == DLL_PROCESS_DETACH || (reason == DLL_PROCESS_ATTACH && !result)) {
        DestroyModuleObjects();
        FreeWorkerThreadSlot();
    }
    return result;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    // A module whose module-wide objects could not all be had fails its load: the host's
    // LoadLibrary returns null and a later load may succeed.
    if (reason == DLL_PROCESS_ATTACH) {
        return OnProcessAttach(instance) && WorkerThreadSlotReady() ? TRUE : FALSE;
    }
    return TRUE;
}

extern "C" IMobileDrvDown* __stdcall CreateInstance(int requestedVersion, int* outVersion) {
    if (outVersion != nullptr) {
        *outVersion = MOBILEDRV_INTERFACE_VERSION;
    }
    if (requestedVersion > MOBILEDRV_INTERFACE_VERSION) {
        return nullptr;
    }
    return CreateDownloader();
}

extern "C" int __stdcall DownLoadFile(const wchar_t* url, const wchar_t* targetPath) {
    const BlockingOutcome outcome = DownloadWithOwnEngine(url, targetPath);
    if (outcome == BlockingOutcome::EngineNotLoadable) {
        RaiseEngineLoadException();
    }
    return outcome == BlockingOutcome::Succeeded ? 1 : 0;
}

extern "C" int __stdcall ExtractZipFile(const void* /*reserved1*/, const void* /*reserved2*/) {
    return 1;
}

// The exact types hosts link against: stdcall, with the documented arguments and results.
static_assert(std::is_same_v<decltype(&CreateInstance),
                             IMobileDrvDown*(__attribute__((stdcall)) *)(int, int*)>);
static_assert(std::is_same_v<decltype(&DownLoadFile),
                             int(__attribute__((stdcall)) *)(const wchar_t*, const wchar_t*)>);
static_assert(std::is_same_v<decltype(&ExtractZipFile),
                             int(__attribute__((stdcall)) *)(const void*, const void*)>);
// The exit code hosts are told about is the one the engine check ends the process with.
static_assert(MOBILEDRV_EXIT_ENGINE_DAMAGED == kExitEngineDamaged);
