// How many handles this process holds, where the usual call cannot tell.
#pragma once

#include <windows.h>

namespace drvtest {

// GetProcessHandleCount, or where that answers 0 (Wine 8 does) this process's entries in the
// system's handle table (NtQuerySystemInformation, SystemExtendedHandleInformation).
DWORD ProcessHandleCount();

} // namespace drvtest
