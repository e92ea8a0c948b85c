// What the Microsoft-ABI test hosts use of kernel32.dll and msvcrt.dll. No Microsoft headers or
// libraries exist on these machines, so the hosts declare the few functions they call; each is
// listed in the .def files their import libraries are made from. A host includes this once, in
// its one source file.
#pragma once

using size_t = decltype(sizeof(0));
using DWORD = unsigned long;
using BOOL = int;
using HANDLE = void*;
using HMODULE = struct HostModule*;
struct SrwLock {
    void* state;
};

extern "C" {
__declspec(dllimport) HMODULE __stdcall LoadLibraryW(const wchar_t* path);
__declspec(dllimport) void* __stdcall GetProcAddress(HMODULE module, const char* name);
__declspec(dllimport) BOOL __stdcall FreeLibrary(HMODULE module);
__declspec(dllimport) HMODULE __stdcall GetModuleHandleW(const wchar_t* name);
__declspec(dllimport) HANDLE __stdcall CreateEventW(void* attributes, BOOL manualReset,
                                                    BOOL initialState, const wchar_t* name);
__declspec(dllimport) BOOL __stdcall SetEvent(HANDLE event);
__declspec(dllimport) BOOL __stdcall ResetEvent(HANDLE event);
__declspec(dllimport) DWORD __stdcall WaitForSingleObject(HANDLE handle, DWORD timeoutMs);
__declspec(dllimport) BOOL __stdcall CloseHandle(HANDLE handle);
__declspec(dllimport) DWORD __stdcall GetCurrentThreadId();
__declspec(dllimport) DWORD __stdcall GetTickCount();
__declspec(dllimport) void __stdcall Sleep(DWORD ms);
__declspec(dllimport) BOOL
    __stdcall CopyFileW(const wchar_t* from, const wchar_t* to, BOOL failIfExists);
__declspec(dllimport) BOOL __stdcall CreateDirectoryW(const wchar_t* path, void* attributes);
__declspec(dllimport) void __stdcall AcquireSRWLockExclusive(SrwLock* lock);
__declspec(dllimport) void __stdcall ReleaseSRWLockExclusive(SrwLock* lock);

__declspec(dllimport) int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env,
                                                 int expandWildcards, int* startupInfo);
__declspec(dllimport) int __cdecl printf(const char* format, ...);
__declspec(dllimport) int __cdecl _snwprintf(wchar_t* buffer, size_t count, const wchar_t* format,
                                             ...);
__declspec(dllimport) int __cdecl wcscmp(const wchar_t* a, const wchar_t* b);
__declspec(dllimport) __declspec(noreturn) void __cdecl exit(int code);
}

// The vtable of std::type_info, which every type descriptor the compiler emits points to. The
// runtime matches handlers by name and never calls through it.
extern "C" const void* const kTypeInfoVtable[1] __asm__("??_7type_info@@6B@") = {nullptr};
