// The part of the Windows SDK's <windows.h> that the guide's Microsoft-ABI examples use. No SDK
// exists on the build machines; the examples' builds put this folder on the include path instead.
#pragma once

typedef void* HANDLE;
typedef unsigned long DWORD;
typedef int BOOL;
#define TRUE 1
#define FALSE 0
#define WAIT_OBJECT_0 0u

extern "C" {
__declspec(dllimport) HANDLE __stdcall CreateEventW(void* attributes, BOOL manualReset,
                                                    BOOL initialState, const wchar_t* name);
__declspec(dllimport) BOOL __stdcall SetEvent(HANDLE event);
__declspec(dllimport) DWORD __stdcall WaitForSingleObject(HANDLE handle, DWORD timeoutMs);
__declspec(dllimport) BOOL __stdcall CloseHandle(HANDLE handle);
__declspec(dllimport) wchar_t* __stdcall lstrcpynW(wchar_t* to, const wchar_t* from, int count);
}
