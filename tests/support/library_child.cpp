// A small host process for tests that must run the library in a process of its own:
//   library_child.exe <library path> downloadfile <url> <target>
//     Prints "result <n>" and exits with the result of DownLoadFile.
//   library_child.exe <dll path> load
//     Loads the DLL with a plain LoadLibraryW, the system's default search for its dependencies;
//     prints "loaded" and exits with 0, or prints the error and exits with 3.
//   library_child.exe <dll path> call <export>
//     Loads the DLL and calls its export `int (*)()`; prints "returned <n>" and exits with 0.
// An exception that nothing handles (the engine-load exception among them) is printed as
// "exception <code>" and ends the process with exit code 4.
#include "MobileDrvDownHost.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

LONG WINAPI ReportUnhandled(EXCEPTION_POINTERS* exception) {
    std::printf("exception 0x%08lx\n", exception->ExceptionRecord->ExceptionCode);
    std::fflush(stdout);
    ExitProcess(4);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    SetUnhandledExceptionFilter(&ReportUnhandled);
    if (argc == 3 && std::wcscmp(argv[2], L"load") == 0) {
        if (LoadLibraryW(argv[1]) == nullptr) {
            std::printf("not loaded, error %lu\n", GetLastError());
            return 3;
        }
        std::printf("loaded\n");
        return 0;
    }
    if (argc == 4 && std::wcscmp(argv[2], L"call") == 0) {
        HMODULE dll = LoadLibraryW(argv[1]);
        char name[64] = {};
        std::wcstombs(name, argv[3], sizeof name - 1);
        auto function =
            dll != nullptr
                ? reinterpret_cast<int (*)()>(reinterpret_cast<void*>(GetProcAddress(dll, name)))
                : nullptr;
        if (function == nullptr) {
            std::printf("no export %s\n", name);
            return 3;
        }
        std::printf("returned %d\n", function());
        return 0;
    }
    if (argc != 5 || std::wcscmp(argv[2], L"downloadfile") != 0) {
        std::fprintf(stderr, "usage: library_child <library> downloadfile <url> <target>\n"
                             "       library_child <dll> load\n"
                             "       library_child <dll> call <export>\n");
        return 2;
    }
    HMODULE library = LoadLibraryW(argv[1]);
    if (library == nullptr) {
        std::fprintf(stderr, "cannot load the library\n");
        return 3;
    }
    auto download = reinterpret_cast<mobiledrv::DownLoadFileFn>(
        reinterpret_cast<void*>(GetProcAddress(library, "DownLoadFile")));
    const int result = download(argv[3], argv[4]);
    std::printf("result %d\n", result);
    std::fflush(stdout);
    return result;
}
