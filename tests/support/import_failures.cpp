// What each function a library of the project may import does when it fails, as its
// documentation says: the result, the last error and, on x86, how many argument bytes a stdcall
// function pops. The library links no C runtime, so none of its functions is here. Functions that
// cannot fail, or whose failure cannot be simulated faithfully, are named with the reason they are
// never failed. An import that is in neither list makes the sweep fail until it is classified here.
#include "support/import_faults.h"

#include <cstring>

namespace drvtest {

namespace {

constexpr intptr_t kInvalid = -1;          // INVALID_HANDLE_VALUE, pointer-sized
constexpr intptr_t kDword = 0xFFFFFFFF;    // (DWORD)-1: WAIT_FAILED, TLS_OUT_OF_INDEXES,
                                           // INVALID_FILE_ATTRIBUTES
constexpr intptr_t kNoMemory = 0xC0000017; // STATUS_NO_MEMORY
constexpr DWORD kOutOfMemory = 0x8007000E; // E_OUTOFMEMORY, the crypto functions' error

ImportFailure Fails(const char* name, int x86ArgBytes, intptr_t value, DWORD lastError,
                    bool engineFileIo = false) {
    return {name, x86ArgBytes, value, lastError, 0, engineFileIo};
}
ImportFailure FailsStatus(const char* name, int x86ArgBytes) {
    return {name, x86ArgBytes, kNoMemory, 0, 0, false};
}
// Reports a cut result by returning the capacity it was given, argument `capacityArg`.
ImportFailure FailsCut(const char* name, int x86ArgBytes, int capacityArg, DWORD lastError) {
    return {name, x86ArgBytes, 0, lastError, 0, false, nullptr, capacityArg};
}
ImportFailure Never(const char* name, const char* reason) {
    return {name, 0, 0, 0, 0, false, reason};
}

constexpr const char* kCannotFail = "cannot fail";
constexpr const char* kNoResult = "returns nothing, so it has no failure to report";
constexpr const char* kEnds = "ends the process or thread by design, never returns";
constexpr const char* kBadHandleOnly =
    "fails only for an invalid handle or argument; a failed release of a valid one leaves it "
    "held, which no caller can remedy";

const ImportFailure kTable[] = {
    // kernel32: handles, events, waits
    Never("CloseHandle", kBadHandleOnly),
    Fails("CreateEventA", 16, 0, ERROR_NOT_ENOUGH_MEMORY),
    Fails("CreateEventW", 16, 0, ERROR_NOT_ENOUGH_MEMORY),
    Fails("CreateSemaphoreA", 16, 0, ERROR_NOT_ENOUGH_MEMORY),
    Fails("CreateSemaphoreW", 16, 0, ERROR_NOT_ENOUGH_MEMORY),
    Fails("DuplicateHandle", 28, 0, ERROR_NOT_ENOUGH_MEMORY),
    Fails("GetHandleInformation", 8, 0, ERROR_INVALID_HANDLE),
    Fails("ReleaseSemaphore", 12, 0, ERROR_TOO_MANY_POSTS),
    Fails("ResetEvent", 4, 0, ERROR_INVALID_HANDLE),
    Fails("SetEvent", 4, 0, ERROR_INVALID_HANDLE),
    Fails("WaitForMultipleObjects", 16, kDword, ERROR_INVALID_HANDLE),
    Fails("WaitForSingleObject", 8, kDword, ERROR_INVALID_HANDLE),
    Fails("SleepConditionVariableSRW", 16, 0, ERROR_TIMEOUT),
    Fails("SleepConditionVariableCS", 12, 0, ERROR_TIMEOUT),
    Never("AcquireSRWLockExclusive", kNoResult),
    Never("ReleaseSRWLockExclusive", kNoResult),
    Never("AcquireSRWLockShared", kNoResult),
    Never("ReleaseSRWLockShared", kNoResult),
    Never("InitializeSRWLock", kNoResult),
    Never("InitializeConditionVariable", kNoResult),
    Never("WakeAllConditionVariable", kNoResult),
    Never("WakeConditionVariable", kNoResult),
    Never("InitializeCriticalSection", kNoResult),
    Never("DeleteCriticalSection", kNoResult),
    Never("EnterCriticalSection", kNoResult),
    Never("LeaveCriticalSection", kNoResult),
    Never("TryEnterCriticalSection",
          "0 means another thread holds the section, an answer rather than a failure"),
    Never("Sleep", kNoResult),
    // kernel32: threads, thread-local slots, process
    Fails("CreateThread", 24, 0, ERROR_NOT_ENOUGH_MEMORY),
    Fails("TlsAlloc", 0, kDword, ERROR_NO_MORE_ITEMS),
    Fails("TlsSetValue", 8, 0, ERROR_NOT_ENOUGH_MEMORY),
    Never("TlsGetValue", "fails only for an index that TlsAlloc did not give"),
    Never("TlsFree", "fails only for an index that TlsAlloc did not give"),
    Fails("ResumeThread", 4, kDword, ERROR_INVALID_HANDLE),
    Fails("SuspendThread", 4, kDword, ERROR_INVALID_HANDLE),
    Fails("GetThreadContext", 8, 0, ERROR_ACCESS_DENIED),
    Fails("SetThreadContext", 8, 0, ERROR_ACCESS_DENIED),
    Fails("GetThreadPriority", 4, 0x7FFFFFFF, ERROR_INVALID_HANDLE),
    Fails("SetThreadPriority", 8, 0, ERROR_ACCESS_DENIED),
    Fails("GetProcessAffinityMask", 12, 0, ERROR_ACCESS_DENIED),
    Fails("SetProcessAffinityMask", 8, 0, ERROR_ACCESS_DENIED),
    Fails("OpenProcess", 12, 0, ERROR_ACCESS_DENIED),
    Never("GetCurrentProcess", kCannotFail),
    Never("GetCurrentProcessId", kCannotFail),
    Never("GetCurrentThread", kCannotFail),
    Never("GetCurrentThreadId", kCannotFail),
    Never("ExitProcess", kEnds),
    Never("FreeLibraryAndExitThread", kEnds),
    Never("ExitThread", kEnds),
    Never("TerminateProcess", kEnds),
    Never("GetLastError", kCannotFail),
    Never("SetLastError", kNoResult),
    Never("GetTickCount", kCannotFail),
    Never("GetTickCount64", kCannotFail),
    Never("GetSystemTimeAsFileTime", kNoResult),
    Never("QueryPerformanceCounter", "cannot fail since Windows XP"),
    Never("QueryPerformanceFrequency", "cannot fail since Windows XP"),
    Never("IsDebuggerPresent", kCannotFail),
    Never("IsProcessorFeaturePresent", "FALSE only says that the feature is missing"),
    Never("IsDBCSLeadByteEx", "FALSE is an answer; it fails only for an unknown code page"),
    Never("GetStartupInfoA", kNoResult),
    // kernel32: modules
    Never("FreeLibrary", kBadHandleOnly),
    // For a module of the process it fails only for a path longer than the buffer: the result is
    // the buffer's capacity, the name cut to it (the stub leaves the buffer as it was).
    FailsCut("GetModuleFileNameW", 12, 3, ERROR_INSUFFICIENT_BUFFER),
    Fails("GetModuleHandleA", 4, 0, ERROR_MOD_NOT_FOUND),
    Fails("GetModuleHandleW", 4, 0, ERROR_MOD_NOT_FOUND),
    Fails("GetModuleHandleExW", 12, 0, ERROR_MOD_NOT_FOUND),
    Fails("GetProcAddress", 8, 0, ERROR_PROC_NOT_FOUND),
    Fails("LoadLibraryA", 4, 0, ERROR_NOT_ENOUGH_MEMORY),
    Fails("LoadLibraryW", 4, 0, ERROR_NOT_ENOUGH_MEMORY),
    Fails("LoadLibraryExW", 12, 0, ERROR_NOT_ENOUGH_MEMORY, true),
    Fails("DisableThreadLibraryCalls", 4, 0, ERROR_INVALID_PARAMETER),
    // kernel32: files and memory
    Fails("CreateFileW", 28, kInvalid, ERROR_ACCESS_DENIED, true),
    Fails("ReadFile", 20, 0, ERROR_READ_FAULT, true),
    Fails("GetFileSizeEx", 8, 0, ERROR_ACCESS_DENIED, true),
    Fails("WriteFile", 20, 0, ERROR_DISK_FULL),
    Fails("DeleteFileW", 4, 0, ERROR_ACCESS_DENIED),
    Fails("GetFileAttributesW", 4, kDword, ERROR_ACCESS_DENIED),
    Fails("SetFileAttributesW", 8, 0, ERROR_ACCESS_DENIED),
    Fails("MoveFileW", 8, 0, ERROR_ACCESS_DENIED),
    Fails("MoveFileExW", 12, 0, ERROR_ACCESS_DENIED),
    Fails("GetStdHandle", 4, kInvalid, ERROR_INVALID_HANDLE),
    Fails("VirtualProtect", 16, 0, ERROR_NOT_ENOUGH_MEMORY),
    Fails("VirtualQuery", 12, 0, ERROR_INVALID_PARAMETER),
    Fails("HeapAlloc", 12, 0, 0),
    Never("HeapFree", kBadHandleOnly),
    Never("GetProcessHeap", kCannotFail),
    Fails("MultiByteToWideChar", 24, 0, ERROR_INSUFFICIENT_BUFFER),
    Fails("WideCharToMultiByte", 32, 0, ERROR_INSUFFICIENT_BUFFER),
    Never("OutputDebugStringA", kNoResult),
    Never("OutputDebugStringW", kNoResult),
    // kernel32: exceptions
    Never("RaiseException", "raises, by design; it has no failure to return"),
    Fails("AddVectoredExceptionHandler", 8, 0, ERROR_NOT_ENOUGH_MEMORY),
    Never("RemoveVectoredExceptionHandler", "fails only for a handler that was not added"),
    // shlwapi, user32
    Fails("PathCombineW", 12, 0, 0),
    Fails("PathFileExistsW", 4, 0, ERROR_FILE_NOT_FOUND),
    Fails("PathIsDirectoryW", 4, 0, ERROR_FILE_NOT_FOUND),
    Never("PathRemoveFileSpecW", "FALSE only says that nothing was removed"),
    Never("PathFindFileNameW", kCannotFail),
    Never("StrCmpIW", kCannotFail),
    Fails("MessageBoxW", 16, 0, ERROR_NOT_ENOUGH_MEMORY),
    Fails("MsgWaitForMultipleObjectsEx", 20, kDword, ERROR_INVALID_HANDLE),
    Never("PeekMessageW",
          "FALSE says that no message was waiting, an answer rather than a failure"),
    Never("InSendMessageEx", "returns flags that describe the thread; it cannot fail"),
    Never("ReplyMessage",
          "FALSE says that the thread was answering no sent message, an answer rather than a "
          "failure"),
    Fails("GetProcessWindowStation", 0, 0, ERROR_ACCESS_DENIED),
    Fails("GetUserObjectInformationW", 20, 0, ERROR_ACCESS_DENIED),
    // bcrypt: NTSTATUS results, no last error. The entry point draws the stack canary with
    // BCryptGenRandom; without it the load fails.
    FailsStatus("BCryptGenRandom", 16),
    FailsStatus("BCryptOpenAlgorithmProvider", 16),
    FailsStatus("BCryptCreateHash", 28),
    FailsStatus("BCryptHashData", 16),
    FailsStatus("BCryptFinishHash", 16),
    Never("BCryptDestroyHash", kBadHandleOnly),
    Never("BCryptCloseAlgorithmProvider", kBadHandleOnly),
    // crypt32: short memory is the failure a sound signature can meet
    Fails("CertOpenStore", 20, 0, kOutOfMemory),
    Fails("CertGetSubjectCertificateFromStore", 12, 0, kOutOfMemory),
    Fails("CertGetEnhancedKeyUsage", 16, 0, kOutOfMemory),
    Fails("CryptMsgOpenToDecode", 24, 0, kOutOfMemory),
    Fails("CryptMsgUpdate", 16, 0, kOutOfMemory),
    Fails("CryptMsgGetParam", 20, 0, kOutOfMemory),
    Fails("CryptMsgControl", 16, 0, kOutOfMemory),
    Never("CryptMsgClose", kBadHandleOnly),
    Never("CertCloseStore", kBadHandleOnly),
    Never("CertFreeCertificateContext", "always returns TRUE"),
};

} // namespace

const ImportFailure* FindImportFailure(std::string_view name) {
    for (const ImportFailure& failure : kTable) {
        if (name == failure.name) {
            return &failure;
        }
    }
    return nullptr;
}

} // namespace drvtest
