// What the libraries of Microsoft's C runtime give a console program with a wide entry point:
// the start-up code that calls wmain, the end of a program whose exception cannot be handled, and
// the vtable of std::type_info (type descriptors point to it; catching matches by name). None of
// them exist on the build machines; each Microsoft-ABI example links this file instead, in this
// build and in the package's host project.
extern "C" const void* const kTypeInfoVtable[1] __asm__("??_7type_info@@6B@") = {nullptr};

extern "C" {
__declspec(dllimport) int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env,
                                                 int expandWildcards, int* startupInfo);
__declspec(dllimport) __declspec(noreturn) void __cdecl exit(int code);
__declspec(dllimport) __declspec(noreturn) void __cdecl abort();
void __cdecl __std_terminate() {
    abort();
}
}

int wmain(int argc, wchar_t** argv);

extern "C" void __cdecl mainCRTStartup() {
    int argc = 0;
    wchar_t** argv = nullptr;
    wchar_t** env = nullptr;
    int startupInfo = 0;
    __wgetmainargs(&argc, &argv, &env, 0, &startupInfo);
    exit(wmain(argc, argv));
}
