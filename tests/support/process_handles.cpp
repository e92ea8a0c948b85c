#include "support/process_handles.h"

#include "base/unique_handle.h"
#include "support/text.h"
#include "support/wait.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>

namespace drvtest {

namespace {

// The start of what NtQueryObject answers for ObjectTypeInformation: the type's name.
struct ObjectTypeName {
    USHORT length; // bytes
    USHORT maximumLength;
    const wchar_t* buffer;
};

constexpr ULONG kObjectTypeInformation = 2;

using QueryObjectFn = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);

template <class Fn>
Fn NtFunction(const char* name) {
    return reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

// The values of this process's handles, found by asking of each candidate value whether it names
// a handle. Handle values are multiples of 4, handed out lowest free first, so past the highest
// one in use only free values follow; a run of kFreeRunAtEnd free values ends the search.
//
// The process's own table is probed instead of reading the system's handle table
// (NtQuerySystemInformation, SystemExtendedHandleInformation): Wine 8's server was seen to crash
// now and then while it listed every process's handles for that call, which ends every program of
// the prefix (a segmentation fault in its handle listing, with the tests of a parallel run alive).
std::vector<ULONG_PTR> HandleValuesOfThisProcess() {
    constexpr ULONG_PTR kStep = 4;
    constexpr int kFreeRunAtEnd = 4096;
    std::vector<ULONG_PTR> values;
    int freeRun = 0;
    for (ULONG_PTR value = kStep; freeRun < kFreeRunAtEnd; value += kStep) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            values.push_back(value);
            freeRun = 0;
        } else {
            ++freeRun;
        }
    }
    return values;
}

std::wstring TypeOf(ULONG_PTR value) {
    static const auto query = NtFunction<QueryObjectFn>("NtQueryObject");
    if (query == nullptr) {
        return L"? (no NtQueryObject)";
    }
    alignas(8) unsigned char buffer[1024] = {};
    ULONG needed = 0;
    const LONG status = query(reinterpret_cast<HANDLE>(value), kObjectTypeInformation, buffer,
                              sizeof buffer, &needed);
    const auto* name = reinterpret_cast<const ObjectTypeName*>(buffer);
    if (status != 0 || name->buffer == nullptr) {
        wchar_t text[32] = {};
        swprintf(text, 32, L"? (%08lx)", static_cast<unsigned long>(status));
        return text;
    }
    return std::wstring(name->buffer, name->length / sizeof(wchar_t));
}

} // namespace

DWORD ProcessHandleCount() {
    // A process always holds some handles: a count of 0 means the call is not implemented, and
    // the process's handles are counted one by one instead.
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) {
        return count;
    }
    return static_cast<DWORD>(HandleValuesOfThisProcess().size());
}

void MakeMessageQueue() {
    MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_SENDMESSAGE, 0);
}

std::vector<ProcessHandle> ProcessHandles() {
    std::vector<ProcessHandle> handles;
    for (const ULONG_PTR value : HandleValuesOfThisProcess()) {
        handles.push_back({.value = value, .type = TypeOf(value)});
    }
    std::sort(handles.begin(), handles.end());
    return handles;
}

std::map<std::wstring, int> CountByType(const std::vector<ProcessHandle>& handles) {
    std::map<std::wstring, int> counts;
    for (const ProcessHandle& handle : handles) {
        ++counts[handle.type];
    }
    return counts;
}

std::string HandleChanges(const std::vector<ProcessHandle>& before,
                          const std::vector<ProcessHandle>& after) {
    std::map<std::wstring, int> change = CountByType(after);
    for (const auto& [type, count] : CountByType(before)) {
        change[type] -= count;
    }
    std::string text;
    for (const auto& [type, delta] : change) {
        if (delta == 0) {
            continue;
        }
        if (!text.empty()) {
            text += ", ";
        }
        if (delta > 0) {
            text += '+';
        }
        text += std::to_string(delta);
        text += ' ';
        text += Narrow(type);
    }
    return text;
}

std::string HandleChangesSettled(const std::vector<ProcessHandle>& before, DWORD timeoutMs) {
    std::string changes;
    PollUntil([&] { return (changes = HandleChanges(before, ProcessHandles())).empty(); },
              timeoutMs, 50);
    return changes;
}

int ThreadCount() {
    int count = 0;
    const unique_hfile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = snapshot && Thread32First(snapshot.get(), &entry); more;
         more = Thread32Next(snapshot.get(), &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    }
    return count;
}

} // namespace drvtest
