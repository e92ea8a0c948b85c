// A host built in Microsoft's C++ ABI that checks how the engine-load exception reaches it.
//
// Usage: exception_host <folder>
// Loads <folder>\bin\MobileDrvDown.dll and calls DownLoadFile with the target <folder>\driver.zip,
// where <folder>\Tolvek.dll is an engine file the library accepts but cannot load. Every call must
// throw the wide string "can not load tolvek.dll", caught here once per handler form. Prints one
// line per check. Exit code: 0 when every check passed, 1 when one failed, 2 when the library or
// its export is missing.
//
// Built without Microsoft's headers and libraries: it declares what it uses of kernel32.dll and
// msvcrt.dll, and it is its own entry point.

#include "host_runtime.h"

using DownLoadFileFn = int(__stdcall*)(const wchar_t* url, const wchar_t* targetPath);

namespace {

constexpr wchar_t kExpectedMessage[] = L"can not load tolvek.dll";
constexpr wchar_t kUrl[] = L"http://127.0.0.1:9/driver.zip";
// Small enough that no frame needs a stack probe (__chkstk comes with the libraries left out).
constexpr size_t kPathCapacity = 520;

wchar_t g_target[kPathCapacity];
int g_failures = 0;

void Report(bool ok, const char* check) {
    printf("%s: %s\n", ok ? "ok" : "FAILED", check);
    if (!ok) {
        ++g_failures;
    }
}

bool IsExpectedMessage(const wchar_t* message) {
    if (message == nullptr) {
        printf("  caught a null pointer\n");
        return false;
    }
    if (wcscmp(message, kExpectedMessage) != 0) {
        printf("  caught \"%ls\"\n", message);
        return false;
    }
    return true;
}

// Each check calls DownLoadFile once. A handler for another type comes before the one under test
// and must not take the exception; a trailing catch (...) keeps a mismatch from ending the host.

// The handler for `Decoy` must not take the exception; the one for `Caught` must.
template <class Decoy, class Caught>
void CatchAs(DownLoadFileFn downLoadFile, const char* check) {
    bool ok = false;
    try {
        downLoadFile(kUrl, g_target);
        printf("  DownLoadFile returned\n");
    } catch (Decoy) {
        printf("  caught by the handler that comes first\n");
    } catch (Caught object) {
        ok = IsExpectedMessage(static_cast<const wchar_t*>(object));
    } catch (...) {
        printf("  caught only by catch (...)\n");
    }
    Report(ok, check);
}

void CatchAnything(DownLoadFileFn downLoadFile) {
    bool ok = false;
    try {
        downLoadFile(kUrl, g_target);
        printf("  DownLoadFile returned\n");
    } catch (double) {
        printf("  caught as double\n");
    } catch (...) {
        ok = true;
    }
    Report(ok, "catch (...)");
}

// The host's own throw and catch, so that a failure above is the library's and not the host's.
void CatchOwnThrow() {
    bool ok = false;
    try {
        throw static_cast<const wchar_t*>(kExpectedMessage);
    } catch (const wchar_t* message) {
        ok = IsExpectedMessage(message);
    } catch (...) {
    }
    Report(ok, "the host's own throw");
}

int Run() {
    int argc = 0;
    wchar_t** argv = nullptr;
    wchar_t** env = nullptr;
    int startupInfo = 0;
    if (__wgetmainargs(&argc, &argv, &env, 0, &startupInfo) != 0 || argc != 2) {
        printf("usage: exception_host <folder>\n");
        return 2;
    }
    const wchar_t* folder = argv[1];
    wchar_t library[kPathCapacity];
    wchar_t engine[kPathCapacity];
    _snwprintf(library, kPathCapacity, L"%ls\\bin\\MobileDrvDown.dll", folder);
    _snwprintf(engine, kPathCapacity, L"%ls\\Tolvek.dll", folder);
    _snwprintf(g_target, kPathCapacity, L"%ls\\driver.zip", folder);

    CatchOwnThrow();

    HMODULE module = LoadLibraryW(library);
    if (module == nullptr) {
        printf("cannot load %ls\n", library);
        return 2;
    }
    auto downLoadFile = reinterpret_cast<DownLoadFileFn>(GetProcAddress(module, "DownLoadFile"));
    if (downLoadFile == nullptr) {
        printf("%ls exports no DownLoadFile\n", library);
        return 2;
    }

    CatchAs<const char*, const wchar_t*>(downLoadFile, "catch (const wchar_t*)");
    CatchAs<int, wchar_t*>(downLoadFile, "catch (wchar_t*)");
    CatchAs<char*, void*>(downLoadFile, "catch (void*)");
    CatchAnything(downLoadFile);

    // The engine's failed load leaves no module behind, and the library must not hold one either.
    Report(GetModuleHandleW(engine) == nullptr, "the engine is not loaded afterwards");
    Report(FreeLibrary(module) != 0, "FreeLibrary of the library");
    return g_failures == 0 ? 0 : 1;
}

} // namespace

extern "C" void __cdecl mainCRTStartup() {
    // exit(), not ExitProcess(): it flushes the output buffered by printf.
    exit(Run());
}
