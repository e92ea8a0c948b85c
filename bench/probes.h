// Read-outs of this process (and of the wineserver that serves it) that the figures are made of.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>

namespace bench {

// Seconds on a monotonic high-resolution clock.
double Now();
// User and kernel time of every thread of this process so far, in seconds.
double ProcessCpuSeconds();
// Private bytes: PROCESS_MEMORY_COUNTERS_EX::PrivateUsage, or PagefileUsage where PrivateUsage is
// not filled in (Wine 8), which on Windows holds the same commit charge.
uint64_t PrivateBytes();
// GetProcessHandleCount, or where that answers 0 (Wine 8) this process's entries in the system's
// handle table (NtQuerySystemInformation, SystemExtendedHandleInformation).
DWORD HandleCount();
// Threads of this process, from a system snapshot.
DWORD ThreadCount();
// The user address space of this process (lpMinimumApplicationAddress to
// lpMaximumApplicationAddress) and how much of it is committed, from a VirtualQuery walk.
struct AddressSpace {
    uint64_t total = 0;
    uint64_t committed = 0;
};
AddressSpace UserAddressSpace();
// Bytes of the allocation that holds the calling thread's stack (every region of its allocation
// base, guard pages included).
uint64_t CurrentStackAllocation();
// User and system time of a Unix process, read from /proc/<pid>/stat through the Z: drive that
// Wine maps to the Unix root; empty when it cannot be read (not under Wine, no such process).
std::optional<double> UnixProcessCpuSeconds(DWORD pid);

} // namespace bench
