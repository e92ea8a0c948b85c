#include "support/process_handles.h"

#include <algorithm>
#include <cwchar>

namespace drvtest {

namespace {

// One entry of the system's handle table (SystemExtendedHandleInformation).
struct SystemHandleEntry {
    void* object;
    ULONG_PTR processId;
    ULONG_PTR handleValue;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG handleAttributes;
    ULONG reserved;
};

struct SystemHandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    SystemHandleEntry entries[1];
};

// The start of what NtQueryObject answers for ObjectTypeInformation: the type's name.
struct ObjectTypeName {
    USHORT length; // bytes
    USHORT maximumLength;
    const wchar_t* buffer;
};

constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr ULONG kObjectTypeInformation = 2;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

using QuerySystemInformationFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
using QueryObjectFn = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);

template <class Fn>
Fn NtFunction(const char* name) {
    return reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

// The values of this process's handles in the system's handle table; empty when it cannot be read.
std::vector<ULONG_PTR> HandleValuesInSystemTable() {
    static const auto query = NtFunction<QuerySystemInformationFn>("NtQuerySystemInformation");
    std::vector<ULONG_PTR> values;
    if (query == nullptr) {
        return values;
    }
    std::vector<unsigned char> buffer(1 << 20);
    LONG status = 0;
    for (;;) {
        ULONG needed = 0;
        status = query(kSystemExtendedHandleInformation, buffer.data(),
                       static_cast<ULONG>(buffer.size()), &needed);
        if (status != kStatusInfoLengthMismatch) {
            break;
        }
        buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed));
    }
    if (status != 0) {
        return values;
    }
    const auto* table = reinterpret_cast<const SystemHandleTable*>(buffer.data());
    const ULONG_PTR self = GetCurrentProcessId();
    for (ULONG_PTR i = 0; i < table->count; ++i) {
        if (table->entries[i].processId == self) {
            values.push_back(table->entries[i].handleValue);
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

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (const wchar_t c : text) {
        narrow += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return narrow;
}

} // namespace

DWORD ProcessHandleCount() {
    // A process always holds some handles: a count of 0 means the call is not implemented, and
    // the system's handle table is counted instead.
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) {
        return count;
    }
    return static_cast<DWORD>(HandleValuesInSystemTable().size());
}

std::vector<ProcessHandle> ProcessHandles() {
    std::vector<ProcessHandle> handles;
    for (const ULONG_PTR value : HandleValuesInSystemTable()) {
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
    const DWORD start = GetTickCount();
    for (;;) {
        std::string changes = HandleChanges(before, ProcessHandles());
        if (changes.empty() || GetTickCount() - start >= timeoutMs) {
            return changes;
        }
        Sleep(50);
    }
}

} // namespace drvtest
