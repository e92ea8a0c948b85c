// A DLL built in Microsoft's C++ ABI that makes one call inside `try` and catches the engine-load
// exception with `catch (const wchar_t*)`, as a host built with clang in Microsoft mode does. The
// MinGW test programs load it to put this way of catching through the same checks as the MinGW
// handler of docs/engine_load_error_mingw.h.

#include "host_runtime.h"

// Makes the call `call(context)`. 1 when it returned, its result in `result`; 0 when it threw a
// wide string, which is then copied into `message` (`capacity` characters).
extern "C" __declspec(dllexport) int __cdecl CallCatchingEngineLoadError(int(__cdecl* call)(void*),
                                                                         void* context, int* result,
                                                                         wchar_t* message,
                                                                         int capacity) {
    try {
        *result = call(context);
        return 1;
    } catch (const wchar_t* thrown) {
        _snwprintf(message, static_cast<size_t>(capacity), L"%ls", thrown);
        message[capacity - 1] = L'\0';
        return 0;
    }
}
