// Catching MobileDrvDown's engine-load error in a host built with MinGW-w64.
//
// Init and DownLoadFile report an engine file that exists but cannot be loaded by throwing the
// wide string L"can not load tolvek.dll" the way Microsoft's C++ runtime throws: a structured
// exception with code 0xE06D7363, which GCC's `catch` never sees. CallCatchingEngineLoadError
// runs one call of the library on the calling thread. When the library raises that exception
// during the call, a vectored exception handler copies the message out of the exception record
// and has the thread continue after the call, which is abandoned where the library raised it.
// The library frees everything it holds before it raises, so nothing is left behind, and the
// next call works as any other.
//
// Copy this file into the host. It needs GCC or clang (MinGW-w64), C++17 and <windows.h>.
#pragma once

#include <windows.h>

#include <setjmp.h>

namespace engine_load_error {

constexpr DWORD kMicrosoftCppException = 0xE06D7363; // every `throw` of Microsoft's runtime
constexpr ULONG_PTR kMicrosoftCppMagic = 0x19930520; // its first parameter
constexpr int kMessageChars = 64;

// What one guarded call on this thread needs: where to continue, and the message.
struct Guard {
    jmp_buf resume;
    wchar_t message[kMessageChars];
};

inline thread_local Guard* t_guard = nullptr;

#if defined(__x86_64__)
// Given no frame to unwind to, x64's longjmp only restores the registers and jumps (the setjmp
// macro would give it the frame of the caller).
#define ENGINE_LOAD_ERROR_SETJMP(buffer) _setjmp((buffer), nullptr)
#else
#define ENGINE_LOAD_ERROR_SETJMP(buffer) setjmp(buffer)
#endif

// Where the thread continues after the handler: back into CallCatchingEngineLoadError, as the
// second return of its setjmp. Nothing is unwound on the way: the frames of the library hold
// nothing that needs it.
[[noreturn]] inline void ContinueAfterEngineLoadError() {
    longjmp(t_guard->resume, 1);
}

// True when the exception is the library's: Microsoft's runtime raises every `throw` with the
// address of the thrown type's ThrowInfo record as the third parameter, and the library's lies in
// MobileDrvDown.dll. Exceptions the engine or other components throw and catch themselves during
// the call are left alone.
inline bool RaisedByTheLibrary(const EXCEPTION_RECORD* record) {
    if (record->ExceptionCode != kMicrosoftCppException || record->NumberParameters < 3 ||
        record->ExceptionInformation[0] != kMicrosoftCppMagic) {
        return false;
    }
    HMODULE thrower = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<const wchar_t*>(record->ExceptionInformation[2]),
                              &thrower) &&
           thrower == GetModuleHandleW(L"MobileDrvDown.dll");
}

inline LONG CALLBACK OnEngineLoadError(EXCEPTION_POINTERS* exception) {
    Guard* const guard = t_guard;
    if (guard == nullptr || !RaisedByTheLibrary(exception->ExceptionRecord)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    // The second parameter is the address of the thrown object, a `const wchar_t*`.
    const wchar_t* const* thrown = reinterpret_cast<const wchar_t* const*>(
        exception->ExceptionRecord->ExceptionInformation[1]);
    lstrcpynW(guard->message, *thrown, kMessageChars);
    // Continue in ContinueAfterEngineLoadError, on the stack below the point of the raise (the
    // frames there are abandoned), aligned as at the entry of a function.
    CONTEXT* context = exception->ContextRecord;
#if defined(__x86_64__)
    context->Rsp = ((context->Rsp - 256) & ~DWORD64{15}) - 8;
    context->Rip = reinterpret_cast<DWORD64>(&ContinueAfterEngineLoadError);
#else
    context->Esp = ((context->Esp - 256) & ~DWORD{15}) - 4;
    context->Eip = reinterpret_cast<DWORD>(&ContinueAfterEngineLoadError);
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

} // namespace engine_load_error

// Runs `call()` (Init or DownLoadFile, say). Returns true when it returned; false when the library
// raised its engine-load error instead, with the error's text in `message`. False too, without
// calling, when the handler cannot be installed (no memory).
template <class Call>
bool CallCatchingEngineLoadError(Call&& call,
                                 wchar_t (&message)[engine_load_error::kMessageChars]) {
    using namespace engine_load_error;
    void* const handler = AddVectoredExceptionHandler(1, &OnEngineLoadError);
    if (handler == nullptr) {
        lstrcpynW(message, L"no memory for an exception handler", kMessageChars);
        return false;
    }
    Guard guard;
    guard.message[0] = L'\0';
    Guard* const outer = t_guard;
    t_guard = &guard;
    bool returned = false;
    if (ENGINE_LOAD_ERROR_SETJMP(guard.resume) == 0) {
        call();
        returned = true;
    }
    t_guard = outer;
    RemoveVectoredExceptionHandler(handler);
    lstrcpynW(message, guard.message, kMessageChars);
    return returned;
}
