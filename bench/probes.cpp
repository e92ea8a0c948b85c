#include "bench/probes.h"

#include "bench/win_handle.h"
#include "support/process_handles.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

namespace {

double FileTimeSeconds(const FILETIME& time) {
    const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<double>(ticks) / 1e7;
}

} // namespace

double Now() {
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER value{};
        QueryPerformanceFrequency(&value);
        return value;
    }();
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double ProcessCpuSeconds() {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        return 0;
    }
    return FileTimeSeconds(kernel) + FileTimeSeconds(user);
}

uint64_t PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(),
                              reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof counters)) {
        return 0;
    }
    // Windows reports the same commit charge in both fields; Wine 8 leaves PrivateUsage at 0
    // and puts the process's anonymous resident and swapped memory in PagefileUsage.
    return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

DWORD HandleCount() {
    return drvtest::ProcessHandleCount();
}

DWORD ThreadCount() {
    const OwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot.Valid()) {
        return 0;
    }
    const DWORD self = GetCurrentProcessId();
    DWORD count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot.Get(), &entry); more;
         more = Thread32Next(snapshot.Get(), &entry)) {
        if (entry.th32OwnerProcessID == self) {
            ++count;
        }
    }
    return count;
}

AddressSpace UserAddressSpace() {
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    const auto low = reinterpret_cast<uintptr_t>(system.lpMinimumApplicationAddress);
    const auto high = reinterpret_cast<uintptr_t>(system.lpMaximumApplicationAddress);
    AddressSpace space{.total = static_cast<uint64_t>(high - low) + 1};
    MEMORY_BASIC_INFORMATION region{};
    for (uintptr_t at = low; at < high && VirtualQuery(reinterpret_cast<void*>(at), &region,
                                                       sizeof region) == sizeof region;) {
        const uintptr_t end = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
        if (end <= at) {
            break;
        }
        if (region.State == MEM_COMMIT) {
            space.committed += region.RegionSize;
        }
        at = end;
    }
    return space;
}

uint64_t CurrentStackAllocation() {
    const int local = 0;
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(&local, &region, sizeof region) != sizeof region) {
        return 0;
    }
    const void* base = region.AllocationBase;
    uint64_t size = 0;
    for (auto at = static_cast<const char*>(base);
         VirtualQuery(at, &region, sizeof region) == sizeof region &&
         region.AllocationBase == base && region.State != MEM_FREE;
         at += region.RegionSize) {
        size += region.RegionSize;
    }
    return size;
}

std::optional<double> UnixProcessCpuSeconds(DWORD pid) {
    const std::wstring path = L"Z:\\proc\\" + std::to_wstring(pid) + L"\\stat";
    const OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        return std::nullopt;
    }
    char buffer[4096] = {};
    DWORD read = 0;
    if (!ReadFile(file.Get(), buffer, sizeof buffer - 1, &read, nullptr) || read == 0) {
        return std::nullopt;
    }
    // "pid (comm) state ppid ...": utime and stime are fields 14 and 15, counted in clock ticks
    // of 1/100 s (USER_HZ on Linux); the name may hold spaces, so counting starts after it.
    const std::string text(buffer, read);
    const std::size_t nameEnd = text.rfind(')');
    if (nameEnd == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(text.substr(nameEnd + 1));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) {
            utime = std::stoull(field);
        } else if (index == 15) {
            stime = std::stoull(field);
        }
    }
    if (!fields) {
        return std::nullopt;
    }
    return static_cast<double>(utime + stime) / 100.0;
}

} // namespace bench
