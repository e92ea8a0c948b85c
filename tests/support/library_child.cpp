// A small host process for tests that must run the library in a process of its own:
//   library_child.exe <library path> downloadfile <url> <target>
// Prints "result <n>" and exits with the result of DownLoadFile.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 5 || std::wcscmp(argv[2], L"downloadfile") != 0) {
        std::fprintf(stderr, "usage: library_child <library> downloadfile <url> <target>\n");
        return 2;
    }
    HMODULE library = LoadLibraryW(argv[1]);
    if (library == nullptr) {
        std::fprintf(stderr, "cannot load the library\n");
        return 3;
    }
    using DownLoadFileFn = int(__stdcall*)(const wchar_t*, const wchar_t*);
    auto download = reinterpret_cast<DownLoadFileFn>(
        reinterpret_cast<void*>(GetProcAddress(library, "DownLoadFile")));
    const int result = download(argv[3], argv[4]);
    std::printf("result %d\n", result);
    std::fflush(stdout);
    return result;
}
